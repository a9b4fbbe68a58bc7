// The current performance view: the bar layout worked out without a widget, and the view in the
// main window against kestemu boxes.
#include <qcustomplot.h>

#include <QCheckBox>
#include <QPointer>
#include <QTimer>
#include <limits>

#include "UiHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/CheckList.h"
#include "monitor/ui/Look.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/logic/WChart.h"

namespace uitest {
namespace {

// --- The layout --------------------------------------------------------------------------------

std::vector<TWChartRow> Rows(std::vector<float> powers) {
    std::vector<TWChartRow> rows;
    for (float power : powers) {
        rows.push_back({QStringLiteral("Roof (A)"), Qt::red, 0, power});
    }
    return rows;
}

TEST(WChartLayout, BarsStandSideBySideWithAlternatingMarks) {
    struct Case {
        std::vector<float> powers;
        std::vector<int> offsets;
        double axisTop;
    };
    const Case cases[] = {
        {{}, {}, 1000},
        {{0}, {100}, 1000},
        {{999.9f, 12, 0}, {33, 66, 99}, 1000},
        {{5, 1000, 20, 7}, {25, 50, 75, 100}, 2000},
        {{1000.1f, 2999.9f}, {50, 100}, 3000},
    };
    for (const Case& c : cases) {
        const TWChartLayout layout = LayoutWChart(Rows(c.powers), QLocale::c());
        std::vector<int> offsets;
        for (size_t i = 0; i < layout.Bars.size(); ++i) {
            offsets.push_back(layout.Bars[i].Offset);
            // The first mark stands low, the next high, and so on.
            EXPECT_EQ(layout.Bars[i].MarkLift, i % 2 == 0 ? 3 : 12);
        }
        EXPECT_EQ(offsets, c.offsets);
        EXPECT_EQ(layout.AxisTop, c.axisTop) << c.powers.size() << " bars";
    }
}

TEST(WChartLayout, AxisTopValueTextsAndFills) {
    EXPECT_EQ(WAxisTop(1000), 2000);
    EXPECT_EQ(WAxisTop(999.9f), 1000);
    EXPECT_EQ(WAxisTop(0), 1000);
    EXPECT_EQ(WAxisTop(std::numeric_limits<float>::quiet_NaN()), 1000);
    EXPECT_EQ(WValueText(1234.5f, QLocale::c()), "1234.5");
    EXPECT_EQ(WValueText(6553.5f, QLocale(QLocale::German)), "6553,5");
    EXPECT_EQ(WValueText(1000, QLocale(QLocale::English)), "1000");
    const Qt::BrushStyle fills[] = {Qt::SolidPattern, Qt::NoBrush,         Qt::HorPattern,
                                    Qt::VerPattern,   Qt::BDiagPattern,    Qt::FDiagPattern,
                                    Qt::CrossPattern, Qt::DiagCrossPattern};
    for (int pattern = 0; pattern < 8; ++pattern) {
        EXPECT_EQ(FillStyle(pattern), fills[pattern]) << pattern;
    }
    EXPECT_EQ(FillStyle(8), Qt::SolidPattern);
    EXPECT_EQ(FillStyle(-1), Qt::SolidPattern);
}

// --- The view ----------------------------------------------------------------------------------

class CurrentViewTest : public ProgramTest {
protected:
    // A box at midday with its four modules present, and the view opened.
    int32_t OpenOnBox(const QString& name = QStringLiteral("Roof")) {
        KestSpec spec;
        spec.Name = name;
        spec.Port = StartBox().port();
        const int32_t kest = AddKest(spec);
        Main().ClickMenuNode(Node_Current);
        return kest;
    }
    TCheckList& List() { return *Main().OvcCheckListSelectedForW; }
    QCustomPlot& Chart() { return *Main().ChartW; }
    QCPBars* Bar(int i) { return qobject_cast<QCPBars*>(Chart().plottable(i)); }
    int PowerRequests(const kestemu::Emulator& box) {
        int count = 0;
        for (const auto& frame : box.received()) {
            count += frame.bytes.size() > 4 && frame.bytes[0] == 0x10 && frame.bytes[4] == 0x31;
        }
        return count;
    }
};

TEST_F(CurrentViewTest, AllAndNoneStoreTheMarksAndDrawOneBarEach) {
    OpenOnBox();
    ASSERT_EQ(List().count(), 4);
    Main().ACPowerScanTimerTimer();
    EXPECT_EQ(Main().ACPowerScanTimer->interval(), 500);
    EXPECT_EQ(Chart().plottableCount(), 0);

    Click(Find<TLabelButton>("LabelSelectAll"));
    EXPECT_EQ(Count("SELECT * FROM modules WHERE module_ischecked_w = 1"), 4);
    ASSERT_EQ(Chart().plottableCount(), 4);
    ASSERT_EQ(Chart().itemCount(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Bar(i)->name(), List().item(i)->text());
        EXPECT_EQ(Bar(i)->data()->at(0)->key, 25 * (i + 1));
        EXPECT_FALSE(Chart().item(i)->visible());
    }
    EXPECT_EQ(Chart().legend->itemCount(), 4);
    Main().ACPowerScanTimerTimer();
    EXPECT_EQ(Main().ACPowerScanTimer->interval(), 1500);

    Main().CheckBoxShowWValues->click();
    EXPECT_TRUE(Chart().item(3)->visible());
    Main().DrawWChart();
    EXPECT_TRUE(Chart().item(0)->visible());

    Click(Find<TLabelButton>("LabelSelectNone"));
    EXPECT_EQ(Count("SELECT * FROM modules WHERE module_ischecked_w = 1"), 0);
    EXPECT_EQ(Chart().plottableCount(), 0);
    EXPECT_EQ(Chart().itemCount(), 0);
}

TEST_F(CurrentViewTest, PauseFreezesTheChartWhileRequestsGoOn) {
    OpenOnBox();
    List().SetChecked(1, true);
    Main().ACPowerScanTimerTimer();
    QPointer<QCPAbstractPlottable> drawn = Chart().plottable(0);
    ASSERT_FALSE(drawn.isNull());

    Click(Main().LabelPause);
    EXPECT_FALSE(Main().WRefreshTimer->isActive());
    EXPECT_TRUE(Main().ACPowerScanTimer->isActive());
    EXPECT_TRUE(Main().LabelResume->isVisibleTo(Main().PanelCurrentPerformance));
    EXPECT_FALSE(Main().LabelPause->isVisibleTo(Main().PanelCurrentPerformance));
    const int before = PowerRequests(*Boxes[0]);
    EXPECT_TRUE(WaitFor([&] { return PowerRequests(*Boxes[0]) >= before + 2; }));
    EXPECT_FALSE(drawn.isNull());  // no redraw frees the bars

    Click(Main().LabelResume);
    EXPECT_TRUE(Main().WRefreshTimer->isActive());
    EXPECT_TRUE(Main().LabelPause->isVisibleTo(Main().PanelCurrentPerformance));
    EXPECT_TRUE(WaitFor([&] { return drawn.isNull(); }));
}

TEST_F(CurrentViewTest, ATickedInverterShowsItsPowerUntilTheBoxIsGone) {
    const int32_t kest = OpenOnBox(QStringLiteral("Shed"));
    const int32_t inverterA = ModuleId(kest, Module_Type_A);
    int index = 0;
    while (List().ModuleId(index) != inverterA) {
        ASSERT_LT(++index, List().count());
    }
    List().SetChecked(index, true);

    // The scan connects the box and asks; a refresh draws what the channel decoded.
    ASSERT_TRUE(WaitFor([&] {
        TCANMessages* channel = Main().Sessions()->ChannelOfKest(kest);
        return channel != nullptr && channel->PowerA > 0 && Chart().plottableCount() == 1 &&
               Bar(0)->data()->at(0)->value == double(float(channel->PowerA) / 10);
    }));
    EXPECT_EQ(Bar(0)->name(), "Shed (A)");

    Boxes[0]->stop();
    EXPECT_TRUE(WaitFor([&] { return !List().Checked(index); }));
    EXPECT_TRUE(WaitFor([&] { return Main().Sessions()->Channels.empty(); }));
    // A scan that comes before the worker's end finds the link failed, retires it and tries the
    // box once more, which adds the failed connect's line.
    const QStringList lines = Windows().NotificationForm->Lines();
    EXPECT_EQ(lines.mid(0, 2),
              (QStringList{"No response Shed. Check the connection.", "Disconnected from Shed."}))
        << lines.join('\n').toStdString();
    EXPECT_EQ(lines.mid(2), lines.size() == 2
                                ? QStringList()
                                : QStringList{"No response Shed Check the connection"})
        << lines.join('\n').toStdString();
    EXPECT_EQ(Count("SELECT * FROM modules WHERE module_ischecked_w = 1"), 0);
    EXPECT_EQ(Chart().plottableCount(), 0);
}

}  // namespace
}  // namespace uitest
