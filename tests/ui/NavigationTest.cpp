// The main window's start, navigation and teardown, and the program's single instance.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateEdit>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocalSocket>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "UiHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/data/Acquisition.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/CheckPrevious.h"
#include "monitor/ui/Dialogs.h"

namespace uitest {
namespace {

class Navigation : public ProgramTest {};

// Records the files the program hands to the desktop to open.
class OpenedFiles : public QObject {
    Q_OBJECT

public:
    OpenedFiles() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
    ~OpenedFiles() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QStringList Paths;

public slots:
    void Open(const QUrl& url) { Paths << url.toLocalFile(); }
};

TEST_F(Navigation, StartsOnTheStartLabelWithEveryWindowHidden) {
    for (QWidget* window : TopWindows()) {
        EXPECT_TRUE(window->isHidden()) << window->objectName().toStdString();
    }
    EXPECT_FALSE(Main().StartupLabel->isHidden());
    EXPECT_TRUE(Main().PanelInvertersInventory->isHidden());
    EXPECT_FALSE(Main().CurrentPerformanceVisible());
    EXPECT_EQ(Main().XAxisDensity, (std::array<int, 5>{6, 12, 7, 6, 10}));
    EXPECT_EQ(Main().EsStartDateEdit->date().day(), 1);
    EXPECT_GT(Main().KeepAliveInterval(), 0);  // the sessions started the keep-alive timer
    EXPECT_EQ(Main().TreeViewMenu->topLevelItemCount(), 6);
}

// The translator builds its keys from the names, so every control and timer needs one.
TEST_F(Navigation, EveryControlAndTimerCarriesAName) {
    QStringList unnamed;
    std::function<void(QWidget*)> walk = [&](QWidget* container) {
        for (QObject* child : container->children()) {
            if (qobject_cast<QTimer*>(child) != nullptr && child->objectName().isEmpty()) {
                unnamed << container->objectName() + ": a timer";
            }
            auto* widget = qobject_cast<QWidget*>(child);
            if (widget == nullptr || widget->isWindow()) {
                continue;
            }
            if (widget->objectName().isEmpty()) {
                unnamed << container->objectName() + ": a " + widget->metaObject()->className();
            } else if (widget->metaObject() == &QFrame::staticMetaObject ||
                       widget->metaObject() == &QWidget::staticMetaObject) {
                walk(widget);  // a panel: its controls are the window's too
            }
        }
    };
    for (QWidget* window : TopWindows()) {
        walk(window);
    }
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join('\n').toStdString();
}

TEST_F(Navigation, TheNodeLastActedOnIsIgnoredButHelpNodesActEveryTime) {
    Main().ClickMenuNode(Node_Inverters);
    EXPECT_FALSE(Main().PanelInvertersInventory->isHidden());
    Main().ShowPanel(nullptr);
    Main().ClickMenuNode(Node_Inverters);
    EXPECT_TRUE(Main().PanelInvertersInventory->isHidden()) << "second click acted";

    OpenedFiles opened;
    Main().ClickMenuNode(Node_Contents);
    Main().ClickMenuNode(Node_Contents);
    ASSERT_EQ(opened.Paths.size(), 2);
    EXPECT_TRUE(opened.Paths[0].endsWith(QStringLiteral("/BasUser.pdf")));

    Dialogs::PreAnswer(QDialog::Accepted);
    Dialogs::PreAnswer(QDialog::Accepted);
    Main().ClickMenuNode(Node_About);
    Main().ClickMenuNode(Node_About);
    const QList<Dialogs::TAsked> asked = Dialogs::TakeAsked();
    ASSERT_EQ(asked.size(), 2);
    EXPECT_EQ(asked[1].Text, QStringLiteral("AboutForm"));
    EXPECT_EQ(Main().LastMenuIndex, 0);
}

TEST_F(Navigation, LanguageNodesStoreTheirNumberAndShowTheStartLabel) {
    const std::pair<int, int> cases[] = {
        {Node_Dutch, 1}, {Node_German, 2}, {Node_French, 5}, {Node_English, 0}};
    for (const auto& [node, language] : cases) {
        Main().ClickMenuNode(Node_Inverters);
        Main().ClickMenuNode(node);
        EXPECT_EQ(Main().UserData()->GetLanguage(), language);
        EXPECT_FALSE(Main().StartupLabel->isHidden());
        EXPECT_TRUE(Main().PanelInvertersInventory->isHidden());
        EXPECT_TRUE(Main().TreeViewMenu->selectedItems().isEmpty());
    }
}

// Each language names its own help document, and the build puts every one beside the program.
TEST_F(Navigation, EachLanguageOpensItsOwnHelpDocument) {
    const QDir programFolder = QFileInfo(QStringLiteral(QUARNEL_PROGRAM)).dir();
    const std::pair<int, const char*> cases[] = {{Node_Dutch, "BasUserNL.pdf"},
                                                 {Node_German, "BasUserDE.pdf"},
                                                 {Node_French, "BasUserFR.pdf"},
                                                 {Node_English, "BasUser.pdf"}};
    for (const auto& [node, document] : cases) {
        Main().ClickMenuNode(node);
        OpenedFiles opened;
        Main().ClickMenuNode(Node_Contents);
        ASSERT_EQ(opened.Paths.size(), 1);
        EXPECT_TRUE(opened.Paths[0].endsWith('/' + QLatin1String(document))) << document;
        EXPECT_TRUE(programFolder.exists(QLatin1String(document))) << document;
    }
}

TEST_F(Navigation, OnlyTheCurrentPerformanceViewRunsItsTimers) {
    Main().ClickMenuNode(Node_Current);
    EXPECT_TRUE(Main().CurrentPerformanceVisible());
    EXPECT_TRUE(Main().WRefreshTimer->isActive());
    EXPECT_TRUE(Main().ACPowerScanTimer->isActive());
    Main().ClickMenuNode(Node_PerDay);
    EXPECT_EQ(Main().HistoryResolution, 2);
    EXPECT_FALSE(Main().CurrentPerformanceVisible());
    EXPECT_FALSE(Main().WRefreshTimer->isActive());
    EXPECT_FALSE(Main().ACPowerScanTimer->isActive());
}

TEST_F(Navigation, NoTimerHandlerRunsWhileAChannelIsFreed) {
    kestemu::Config config = DefaultBoxConfig();
    config.faults.delay_ms = 300;  // the worker is inside a request when it is told to stop
    kestemu::Emulator& box = StartBox(config);
    KestSpec spec;
    spec.Port = box.port();
    const int32_t kest = AddKest(spec);
    Main().Sessions()->ConnectKest(kest);
    TCANMessages* channel = Main().Sessions()->ChannelOfKest(kest);
    ASSERT_NE(channel, nullptr);
    channel->Enqueue(MakeCanRequest(Addr_Inverter_A, Obj_Actual_Power, Act_Read, 2, 0));
    ASSERT_TRUE(WaitFor([&] { return box.received().size() >= 4; }));

    Main().ACPowerScanTimer->setInterval(1234);
    bool busy = false;
    bool fired = false;
    QTimer during;
    during.setSingleShot(true);
    QObject::connect(&during, &QTimer::timeout, [&] {
        fired = true;
        busy = Main().SessionCodeBusy();
        Main().ACPowerScanTimerTimer();
        Main().KeepAliveTimerTimer();
    });
    during.start(20);
    Main().Sessions()->DisconnectKest(kest);
    ASSERT_TRUE(fired);
    EXPECT_TRUE(busy);
    EXPECT_EQ(Main().ACPowerScanTimer->interval(), 1234) << "the scan ran inside the wait";
    EXPECT_FALSE(Main().SessionCodeBusy());
}

TEST_F(Navigation, ClosingDuringADownloadFromABoxThatFellSilentEndsAndKeepsTheSamples) {
    kestemu::Config config = DefaultBoxConfig();
    config.faults.silent_after = 30;  // the login, the probe and a few history blocks
    kestemu::Emulator& box = StartBox(config);
    KestSpec spec;
    spec.Port = box.port();
    const int32_t kest = AddKest(spec);
    ASSERT_EQ(Main().Acquisition()->RequestHistory(kest, Res_Ten_Minutes, true, true, true, true),
              0);
    const QString stored = QStringLiteral("SELECT * FROM samples");
    ASSERT_TRUE(WaitFor([&] { return box.received().size() > 30; }, 20s))
        << box.received().size() << " frames, "
        << Main().Sessions()->ChannelOfKest(kest)->BlocksRequested << " blocks";
    const int before = Count(stored);
    ASSERT_GT(before, 0);
    ASSERT_TRUE(Main().Sessions()->ChannelOfKest(kest)->Downloading);

    const auto start = std::chrono::steady_clock::now();
    Program.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "the program hung on its way out";
    Program = std::make_unique<TQuarnelWindows>();
    EXPECT_EQ(Count(stored), before);
}

TEST(Start, AMissingUserDatabaseIsReportedAndEndsTheProgram) {
    QTemporaryDir empty;
    qputenv("QUARNEL_DATA_DIR", empty.path().toLocal8Bit());
    // The user database's message, then the language database's two.
    for (int i = 0; i < 3; ++i) {
        Dialogs::PreAnswer(QMessageBox::Ok);
    }
    TQuarnelWindows windows;
    qunsetenv("QUARNEL_DATA_DIR");
    EXPECT_TRUE(windows.MainForm->QuitRequested());
    EXPECT_EQ(windows.AboutForm, nullptr);
    const QList<Dialogs::TAsked> asked = Dialogs::TakeAsked();
    ASSERT_EQ(asked.size(), 3);
    EXPECT_TRUE(asked[0].Text.startsWith("ERROR: Critical file " + empty.path()));
    EXPECT_TRUE(asked[0].Text.endsWith("not found. Please reinstall the application."));
}

// The real program, copied into a folder of its own so that its instance name is this test's.
class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Bin.isValid());
        Program = Bin.filePath(QStringLiteral("quarnel"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QUARNEL_PROGRAM), Program));
        ASSERT_EQ(datatest::DataFolderFixture::Install(Data.path()), 0);
    }
    void TearDown() override {
        for (pid_t pid : Running) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Rules: QT_LOGGING_RULES for the child; none leaves the variable unset.
    pid_t Start(const QString& log, const char* rules = "quarnel.debug.debug=true") {
        const QByteArray program = Program.toLocal8Bit();
        const QByteArray logPath = log.toLocal8Bit();
        const QByteArray dataDir = Data.path().toLocal8Bit();
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = ::open(logPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            setenv("QUARNEL_DATA_DIR", dataDir.constData(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            if (rules != nullptr) {
                setenv("QT_LOGGING_RULES", rules, 1);
            } else {
                unsetenv("QT_LOGGING_RULES");
            }
            execl(program.constData(), program.constData(), static_cast<char*>(nullptr));
            _exit(127);
        }
        Running.push_back(pid);
        return pid;
    }
    // The running instance has opened its door.
    bool Listening() {
        QLocalSocket socket;
        socket.connectToServer(TCheckPrevious::InstanceNameOf(Program));
        return socket.waitForConnected(100);
    }
    // The exit code of a process that ends within the limit; -1 otherwise.
    int ExitCode(pid_t pid, std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(Running, pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            QThread::msleep(20);
        }
        return -1;
    }
    static QByteArray Read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir Bin;
    QTemporaryDir Data;
    QString Program;
    std::vector<pid_t> Running;
};

TEST_F(SingleInstance, ASecondStartBringsTheFirstForwardAndAKilledOneBlocksNothing) {
    const QString firstLog = Bin.filePath("first.log");
    const pid_t first = Start(firstLog);
    ASSERT_TRUE(WaitFor([&] { return Listening(); }, 20s)) << Read(firstLog).toStdString();

    const pid_t second = Start(Bin.filePath("second.log"));
    EXPECT_EQ(ExitCode(second), 0);
    EXPECT_TRUE(
        WaitFor([&] { return Read(firstLog).contains("Brought forward by a second start"); }));
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the first instance ended";

    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    std::erase(Running, first);
    const QString thirdLog = Bin.filePath("third.log");
    const pid_t third = Start(thirdLog);
    ASSERT_TRUE(WaitFor([&] { return Listening(); }, 20s)) << Read(thirdLog).toStdString();
    EXPECT_EQ(waitpid(third, nullptr, WNOHANG), 0) << Read(thirdLog).toStdString();
}

TEST_F(SingleInstance, TheDiagnosticLinesStayOffUnlessTheLoggingRulesAskForThem) {
    const QString quietLog = Bin.filePath("quiet.log");
    const pid_t quiet = Start(quietLog, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Listening(); }, 20s)) << Read(quietLog).toStdString();
    EXPECT_EQ(ExitCode(Start(Bin.filePath("second.log"), nullptr)), 0);
    kill(quiet, SIGTERM);
    ExitCode(quiet);
    EXPECT_FALSE(Read(quietLog).contains("quarnel.debug")) << Read(quietLog).toStdString();

    const QString loudLog = Bin.filePath("loud.log");
    Start(loudLog);
    ASSERT_TRUE(WaitFor([&] { return Listening(); }, 20s)) << Read(loudLog).toStdString();
    EXPECT_TRUE(WaitFor([&] { return Read(loudLog).contains("Main window shown"); }));
}

}  // namespace
}  // namespace uitest

#include "NavigationTest.moc"
