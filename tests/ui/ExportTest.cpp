// The export: the file's bytes under pinned regional settings, and the export window driven as
// the user drives it, its file dialog answered in advance.
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "UiHarness.h"
#include "monitor/can/NaiveTime.h"
#include "monitor/data/dmUser.h"
#include "monitor/ui/Dialogs.h"
#include "monitor/ui/ExportFrm.h"

namespace uitest {
namespace {

TEST(ExportTimeFormat, TheZoneIsLeftOut) {
    for (const char* name : {"C", "en_GB", "de_DE", "nl_NL"}) {
        EXPECT_EQ(NaiveLongTimeFormat(QLocale(name)), "HH:mm:ss") << name;
    }
    EXPECT_EQ(NaiveLongTimeFormat(QLocale("en_US")), "h:mm:ss AP");
}

TEST(ExportTimeFormat, WindowSitsCentredBelowTheMainWindowTop) {
    // Half pixels go to the even neighbour.
    EXPECT_EQ(ExportFormPlace(QRect(100, 50, 800, 600), QSize(561, 221)), QPoint(220, 125));
    EXPECT_EQ(ExportFormPlace(QRect(100, 50, 802, 600), QSize(561, 221)), QPoint(220, 125));
}

struct LocaleCase {
    const char* Locale;
    const char* Daily;   // the Roof example, 1 to 2 March 2009, total and A
    const char* TenMin;  // 123 at 12:10 and 0 at midnight, total only
    const char* Yearly;  // a large value: no digit grouping
};

const LocaleCase Locale_Cases[] = {
    {"C",
     "Roof(Total); Wh; Roof(A); Wh; \r\n1 Mar 2009; 61.5; 1 Mar 2009; 30; \r\n"
     "2 Mar 2009; 100; 2 Mar 2009; 0; \r\n",
     "Roof(Total); Wh; \r\n1 Mar 2009; 0; \r\n1 Mar 2009 12:10:00; 1.23000001907349; \r\n",
     "Roof(Total); kWh; \r\n1 Jan 2009; 1000000.5; \r\n"},
    {"en_GB",
     "Roof(Total); Wh; Roof(A); Wh; \r\n01/03/2009; 61.5; 01/03/2009; 30; \r\n"
     "02/03/2009; 100; 02/03/2009; 0; \r\n",
     "Roof(Total); Wh; \r\n01/03/2009; 0; \r\n01/03/2009 12:10:00; 1.23000001907349; \r\n",
     "Roof(Total); kWh; \r\n01/01/2009; 1000000.5; \r\n"},
    {"nl_NL",
     "Roof(Total); Wh; Roof(A); Wh; \r\n01-03-2009; 61,5; 01-03-2009; 30; \r\n"
     "02-03-2009; 100; 02-03-2009; 0; \r\n",
     "Roof(Total); Wh; \r\n01-03-2009; 0; \r\n01-03-2009 12:10:00; 1,23000001907349; \r\n",
     "Roof(Total); kWh; \r\n01-01-2009; 1000000,5; \r\n"},
    {"de_DE",
     "Roof(Total); Wh; Roof(A); Wh; \r\n01.03.09; 61,5; 01.03.09; 30; \r\n"
     "02.03.09; 100; 02.03.09; 0; \r\n",
     "Roof(Total); Wh; \r\n01.03.09; 0; \r\n01.03.09 12:10:00; 1,23000001907349; \r\n",
     "Roof(Total); kWh; \r\n01.01.09; 1000000,5; \r\n"},
};

class ExportTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        KestSpec roof;
        roof.Present = {Module_Type_Total, Module_Type_A};
        Roof = AddKest(roof);
        TUserData& data = *Main().UserData();
        // Daily rows around the example's two days: only 1 and 2 March lie inside.
        data.SaveYield(Roof, Module_Type_Total, Res_Day, NaiveDateTime(2009, 2, 28), 7);
        data.SaveYield(Roof, Module_Type_Total, Res_Day, NaiveDateTime(2009, 3, 1), 123);
        data.SaveYield(Roof, Module_Type_A, Res_Day, NaiveDateTime(2009, 3, 1), 60);
        data.SaveYield(Roof, Module_Type_Total, Res_Day, NaiveDateTime(2009, 3, 2), 200);
        data.SaveYield(Roof, Module_Type_A, Res_Day, NaiveDateTime(2009, 3, 3), 9);
        data.SaveYield(Roof, Module_Type_Total, Res_Ten_Minutes, NaiveDateTime(2009, 3, 1), 0);
        data.SaveYield(Roof, Module_Type_Total, Res_Ten_Minutes, NaiveDateTime(2009, 3, 1, 12, 10),
                       123);
        data.SaveYield(Roof, Module_Type_Total, Res_Year, NaiveDateTime(2009, 1, 1), 2000001);
    }

