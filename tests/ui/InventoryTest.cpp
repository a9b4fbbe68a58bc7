// The box list editor and the account password change of the main window.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QTest>
#include <QToolButton>

#include "UiHarness.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/Dialogs.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/logic/ExportData.h"

namespace uitest {
namespace {

const QStringList Colour_Pickers = {"ColorComboBoxMonitor", "ColorComboBoxInverterA",
                                    "ColorComboBoxInverterB", "ColorComboBoxInverterC"};

class Inventory : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        Main().ClickMenuNode(Node_Inverters);
    }

    QWidget* Details() { return Find<QWidget>("PanelInvertersDetails"); }

    // Chooses a row of the box list as a click would, and waits until the editor follows it.
    void ChooseRow(int row) {
        QListView* list = Find<QListView>("KestList");
        QSqlTableModel* table = Main().UserData()->KestsTable;
        const int32_t id = table->index(row, table->fieldIndex("kest_id")).data().toInt();
        const QModelIndex index = list->model()->index(row, list->modelColumn());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                          list->visualRect(index).center());
        ASSERT_TRUE(WaitFor([&] { return Main().UserData()->CurrentKest() == id; }));
    }

    void TypeInto(QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
        QCoreApplication::processEvents();  // the mapper stores an entry after the key is handled
    }

    // Runs a password change and returns what it showed.
    QList<Dialogs::TAsked> ChangePassword(const QString& account, const QString& fresh,
                                          const QString& confirmation) {
        Find<QComboBox>("ChangePasswordComboBox")->setCurrentText(account);
        Find<QLineEdit>("OvcNewPassword")->setText(fresh);
        Find<QLineEdit>("OvcConfirmPassword")->setText(confirmation);
        Dialogs::PreAnswer(QMessageBox::Ok);
        Click(Find<QPushButton>("ChangeButton"));
        return Dialogs::TakeAsked();
    }

    QString Text(const char* label) { return Windows().MsgForm.Text(label); }
};

TEST_F(Inventory, TheFirstBoxShowsItsFourModulesInOneColourAndTheLastTakesThemAlong) {
    EXPECT_TRUE(Details()->isHidden());
    Click(Find<QToolButton>("KestsNavigatorInsert"));
    EXPECT_FALSE(Details()->isHidden());
    ASSERT_EQ(Count("SELECT * FROM modules"), 4);
    EXPECT_EQ(Find<QLineEdit>("OvcKestName")->text(), "?");
    EXPECT_EQ(Find<QLineEdit>("OvcKestPortNumber")->text(), "7777");
    const int colour = Find<QComboBox>("ColorComboBoxMonitor")->currentIndex();
    EXPECT_EQ(Count(QString("SELECT * FROM modules WHERE module_color = %1").arg(colour)), 4);
    for (const QString& picker : Colour_Pickers) {
        EXPECT_EQ(Find<QComboBox>(picker)->currentIndex(), colour) << picker.toStdString();
    }
    // The total's pattern 6 and line type 0, shown by their labels.
    EXPECT_EQ(Find<QComboBox>("DBLookupComboBoxPatternMonitor")->currentIndex(), 6);
    EXPECT_EQ(Find<QComboBox>("DBLookupComboBoxLineTypeMonitor")->currentIndex(), 0);

    Dialogs::PreAnswer(QMessageBox::No);
    Click(Find<QToolButton>("KestsNavigatorDelete"));
    EXPECT_EQ(Count("SELECT * FROM kests"), 1);
    Dialogs::PreAnswer(QMessageBox::Yes);
    Click(Find<QToolButton>("KestsNavigatorDelete"));
    const QList<Dialogs::TAsked> asked = Dialogs::TakeAsked();
    ASSERT_EQ(asked.size(), 2);
    for (const Dialogs::TAsked& question : asked) {
        EXPECT_EQ(question.Kind, Dialogs::TKind::Question);
        EXPECT_EQ(question.Text, "Delete record?");
    }
    EXPECT_EQ(Count("SELECT * FROM kests"), 0);
    EXPECT_EQ(Count("SELECT * FROM modules"), 0);
    EXPECT_TRUE(Details()->isHidden());
    EXPECT_TRUE(Find<QLineEdit>("OvcKestName")->text().isEmpty());
}

