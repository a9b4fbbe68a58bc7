// The translated windows: the keys the translator builds, what it adds to the language database,
// which texts follow a language change, and the shipped translations.
#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QSqlQuery>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include "UiHarness.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/Dialogs.h"
#include "monitor/ui/ExportFrm.h"
#include "monitor/ui/Look.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/dmLanguage.h"

namespace uitest {
namespace {

class TranslationTest : public ProgramTest {
protected:
    // Every text the program's windows and message table show.
    QStringList ShownTexts() {
        TQuarnelWindows& program = Windows();
        std::vector<QWidget*> windows = TopWindows();
        windows.push_back(program.ExportForm.get());
        QStringList texts;
        for (QWidget* window : windows) {
            texts << window->windowTitle();
            for (QWidget* control : window->findChildren<QWidget*>()) {
                texts << control->toolTip();
                if (auto* label = qobject_cast<QLabel*>(control)) {
                    texts << label->text();
                } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
                    texts << button->text();
                } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
                    texts << group->title();
                } else if (auto* list = qobject_cast<QComboBox*>(control)) {
                    for (int i = 0; i < list->count(); ++i) {
                        texts << list->itemText(i);
                    }
                } else if (auto* tree = qobject_cast<QTreeWidget*>(control)) {
                    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
                        texts << (*it)->text(0);
                    }
                }
            }
        }
        for (const TMessageLabel& entry : program.MsgForm.Labels()) {
            texts << entry.Caption;
        }
        // Raising a control reorders its parent's children, so the order says nothing.
        texts.sort();
        return texts;
    }

    // The program on a data folder whose language table is empty, as before a first run.
    void StartWithEmptyTable() {
        Program.reset();
        RunOnLanguages(QStringLiteral("DELETE FROM Languages"));
        Program = std::make_unique<TQuarnelWindows>();
        ASSERT_FALSE(Program->MainForm->QuitRequested());
    }
    void RunOnLanguages(const QString& sql) {
        QSqlQuery query(Database());
        ASSERT_TRUE(query.exec(sql)) << sql.toStdString();
    }
    QSqlDatabase Database() {
        if (!QSqlDatabase::contains(QStringLiteral("languages-test"))) {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                        QStringLiteral("languages-test"));
            db.setDatabaseName(Folder->Folder() + "language.sqlite");
            db.open();
        }
        return QSqlDatabase::database(QStringLiteral("languages-test"));
    }
    void TearDown() override {
        QSqlDatabase::removeDatabase(QStringLiteral("languages-test"));
        ProgramTest::TearDown();
    }
    int Rows(const QString& where) {
        QSqlQuery query(Database());
        query.exec("SELECT COUNT(*) FROM Languages WHERE " + where);
        return query.next() ? query.value(0).toInt() : -1;
    }
    QString DefaultOf(const QString& key) {
        QSqlQuery query(Database());
        query.prepare(QStringLiteral("SELECT \"Default\" FROM Languages WHERE Key = ?"));
        query.addBindValue(key);
        query.exec();
        return query.next() ? query.value(0).toString() : QStringLiteral("<no row>");
    }
};

TEST_F(TranslationTest, AFirstRunListsEveryTextAndChangesNone) {
    StartWithEmptyTable();
    // The export window has no creation handler: only a change of language reaches it.
    EXPECT_EQ(Rows("Key LIKE 'ExportForm.%'"), 0);
    EXPECT_GT(Rows("Key LIKE 'MsgForm.%'"), 20);
    const QStringList before = ShownTexts();

    Main().ClickMenuNode(Node_Dutch);
    Main().ClickMenuNode(Node_German);
    EXPECT_EQ(ShownTexts().join('|').toStdString(), before.join('|').toStdString());

    const std::pair<const char*, const char*> expected[] = {
        {"MainForm.Caption", "Tarnwell Manager"},
        {"MainForm.TreeViewMenu.node0F", "Exit"},
        {"MainForm.TreeViewMenu.node04", "Francais"},
        {"MainForm.OvcComboBoxGraphType.item02", "Stacked inverters"},
        {"MainForm.LabelGetData.caption", "Get data"},
        {"MainForm.OvcKestPortNumber.caption", "Port number"},
        {"MainForm.OvcPortNumberLabel.caption", "Port number"},
        {"MainForm.X_AxisNrOfPoints.caption", "X axis density"},
        {"ExportForm.Caption", "ExportForm"},
        {"ExportForm.ResolutionSelectGroupBox.caption", "Resolution"},
        {"ExportForm.ResolutionSelectGroupBox.button03", "Yearly"},
        {"ExportForm.TotalCheckBox.caption", "Total"},
        {"AboutForm.LabelOK.caption", "OK"},
        {"NotificationForm.ClosePanel.caption", "Close"},
        {"MsgForm.Connect_NoResponse.caption", "No response"},
        {"MsgForm.HelpFileName.caption", "BasUser.pdf"},
    };
    for (const auto& [key, text] : expected) {
        EXPECT_EQ(DefaultOf(key), text) << key;
    }
    // Empty captions are never added; data-bound check boxes, account names, radio group items
    // as buttons of their own and Qt's inner parts have no keys.
    EXPECT_EQ(Rows("\"Default\" IS NULL OR \"Default\" = ''"), 0);
    for (const char* key :
         {"MainForm.DBCheckBoxKestOnLine.caption", "MainForm.DBCheckInverterA.caption",
          "MainForm.ChangePasswordComboBox.item00", "MainForm.KestsNavigatorInsert.caption",
          "ExportForm.ResolutionSelectGroupBox_0.caption", "MainForm.Image1.caption"}) {
        EXPECT_EQ(Rows(QStringLiteral("Key = '%1'").arg(QLatin1String(key))), 0) << key;
    }
    EXPECT_EQ(Rows("Key LIKE '%qt!_%' ESCAPE '!'"), 0);
    EXPECT_EQ(Rows("Key LIKE 'ExportForm.SaveDialog%'"), 0);
}