    TExportRequest Request(int resolution, bool total, bool a) {
        TExportRequest request;
        request.KestName = "Roof";
        request.ModuleIds = {ModuleId(Roof, Module_Type_Total), ModuleId(Roof, Module_Type_A), 0,
                             0};
        request.Columns = {total, a, false, false};
        request.Resolution = resolution;
        request.Range = WidenRange(resolution + 1, QDate(2009, 3, 1), QDate(2009, 3, 2));
        return request;
    }

    QByteArray Export(const TExportRequest& request, const QLocale& locale) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QString error;
        EXPECT_TRUE(WriteExport(&buffer, Main().UserData()->ConnectionName(), request,
                                Windows().MsgForm, locale, &error))
            << error.toStdString();
        return buffer.data();
    }

    TExportForm& Form() { return *Windows().ExportForm; }

    // Chooses the box in the drop-down list as the user does.
    void ChooseKest(int32_t kestId) {
        QComboBox* list = Find<QComboBox>("KestSelectComboBox");
        const int index = list->findData(kestId);
        ASSERT_GE(index, 0);
        list->setCurrentIndex(index);
        emit list->activated(index);
    }

    // Presses Export with the file dialog answered with that file.
    void ExportTo(const QString& path, bool failing = false) {
        Form().SaveDialog->selectFile(path);
        Dialogs::PreAnswer(QDialog::Accepted);
        if (failing) {
            Dialogs::PreAnswer(QMessageBox::Ok);
        }
        Form().ExportButtonClick();
    }

    static QByteArray Read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    int32_t Roof = 0;
    QTemporaryDir Files;
};

TEST_F(ExportTest, FileBytesFollowTheRegionalSettings) {
    for (const LocaleCase& c : Locale_Cases) {
        SCOPED_TRACE(c.Locale);
        const QLocale locale(c.Locale);
        EXPECT_EQ(Export(Request(1, true, true), locale), c.Daily);
        EXPECT_EQ(Export(Request(0, true, false), locale), c.TenMin);
        EXPECT_EQ(Export(Request(3, true, false), locale), c.Yearly);
    }
}

TEST_F(ExportTest, NoColumnGivesOneEmptyLineAndAllAvailableIgnoresTheRange) {
    EXPECT_EQ(Export(Request(1, false, false), QLocale::c()), "\r\n");
    TExportRequest all = Request(1, false, true);
    all.AllAvailable = true;
    EXPECT_EQ(Export(all, QLocale::c()),
              "Roof(A); Wh; \r\n1 Mar 2009; 30; \r\n3 Mar 2009; 4.5; \r\n");
}

TEST_F(ExportTest, AFailedExportLeavesTheOldFile) {
    const QString path = Files.filePath("roof.csv");
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("good\r\n");
    old.close();
    TExportRequest broken = Request(1, true, true);
    broken.Resolution = 9;
    QString error;
    EXPECT_FALSE(WriteExportFile(path, Main().UserData()->ConnectionName(), broken,
                                 Windows().MsgForm, QLocale::c(), &error));
    EXPECT_TRUE(error.contains(path)) << error.toStdString();
    EXPECT_EQ(Read(path), "good\r\n");
    EXPECT_EQ(QDir(Files.path()).entryList(QDir::Files), QStringList{"roof.csv"});
}

TEST_F(ExportTest, WindowShowsTheHistoryViewsChoiceBelowTheMainWindow) {
    Main().HistoryResolution = 3;
    Main().EsStartDateEdit->setDate(QDate(2009, 3, 1));
    Main().EsEndDateEdit->setDate(QDate(2009, 3, 2));
    Main().move(40, 30);
    Form().FormShow();
    EXPECT_EQ(Form().ResolutionIndex(), 2);
    EXPECT_TRUE(Find<QRadioButton>("ResolutionSelectGroupBox_2")->isChecked());
    EXPECT_TRUE(Find<QRadioButton>("SelectedPeriodRadioButton")->isChecked());
    EXPECT_EQ(Find<QDateEdit>("FromDateTimePicker")->date(), QDate(2009, 3, 1));
    EXPECT_EQ(Find<QDateEdit>("ToDateTimePicker")->date(), QDate(2009, 3, 2));
    EXPECT_EQ(Form().pos(), ExportFormPlace(Main().frameGeometry(), Form().frameGeometry().size()));
    EXPECT_EQ(Form().size(), QSize(561, 221));
}

