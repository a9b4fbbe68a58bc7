// The small windows: the download progress lines worked out without a widget, and the download,
// notification, wait and About windows as the program creates them.
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWindow>

#include "UiHarness.h"
#include "monitor/data/Acquisition.h"
#include "monitor/ui/DownloadFrm.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/WaitFrm.h"
#include "monitor/ui/frmAbout.h"

namespace uitest {
namespace {

const QString Wait = QStringLiteral("Please wait");
const QString From = QStringLiteral("Downloading from");

QString Line(const QString& name, int32_t requested, int32_t expected) {
    return DownloadStatusLines(Wait, From, {{name, requested, expected}}).value(1);
}

TEST(DownloadStatusLines, PercentIsRoundedAndBounded) {
    EXPECT_EQ(Line("Roof", 89, 200), "Downloading from Roof[45%]");  // 44.5 rounds up
    EXPECT_EQ(Line("Roof", 1, 3), "Downloading from Roof[33%]");
    EXPECT_EQ(Line("Roof", 2, 3), "Downloading from Roof[67%]");
    EXPECT_EQ(Line("Roof", 2016, 2016), "Downloading from Roof[100%]");
    // Not yet knowing how much to fetch, or counters out of step, never give a wild figure.
    EXPECT_EQ(Line("Roof", 0, 0), "Downloading from Roof[0%]");
    EXPECT_EQ(Line("Roof", 5, 0), "Downloading from Roof[0%]");
    EXPECT_EQ(Line("Roof", 5, -3), "Downloading from Roof[0%]");
    EXPECT_EQ(Line("Roof", 30, 20), "Downloading from Roof[100%]");
    EXPECT_EQ(Line("Roof", -4, 20), "Downloading from Roof[0%]");
}

TEST(DownloadStatusLines, OneLinePerDownloadBelowPleaseWait) {
    EXPECT_EQ(DownloadStatusLines(Wait, From, {}), QStringList{Wait});
    EXPECT_EQ(DownloadStatusLines(Wait, From, {{"Roof", 10, 1008}, {"Barn", 500, 1000}}),
              (QStringList{Wait, "Downloading from Roof[1%]", "Downloading from Barn[50%]"}));
}

using SmallWindowsTest = ProgramTest;

TEST_F(SmallWindowsTest, DownloadWindowFollowsTwoBoxesAndClosesWhenCancelled) {
    KestSpec roof;
    roof.Port = StartBox().port();
    KestSpec barn;
    barn.Name = "Barn";
    barn.Port = StartBox().port();
    const int32_t roofId = AddKest(roof);
    const int32_t barnId = AddKest(barn);
    TDownloadForm& window = *Windows().DownloadForm;
    ASSERT_TRUE(window.DownloadStatusTimer->isActive());
    EXPECT_EQ(window.DownloadStatusTimer->interval(), 500);

    // Seven days of ten-minute values for two modules: far more than the test waits for.
    ASSERT_EQ(
        Main().Acquisition()->RequestHistory(roofId, Res_Ten_Minutes, true, true, false, false), 0);
    ASSERT_EQ(
        Main().Acquisition()->RequestHistory(barnId, Res_Ten_Minutes, true, true, false, false), 0);
    window.ShowProgress();
    ASSERT_TRUE(window.isVisible());

    auto lines = [&] { return window.DownloadStatusMemo->toPlainText().split('\n'); };
    ASSERT_TRUE(WaitFor([&] { return lines().size() == 3; })) << lines().join('|').toStdString();
    EXPECT_EQ(lines()[0], "Please wait");
    EXPECT_TRUE(lines()[1].startsWith("Downloading from Roof[")) << lines()[1].toStdString();
    EXPECT_TRUE(lines()[2].startsWith("Downloading from Barn[")) << lines()[2].toStdString();

    Main().Acquisition()->CancelDownloads();
    EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s));
    EXPECT_EQ(lines(), QStringList{"Please wait"});
    // Hidden, it keeps polling for the next download.
    EXPECT_TRUE(window.DownloadStatusTimer->isActive());
}

TEST_F(SmallWindowsTest, NotificationsGatherUntilTheWindowIsClosed) {
    TNotificationForm& window = *Windows().NotificationForm;
    window.Notify("No response Roof");
    window.Notify("No response Barn");
    window.Notify("No response Shed");
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.Lines(),
              (QStringList{"No response Roof", "No response Barn", "No response Shed"}));

    Click(Find<QWidget>("ClosePanel"));
    EXPECT_FALSE(window.isVisible());
    window.Notify("Disconnected from Roof");
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.Lines(), QStringList{"Disconnected from Roof"});
}

TEST_F(SmallWindowsTest, WaitWindowIsPaintedAndFitsALongName) {
    TWaitForm& window = *Windows().WaitForm;
    const QString text = "Connecting to " + QString(50, 'W');
    window.ShowText(text);
    ASSERT_TRUE(window.isVisible());
    ASSERT_NE(window.windowHandle(), nullptr);
    EXPECT_TRUE(window.windowHandle()->isExposed());
    EXPECT_EQ(window.WaitLabel->text(), text);
    const QRect label = window.WaitLabel->geometry();
    EXPECT_GE(label.width(), window.WaitLabel->fontMetrics().horizontalAdvance(text));
    EXPECT_LE(label.right(), window.Panel1->width());
    EXPECT_LE(window.Panel1->geometry().right(), window.width());
}

TEST_F(SmallWindowsTest, AboutShowsBothVersionsAndClosesOnAnyKey) {
    TAboutForm& about = *Windows().AboutForm;
    about.open();
    ASSERT_TRUE(about.isVisible());
    EXPECT_EQ(Find<QLabel>("LabelDLLVersion")->text(), "DLL: 10001");
    EXPECT_EQ(Find<QLabel>("LabelVersionNumber")->text(), "2.0.0.2");
    EXPECT_EQ(Find<QLabel>("LabelProgramName")->text(), "Tarnwell Connect");
    EXPECT_FALSE(Find<QLabel>("Image1")->pixmap().isNull());

    QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&about, &key);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace uitest