TEST_F(Inventory, DeletingABoxInSessionEndsTheSessionAndSelectsTheNextBox) {
    KestSpec spec;
    spec.Port = StartBox().port();
    const int32_t first = AddKest(spec);
    spec.Name = "Barn";
    const int32_t second = AddKest(spec);
    Main().Sessions()->ConnectKest(first);
    ASSERT_TRUE(Main().Sessions()->IsKestConnected(first));
    ChooseRow(0);

    Dialogs::PreAnswer(QMessageBox::Yes);
    Click(Find<QToolButton>("KestsNavigatorDelete"));
    Dialogs::TakeAsked();
    EXPECT_EQ(Main().Sessions()->ChannelOfKest(first), nullptr);
    EXPECT_EQ(Main().UserData()->CurrentKest(), second);
    EXPECT_EQ(Find<QLineEdit>("OvcKestName")->text(), "Barn");
    EXPECT_EQ(Find<QListView>("KestList")->currentIndex().row(), 0);
}

TEST_F(Inventory, EditsAreKeptWhenAnotherBoxIsChosenAndLoadingABoxWritesNothing) {
    const int32_t roof = AddKest(KestSpec{});
    KestSpec barnSpec;
    barnSpec.Name = "Barn";
    barnSpec.Present = {Module_Type_A};
    const int32_t barn = AddKest(barnSpec);
    ChooseRow(0);
    Find<QLineEdit>("OvcKestName")->setText("Garage");  // still in the field, not yet left
    Find<QLineEdit>("OvcKestPassword")->setText("  secret  ");
    Find<QComboBox>("ColorComboBoxInverterB")->setCurrentIndex(5);
    Find<QCheckBox>("DBCheckInverterC")->setChecked(false);

    ChooseRow(1);
    EXPECT_EQ(Count(QString("SELECT * FROM kests WHERE kest_name = 'Garage' AND "
                            "kest_password = 'secret' AND kest_id = %1")
                        .arg(roof)),
              1);
    EXPECT_EQ(Count(QString("SELECT * FROM modules WHERE module_kest = %1 AND module_type = 8 "
                            "AND module_color = 5")
                        .arg(roof)),
              1);
    EXPECT_EQ(Count(QString("SELECT * FROM modules WHERE module_kest = %1 AND module_type = 12 "
                            "AND module_ispresent = 0")
                        .arg(roof)),
              1);
    // Barn's own values are shown, and showing them changed none of its rows.
    EXPECT_EQ(Find<QLineEdit>("OvcKestName")->text(), "Barn");
    EXPECT_TRUE(Find<QCheckBox>("DBCheckInverterA")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("DBCheckInverterB")->isChecked());
    EXPECT_EQ(Count(QString("SELECT * FROM modules WHERE module_kest = %1 AND "
                            "module_ispresent = 1")
                        .arg(barn)),
              1);
    EXPECT_EQ(Count("SELECT * FROM kests WHERE kest_name = 'Barn' AND kest_port = 7777"), 1);
}

