// When an inverter counts as not producing, and when again as producing: only after the whole
// time on end, never at night, and not forgotten over a night.
#include <gtest/gtest.h>

#include "InverterWatch.h"

namespace {

constexpr qint64 kMinute = 60000;

class InverterWatchTest : public ::testing::Test {
protected:
    // Rounds every 10 s from `from` for `minutes`; the last change seen.
    TWatchChange Rounds(qint64 from, double minutes, bool producing, bool sibling) {
        TWatchChange last = TWatchChange::None;
        for (qint64 t = from; t <= from + qint64(minutes * kMinute); t += 10000) {
            const TWatchChange change = Watch.Observe(t, producing, sibling, Alerts);
            if (change != TWatchChange::None) {
                EXPECT_EQ(last, TWatchChange::None) << "two changes in one stretch";
                last = change;
            }
        }
        return last;
    }

    TAlertConfig Alerts;  // 15, 100 W, 10
    TInverterWatch Watch;
};

TEST_F(InverterWatchTest, StartsOnlyAfterTheWholeTimeBesideAProducingSibling) {
    EXPECT_EQ(Rounds(0, 14.9, false, true), TWatchChange::None);
    // One round in production, or one in which no sibling produced, starts the count again.
    EXPECT_EQ(Watch.Observe(15 * kMinute, true, true, Alerts), TWatchChange::None);
    EXPECT_EQ(Rounds(16 * kMinute, 14.9, false, true), TWatchChange::None);
    EXPECT_EQ(Watch.Observe(31 * kMinute, false, false, Alerts), TWatchChange::None);
    EXPECT_EQ(Rounds(32 * kMinute, 14.9, false, true), TWatchChange::None);
    EXPECT_FALSE(Watch.Problem);
    EXPECT_EQ(Watch.Observe(47 * kMinute, false, true, Alerts), TWatchChange::Started);
    EXPECT_TRUE(Watch.Problem);
}

TEST_F(InverterWatchTest, NightNeitherStartsNorEndsIt) {
    EXPECT_EQ(Rounds(0, 600, false, false), TWatchChange::None);
    EXPECT_FALSE(Watch.Problem);
    ASSERT_EQ(Rounds(0, 15, false, true), TWatchChange::Started);
    EXPECT_EQ(Rounds(16 * kMinute, 600, false, false), TWatchChange::None);
    EXPECT_TRUE(Watch.Problem);
}

TEST_F(InverterWatchTest, EndsAfterProducingTheWholeClearTime) {
    ASSERT_EQ(Rounds(0, 15, false, true), TWatchChange::Started);
    EXPECT_EQ(Rounds(20 * kMinute, 9.9, true, true), TWatchChange::None);
    // A round at 0 W starts the clear time again.
    EXPECT_EQ(Watch.Observe(30 * kMinute, false, true, Alerts), TWatchChange::None);
    EXPECT_EQ(Rounds(31 * kMinute, 9.9, true, false), TWatchChange::None);
    EXPECT_EQ(Watch.Observe(41 * kMinute, true, false, Alerts), TWatchChange::Ended);
    EXPECT_FALSE(Watch.Problem);
}

TEST_F(InverterWatchTest, ALostSessionStartsTheCountsAgainAndKeepsTheState) {
    EXPECT_EQ(Rounds(0, 14, false, true), TWatchChange::None);
    Watch.Interrupt();
    EXPECT_EQ(Rounds(20 * kMinute, 14, false, true), TWatchChange::None);
    EXPECT_EQ(Rounds(34 * kMinute + 10000, 1.1, false, true), TWatchChange::Started);
    EXPECT_EQ(Rounds(40 * kMinute, 9, true, true), TWatchChange::None);
    Watch.Interrupt();
    EXPECT_TRUE(Watch.Problem);
    EXPECT_EQ(Rounds(50 * kMinute, 9, true, true), TWatchChange::None);
    EXPECT_EQ(Rounds(59 * kMinute + 10000, 1.1, true, true), TWatchChange::Ended);
}

}  // namespace