TEST_F(TranslationTest, CellsOfTheChosenLanguageReplaceTextsFromTheNextOneOn) {
    RunOnLanguages(
        "UPDATE Languages SET Nederlands = 'Geen reactie (test)' "
        "WHERE Key = 'MsgForm.Connect_NoResponse.caption'");
    RunOnLanguages(
        "UPDATE Languages SET Deutsch = NULL WHERE Key = 'MainForm.LabelGetData.caption'");
    const int32_t shed = AddKest({.Name = "Shed", .Port = 1});  // nothing listens there

    Main().Sessions()->ConnectKest(shed);
    Main().ClickMenuNode(Node_Dutch);
    Main().Sessions()->ConnectKest(shed);
    const QStringList lines = Windows().NotificationForm->Lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("No response Shed")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("Geen reactie (test) Shed")) << lines[1].toStdString();

    // An empty German cell keeps the Dutch text on screen.
    const QString dutch = Main().LabelGetData->text();
    EXPECT_NE(dutch, "Get data");
    Main().ClickMenuNode(Node_German);
    EXPECT_EQ(Main().LabelGetData->text(), dutch);

    // "Francais" reads the French column, and the choice is what the next start uses.
    RunOnLanguages(
        "UPDATE Languages SET \"Français\" = 'Récupérer (test)' "
        "WHERE Key = 'MainForm.LabelGetData.caption'");
    Main().ClickMenuNode(Node_French);
    EXPECT_EQ(Main().LabelGetData->text(), "Récupérer (test)");
    // Qt's own texts, such as the buttons of the file dialog, follow the language too.
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Annuler");
    Program.reset();
    Program = std::make_unique<TQuarnelWindows>();
    EXPECT_EQ(Main().LabelGetData->text(), "Récupérer (test)");
    EXPECT_EQ(Translator->Language, Language_French);
    Main().ClickMenuNode(Node_English);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
}

TEST_F(TranslationTest, KeysAndTextsWithQuotesOrBeyondTheColumnWidthAreStoredWhole) {
    const QString key = "MainForm.It's \"quoted\"'; DROP TABLE Languages; --" + QString(60, 'k');
    const QString text = QStringLiteral("O'Neil's ") + QString(300, 'x');
    EXPECT_EQ(Translator->Translate(key, text), text);
    EXPECT_EQ(DefaultOf(key), text);
    QSqlQuery update(Database());
    update.prepare(QStringLiteral("UPDATE Languages SET English = ? WHERE Key = ?"));
    update.addBindValue(QStringLiteral("l'anglais"));
    update.addBindValue(key);
    ASSERT_TRUE(update.exec());
    Translator->SelectLanguage(Language_English);
    EXPECT_EQ(Translator->Translate(key, text), "l'anglais");
    // A number without a column reads English.
    Translator->SelectLanguage(9);
    EXPECT_EQ(Translator->Language, Language_English);
}

TEST_F(TranslationTest, AMissingLanguageDatabaseIsReportedTwiceAndEndsTheProgram) {
    Program.reset();
    ASSERT_TRUE(QFile::remove(Folder->Folder() + "language.sqlite"));
    Dialogs::PreAnswer(QMessageBox::Ok);
    Dialogs::PreAnswer(QMessageBox::Ok);
    Program = std::make_unique<TQuarnelWindows>();
    EXPECT_TRUE(Main().QuitRequested());
    const QList<Dialogs::TAsked> asked = Dialogs::TakeAsked();
    ASSERT_EQ(asked.size(), 2);
    EXPECT_EQ(asked[0].Text, "ERROR: Critical file " + Folder->Folder() +
                                 "language.sqlite not found. Please reinstall the application.");
    EXPECT_FALSE(QFile::exists(Folder->Folder() + "language.sqlite"));
}

// Every key the windows and the message table create has its Dutch, German and French text in
// the shipped table, and the English column repeats the windows' own English texts.
TEST_F(TranslationTest, TheShippedTableTranslatesEveryKey) {
    const int shipped = Rows("1");
    for (int node : {Node_Dutch, Node_German, Node_French, Node_English}) {
        Main().ClickMenuNode(node);
    }
    QSqlQuery missing(Database());
    missing.exec(
        "SELECT Key FROM Languages WHERE COALESCE(Nederlands, '') = '' OR "
        "COALESCE(Deutsch, '') = '' OR COALESCE(\"Français\", '') = '' OR English IS NOT "
        "\"Default\"");
    QStringList keys;
    while (missing.next()) {
        keys << missing.value(0).toString();
    }
    EXPECT_TRUE(keys.isEmpty()) << keys.join('\n').toStdString();
    EXPECT_EQ(Rows("1"), shipped);
}

}  // namespace
}  // namespace uitest