TEST_F(Inventory, AChangeTheDatabaseRefusesIsShownWithItsReasonAndNotKept) {
    const int32_t roof = AddKest(KestSpec{});
    KestSpec barnSpec;
    barnSpec.Name = "Barn";
    AddKest(barnSpec);
    ChooseRow(0);
    // From here on the database refuses every change of a box or a module, as a full disk or a
    // read-only file would.
    for (const char* table : {"kests", "modules"}) {
        QSqlQuery refuse(QSqlDatabase::database(Main().UserData()->ConnectionName()));
        const QStringList statements =
            datatest::TestingPostgres()
                ? QStringList{QString("CREATE FUNCTION refuse_%1() RETURNS trigger LANGUAGE "
                                      "plpgsql AS $$BEGIN RAISE EXCEPTION "
                                      "'the disk is full (%1)'; END$$")
                                  .arg(table),
                              QString("CREATE TRIGGER refuse_%1 BEFORE UPDATE ON %1 FOR EACH "
                                      "ROW EXECUTE FUNCTION refuse_%1()")
                                  .arg(table)}
                : QStringList{QString("CREATE TRIGGER refuse_%1 BEFORE UPDATE ON %1 BEGIN "
                                      "SELECT RAISE(ABORT, 'the disk is full (%1)'); END")
                                  .arg(table)};
        for (const QString& statement : statements) {
            ASSERT_TRUE(refuse.exec(statement)) << refuse.lastError().text().toStdString();
        }
    }
    // Answers for more dialogs than expected, so that an extra one is counted, not waited on.
    auto answerErrors = [] {
        for (int i = 0; i < 4; ++i) {
            Dialogs::PreAnswer(QMessageBox::Ok);
        }
    };
    auto expectOneError = [](const QList<Dialogs::TAsked>& asked, const QString& reason) {
        ASSERT_EQ(asked.size(), 1);
        EXPECT_EQ(asked[0].Kind, Dialogs::TKind::Error);
        EXPECT_TRUE(asked[0].Text.contains(reason)) << asked[0].Text.toStdString();
    };

    // A box renamed, then the next row chosen.
    answerErrors();
    Find<QLineEdit>("OvcKestName")->setText("Garage");
    ChooseRow(1);
    expectOneError(Dialogs::TakeAsked(), "the disk is full (kests)");
    EXPECT_EQ(Count("SELECT * FROM kests WHERE kest_name = 'Garage'"), 0);
    QSqlTableModel* table = Main().UserData()->KestsTable;
    EXPECT_FALSE(table->isDirty());
    EXPECT_EQ(table->index(0, table->fieldIndex("kest_name")).data().toString(), "Roof");
    answerErrors();
    ChooseRow(0);
    EXPECT_TRUE(Dialogs::TakeAsked().isEmpty());  // nothing left pending to fail again
    EXPECT_EQ(Find<QLineEdit>("OvcKestName")->text(), "Roof");

    // Another colour chosen for an inverter.
    QComboBox* colour = Find<QComboBox>("ColorComboBoxInverterB");
    const int stored = colour->currentIndex();
    answerErrors();
    colour->setCurrentIndex((stored + 1) % colour->count());
    expectOneError(Dialogs::TakeAsked(), "the disk is full (modules)");
    EXPECT_EQ(colour->currentIndex(), stored);
    EXPECT_FALSE(Main().UserData()->InvertersBQuery.Editing());
    EXPECT_EQ(Count(QString("SELECT * FROM modules WHERE module_kest = %1 AND module_type = 8 "
                            "AND module_color = %2")
                        .arg(roof)
                        .arg(stored)),
              1);
    answerErrors();
    ChooseRow(1);
    EXPECT_TRUE(Dialogs::TakeAsked().isEmpty());
}

TEST_F(Inventory, APortThatIsNoPortIsRestoredSilently) {
    AddKest(KestSpec{});
    QLineEdit* port = Find<QLineEdit>("OvcKestPortNumber");
    TypeInto(port, "70000");
    EXPECT_EQ(port->text(), "7777");
    TypeInto(port, "8080");
    EXPECT_EQ(port->text(), "8080");
    TypeInto(port, "");
    EXPECT_EQ(port->text(), "8080");
    EXPECT_TRUE(Dialogs::TakeAsked().isEmpty());
    Main().UserData()->PostPendingEdits();
    EXPECT_EQ(Count("SELECT * FROM kests WHERE kest_port = 8080"), 1);
}

TEST_F(Inventory, PasswordsAreCheckedBeforeTheBoxIsAsked) {
    const auto refused = [&](const QString& fresh, const QString& confirmation) {
        const QList<Dialogs::TAsked> asked = ChangePassword("BasicUser", fresh, confirmation);
        return asked.size() == 1 && asked[0].Kind == Dialogs::TKind::Error &&
               asked[0].Text == Text("ChangePasswordError");
    };
    EXPECT_TRUE(refused("fresh56", "fresh56"));
    EXPECT_TRUE(refused("fresh5678", "fresh5679"));
    EXPECT_TRUE(refused("", ""));
    // Long enough and equal, but no box to send it to.
    const QList<Dialogs::TAsked> asked = ChangePassword("BasicUser", "fresh567", "fresh567");
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked[0].Text, Text("ChangePasswordFailed"));
}

TEST_F(Inventory, ThePasswordChangeReportsTheBoxAnswer) {
    kestemu::Emulator& box = StartBox();
    KestSpec spec;
    spec.Port = box.port();
    AddKest(spec);
    QList<Dialogs::TAsked> asked = ChangePassword("BasicUser", "fresh567", "fresh567");
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked[0].Kind, Dialogs::TKind::Information);
    EXPECT_EQ(asked[0].Text, Text("ChangePasswordOk"));
    EXPECT_EQ(box.accounts().at(0).password, "fresh567");
    EXPECT_EQ(Find<QLineEdit>("OvcNewPassword")->text(), "fresh567");  // not cleared

    spec.Name = "Basic";
    spec.UserName = "BasicUser";
    spec.Password = "fresh567";
    AddKest(spec);
    asked = ChangePassword("Administrator", "other5678", "other5678");
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked[0].Text, Text("ChangePasswordNotAllowed"));

    kestemu::Emulator& gone = StartBox();
    spec.Name = "Gone";
    spec.Port = gone.port();
    gone.stop();
    AddKest(spec);
    asked = ChangePassword("BasicUser", "other5678", "other5678");
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked[0].Kind, Dialogs::TKind::Error);
    EXPECT_EQ(asked[0].Text, Text("ChangePasswordFailed"));
}