TEST_F(ExportTest, ExportsTheChosenBoxAndCorrectsThePeriod) {
    KestSpec barn;
    barn.Name = "Barn";
    barn.Present = {Module_Type_Total, Module_Type_A, Module_Type_B};
    const int32_t barnId = AddKest(barn);
    Main().HistoryResolution = 2;
    Form().Regional = QLocale::c();
    Form().FormShow();

    // Nothing chosen: the button does nothing.
    Form().ExportButtonClick();
    EXPECT_TRUE(Dialogs::TakeAsked().isEmpty());

    Main().ShowKest(Roof);
    ASSERT_EQ(Main().OvcKestName->text(), "Roof");
    // The box list editor follows the choice.
    ChooseKest(barnId);
    EXPECT_EQ(Main().UserData()->CurrentKest(), barnId);
    EXPECT_EQ(Main().OvcKestName->text(), "Barn");
    EXPECT_TRUE(Find<QCheckBox>("InvBCheckBox")->isEnabled());
    QCheckBox* c = Find<QCheckBox>("InvCCheckBox");
    EXPECT_FALSE(c->isEnabled());
    EXPECT_TRUE(c->isChecked());
    ChooseKest(Roof);
    EXPECT_FALSE(Find<QCheckBox>("InvBCheckBox")->isEnabled());

    Find<QDateEdit>("FromDateTimePicker")->setDate(QDate(2003, 6, 1));
    Find<QDateEdit>("ToDateTimePicker")->setDate(QDate(2009, 3, 1));
    const QString path = Files.filePath("roof");
    QSignalSpy closed(&Form(), &QDialog::finished);
    ExportTo(path);
    EXPECT_EQ(Form().SaveDialog->labelText(QFileDialog::Accept), "Export");
    EXPECT_EQ(Form().SaveDialog->labelText(QFileDialog::LookIn), "Look in:");
    EXPECT_EQ(Find<QDateEdit>("FromDateTimePicker")->date(), QDate(2004, 1, 1));
    // The file dialog adds the extension; C is never exported.
    EXPECT_EQ(Read(path + ".CSV"),
              "Roof(Total); Wh; Roof(A); Wh; \r\n28 Feb 2009; 3.5; 28 Feb 2009; 0; \r\n"
              "1 Mar 2009; 61.5; 1 Mar 2009; 30; \r\n");
    EXPECT_EQ(Form().Exported, (std::array<bool, 4>{true, true, false, false}));
    ASSERT_EQ(closed.size(), 1);
    EXPECT_EQ(closed[0][0].toInt(), QDialog::Accepted);
}

TEST_F(ExportTest, AllAvailableKeepsThePeriodAndFailuresKeepTheWindowOpen) {
    Main().HistoryResolution = 2;
    Form().Regional = QLocale::c();
    Form().FormShow();
    ChooseKest(Roof);
    Find<QRadioButton>("AllAvailableRadioButton")->setChecked(true);
    Find<QDateEdit>("FromDateTimePicker")->setDate(QDate(2003, 6, 1));
    QSignalSpy closed(&Form(), &QDialog::finished);

    ExportTo(Files.filePath("missing/roof.csv"), true);
    const auto asked = Dialogs::TakeAsked();
    ASSERT_EQ(asked.size(), 2);
    EXPECT_EQ(asked[1].Kind, Dialogs::TKind::Error);
    EXPECT_TRUE(asked[1].Text.contains("missing/roof.csv")) << asked[1].Text.toStdString();
    EXPECT_TRUE(closed.isEmpty());

    ExportTo(Files.filePath("all.csv"));
    EXPECT_EQ(Read(Files.filePath("all.csv")),
              "Roof(Total); Wh; Roof(A); Wh; \r\n28 Feb 2009; 3.5; 28 Feb 2009; 0; \r\n"
              "1 Mar 2009; 61.5; 1 Mar 2009; 30; \r\n2 Mar 2009; 100; 2 Mar 2009; 0; \r\n"
              "3 Mar 2009; 0; 3 Mar 2009; 4.5; \r\n");
    EXPECT_EQ(Find<QDateEdit>("FromDateTimePicker")->date(), QDate(2003, 6, 1));
    EXPECT_EQ(closed.size(), 1);

    // Cancelling the file dialog closes the window without writing.
    Dialogs::PreAnswer(QDialog::Rejected);
    Form().SaveDialog->selectFile(Files.filePath("never.csv"));
    Form().ExportButtonClick();
    EXPECT_FALSE(QFile::exists(Files.filePath("never.csv")));
    ASSERT_EQ(closed.size(), 2);
    EXPECT_EQ(closed[1][0].toInt(), QDialog::Rejected);
}

}  // namespace
}  // namespace uitest
