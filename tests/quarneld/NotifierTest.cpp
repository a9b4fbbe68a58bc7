// The service's desktop notifications against a notification server of the tests' own, on a
// private session bus (the Bus tests), and what the notifier does without a bus.
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QStringList>

#include "Notifier.h"
#include "Translation.h"
#include "tests/data/DataHarness.h"
#include "tests/quarneld/NotificationServer.h"

namespace datatest {
namespace {

using quarneldtest::TNotification;
using quarneldtest::TNotificationServer;

QStringList Logged;
void Keep(QtMsgType, const QMessageLogContext&, const QString& text) {
    Logged << text;
}

class NotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        UserData = std::make_unique<TUserData>(View, Folder.DatabasePath());
        ASSERT_TRUE(UserData->IsOpen()) << View.Errors.join("\n").toStdString();
        Notifier = std::make_unique<TNotifier>(*UserData, LanguagePath());
    }
    QString LanguagePath() const { return Folder.Folder() + "language.sqlite"; }

    TNotification Next() {
        const size_t seen = Seen++;
        EXPECT_TRUE(Server.WaitForCount(Seen));
        EXPECT_TRUE(quarneldtest::FlushNotifications());
        const auto all = Server.Received();
        return seen < all.size() ? all[seen] : TNotification{};
    }

    DataFolderFixture Folder;
    TRecordingView View;
    std::unique_ptr<TUserData> UserData;
    std::unique_ptr<TNotifier> Notifier;
    TNotificationServer Server;
    size_t Seen = 0;
};

TEST_F(NotifierTest, WithoutASessionBusNothingHappensAndNothingWaits) {
    if (QDBusConnection::sessionBus().isConnected()) {
        GTEST_SKIP() << "this process has a session bus";
    }
    EXPECT_FALSE(Notifier->Available());
    Logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(Keep);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    QElapsedTimer elapsed;
    elapsed.start();
    for (int i = 0; i < 20; ++i) {
        Notifier->NotProducing("Roof", Module_Type_A);
        Notifier->ProducingAgain("Roof", Module_Type_A);
    }
    const qint64 ms = elapsed.elapsed();
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    EXPECT_LT(ms, 200);
    EXPECT_TRUE(Logged.isEmpty()) << Logged.join('\n').toStdString();
}

TEST_F(NotifierTest, TheMessageTextsAreReadFromTheLanguageDatabaseAndNeverWritten) {
    TMsgForm texts;
    ASSERT_TRUE(TranslateMsgForm(texts, LanguagePath(), Language_German));
    EXPECT_EQ(texts.Text("Alert_NotProducingTitle"), "Wechselrichter produziert nicht");
    EXPECT_EQ(texts.Text("InverterBLabel"), "(B)");
    // Spanish has no column filled: the English captions stay.
    TMsgForm spanish;
    ASSERT_TRUE(TranslateMsgForm(spanish, LanguagePath(), Language_Spanish));
    EXPECT_EQ(spanish.Text("Alert_ProducingAgain"), "is producing again");

    const QString missing = Folder.Folder() + "gone.sqlite";
    QString error;
    TMsgForm english;
    EXPECT_FALSE(TranslateMsgForm(english, missing, Language_German, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(english.Text("Alert_NotProducingTitle"), "Inverter not producing");
    EXPECT_FALSE(QFile::exists(missing));
}

TEST_F(NotifierTest, BusProducingAgainReplacesTheNotProducingOfTheSameInverter) {
    QUARNELD_REQUIRE_TEST_BUS();
    ASSERT_TRUE(Server.Start());
    ASSERT_TRUE(Notifier->Available());
    UserData->SetLanguage(Language_English);
    Notifier->NotProducing("Roof", Module_Type_A);
    const TNotification stopped = Next();
    EXPECT_EQ(stopped.AppName, "quarneld");
    EXPECT_EQ(stopped.ReplacesId, 0u);
    EXPECT_EQ(stopped.Icon, "dialog-warning");
    EXPECT_EQ(stopped.Summary, "Inverter not producing");
    EXPECT_EQ(stopped.Body, "Roof (A) is not producing while the other inverters are");
    EXPECT_EQ(stopped.Urgency, 2);
    EXPECT_EQ(stopped.ExpireTimeout, -1);

    Notifier->NotProducing("Roof", Module_Type_B);
    const TNotification other = Next();
    EXPECT_EQ(other.ReplacesId, 0u);
    EXPECT_NE(other.Id, stopped.Id);

    Notifier->ProducingAgain("Roof", Module_Type_A);
    const TNotification again = Next();
    EXPECT_EQ(again.ReplacesId, stopped.Id);
    EXPECT_EQ(again.Icon, "dialog-information");
    EXPECT_EQ(again.Summary, "Inverter producing again");
    EXPECT_EQ(again.Body, "Roof (A) is producing again");
    EXPECT_EQ(again.Urgency, 1);
}

TEST_F(NotifierTest, BusTheWordsFollowTheLanguageStoredAtEachNotification) {
    QUARNELD_REQUIRE_TEST_BUS();
    ASSERT_TRUE(Server.Start());
    UserData->SetLanguage(Language_German);
    Notifier->NotProducing("Shed", Module_Type_C);
    const TNotification german = Next();
    EXPECT_EQ(german.Summary, "Wechselrichter produziert nicht");
    EXPECT_EQ(german.Body,
              "Shed (C) produziert nicht, während die anderen Wechselrichter produzieren");

    UserData->SetLanguage(Language_Dutch);
    Notifier->ProducingAgain("Shed", Module_Type_C);
    const TNotification dutch = Next();
    EXPECT_EQ(dutch.Summary, "Omvormer produceert weer");
    EXPECT_EQ(dutch.Body, "Shed (C) produceert weer");

    UserData->SetLanguage(Language_French);
    ASSERT_TRUE(QFile::remove(LanguagePath()));
    Notifier->NotProducing("Shed", Module_Type_C);
    EXPECT_EQ(Next().Summary, "Inverter not producing");
}

TEST_F(NotifierTest, BusWithoutAServerTheNotificationIsDroppedAndNoIdKept) {
    QUARNELD_REQUIRE_TEST_BUS();
    Notifier->NotProducing("Roof", Module_Type_A);
    EXPECT_TRUE(quarneldtest::FlushNotifications());
    ASSERT_TRUE(Server.Start());
    Notifier->ProducingAgain("Roof", Module_Type_A);
    const TNotification again = Next();
    EXPECT_EQ(again.ReplacesId, 0u);
    EXPECT_EQ(again.Body, "Roof (A) is producing again");
}

}  // namespace
}  // namespace datatest