// What people type into the box list: quotes, separators, scripts beyond Latin, the longest
// entries the fields take and longer ones written behind the program's back, empty fields, and
// ports at their limits. None may break a statement, the export's header or a notification.
TEST_F(Inventory, UnusualEntriesBreakNoStatementExportOrNotification) {
    kestemu::Emulator& box = StartBox();
    // Text beyond ASCII arrives as a paste or from an input method, not as key presses.
    const auto paste = [&](QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        field->insert(text);
        QTest::keyClick(field, Qt::Key_Return);
        QCoreApplication::processEvents();
    };
    Click(Find<QToolButton>("KestsNavigatorInsert"));
    const int32_t kest = Main().UserData()->CurrentKest();
    const QString name = QStringLiteral("O'Brien \"East\"; Süd ☀ 屋根 -- %1 ?");
    const QString password = QStringLiteral("p'a\"ss; wö☀");
    paste(Find<QLineEdit>("OvcKestName"), name + QString(60, u'n'));
    TypeInto(Find<QLineEdit>("OvcKestIPAddress"), QStringLiteral("127.0.0.1"));
    TypeInto(Find<QLineEdit>("OvcKestUsername"), QStringLiteral("Admin'); DROP TABLE kests; --"));
    paste(Find<QLineEdit>("OvcKestPassword"), password);
    QLineEdit* port = Find<QLineEdit>("OvcKestPortNumber");
    for (const char* limit : {"0", "65535"}) {
        TypeInto(port, limit);
        EXPECT_EQ(port->text(), limit);
    }
    for (const char* beyond : {"65536", "99999"}) {
        TypeInto(port, beyond);
        EXPECT_EQ(port->text(), "65535");
    }
    TypeInto(port, QString::number(box.port()));
    Main().UserData()->PostPendingEdits();

    QSqlQuery stored(QSqlDatabase::database(Main().UserData()->ConnectionName()));
    stored.prepare("SELECT kest_name, kest_username, kest_password FROM kests WHERE kest_id = ?");
    stored.addBindValue(kest);
    ASSERT_TRUE(stored.exec() && stored.next());
    const QString kept = stored.value(0).toString();
    EXPECT_EQ(kept, (name + QString(60, u'n')).left(50));
    EXPECT_EQ(stored.value(1).toString(), "Admin'); DROP TABLE kests; --");
    EXPECT_EQ(stored.value(2).toString(), password);
    EXPECT_EQ(Count("SELECT * FROM kests"), 1);

    // The box refuses that login: one notification line names the box as stored, whole.
    Main().Sessions()->ConnectKest(kest);
    EXPECT_FALSE(Main().Sessions()->IsKestConnected(kest));
    const QStringList lines = Windows().NotificationForm->Lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().contains(kept)) << lines.last().toStdString();
    for (const QString& line : lines) {
        EXPECT_FALSE(line.contains('\n'));
    }

    // A name longer than the field takes, with a line break, as another program may write it.
    const QString longName = QStringLiteral("Roof;\nnorth ") + QString(300, u'\u00e9');
    QSqlQuery rename(QSqlDatabase::database(Main().UserData()->ConnectionName()));
    rename.prepare("UPDATE kests SET kest_name = ?, kest_port = 65535 WHERE kest_id = ?");
    rename.addBindValue(longName);
    rename.addBindValue(kest);
    ASSERT_TRUE(rename.exec());
    const qsizetype shown = Windows().NotificationForm->Lines().size();
    Main().Sessions()->ConnectKest(kest);
    const QStringList after = Windows().NotificationForm->Lines();
    ASSERT_EQ(after.size(), shown + 1);
    EXPECT_TRUE(after.last().contains(QStringLiteral("Roof; north"))) << after.last().toStdString();

    TExportRequest request;
    request.Columns = {true, true, false, false};
    for (const QString& header : {kept, longName}) {
        request.KestName = header;
        const QString line = QString::fromUtf8(ExportHeader(request, Windows().MsgForm));
        EXPECT_EQ(line.count(';'), 4) << line.toStdString();
        EXPECT_FALSE(line.contains('\n') || line.contains('\r'));
    }
}

}  // namespace
}  // namespace uitest
