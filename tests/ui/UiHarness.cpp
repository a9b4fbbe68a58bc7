#include "UiHarness.h"

#include <QSqlQuery>
#include <QSqlTableModel>
#include <QTest>

#include "monitor/ui/Dialogs.h"
#include "monitor/ui/DownloadFrm.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/WaitFrm.h"
#include "monitor/ui/frmAbout.h"

namespace uitest {

void ProgramTest::SetUp() {
    Dialogs::TakeAsked();
    Folder = std::make_unique<datatest::DataFolderFixture>();
    Program = std::make_unique<TQuarnelWindows>();
    ASSERT_FALSE(Program->MainForm->QuitRequested());
    // The windows find the run's store as the program does: through the data folder.
    ASSERT_EQ(Main().UserData()->Store.IsPostgreSQL(), datatest::TestingPostgres());
}

void ProgramTest::TearDown() {
    ExpectNoPasswordShown();
    Program.reset();
    for (auto& box : Boxes) {
        box->stop();
    }
    Boxes.clear();
    Folder.reset();
    Dialogs::TakeAsked();
}

int32_t ProgramTest::AddKest(const KestSpec& spec) {
    TUserData& data = *Main().UserData();
    const int32_t id = datatest::AddKestRow(data, spec);
    // The box list shows what was written behind its back.
    data.KestsTable->select();
    data.SetCurrentKest(id);
    return id;
}

kestemu::Config ProgramTest::DefaultBoxConfig() {
    return datatest::BoxConfig("2024-06-20 12:30");
}

kestemu::Emulator& ProgramTest::StartBox(kestemu::Config config) {
    return datatest::StartBoxInto(Boxes, config);
}

int32_t ProgramTest::ModuleId(int32_t kestId, int type) {
    return datatest::ModuleIdOf(*Main().UserData(), kestId, type);
}

void ProgramTest::ExpectNoPasswordShown() {
    if (!Program || !Program->MainForm || !Program->NotificationForm || !Main().UserData() ||
        !Main().UserData()->IsOpen()) {
        return;
    }
    QSqlQuery query(QSqlDatabase::database(Main().UserData()->ConnectionName()));
    if (!query.exec(QStringLiteral("SELECT kest_password FROM kests"))) {
        return;
    }
    const QStringList lines = Program->NotificationForm->Lines();
    while (query.next()) {
        const QString password = query.value(0).toString();
        // A password of a few letters may well be part of an ordinary word.
        if (password.size() < 4) {
            continue;
        }
        for (const QString& line : lines) {
            EXPECT_FALSE(line.contains(password))
                << "a notification shows a box's password: " << line.toStdString();
        }
    }
}

int ProgramTest::Count(const QString& sql) {
    return datatest::CountRows(*Main().UserData(), sql);
}

std::vector<QWidget*> ProgramTest::TopWindows() const {
    std::vector<QWidget*> windows;
    if (!Program) {
        return windows;
    }
    for (QWidget* window : {static_cast<QWidget*>(Program->MainForm.get()),
                            static_cast<QWidget*>(Program->AboutForm.get()),
                            static_cast<QWidget*>(Program->WaitForm.get()),
                            static_cast<QWidget*>(Program->DownloadForm.get()),
                            static_cast<QWidget*>(Program->NotificationForm.get())}) {
        if (window != nullptr) {
            windows.push_back(window);
        }
    }
    return windows;
}

void ProgramTest::Click(QWidget* widget) {
    ASSERT_NE(widget, nullptr);
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
}

}  // namespace uitest
