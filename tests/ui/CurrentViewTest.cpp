// The current performance view: the bar layout worked out without a widget, and the view in the
// main window against kestemu boxes.
#include <qcustomplot.h>

#include <QCheckBox>
#include <QPointer>
#include <QSqlQuery>
#include <QTimer>
#include <cstdlib>
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
                                    Qt::VerPattern,   Qt::FDiagPattern,    Qt::BDiagPattern,
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
    // Ticks the box's inverter A in the list; its place there, or -1.
    int TickInverterA(int32_t kest) {
        const int32_t inverterA = ModuleId(kest, Module_Type_A);
        for (int index = 0; index < List().count(); ++index) {
            if (List().ModuleId(index) == inverterA) {
                List().SetChecked(index, true);
                return index;
            }
        }
        ADD_FAILURE() << "inverter A is not in the list";
        return -1;
    }
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

// Which pixels of a window carry the ink colour rather than the ground, and whether every inked
// pixel inside it lies on a falling ("\") or a rising ("/") line of inked pixels.
struct TFillSeen {
    int Inked = 0;
    int Pixels = 0;
    bool Falling = true;
    bool Rising = true;
};

TFillSeen SeeFill(const QImage& image, const QRect& window, const QColor& ink,
                  const QColor& ground) {
    auto distance = [](QRgb a, const QColor& b) {
        return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) +
               std::abs(qBlue(a) - b.blue());
    };
    auto inked = [&](int x, int y) {
        const QRgb pixel = image.pixel(window.left() + x, window.top() + y);
        return distance(pixel, ink) < distance(pixel, ground);
    };
    TFillSeen seen;
    for (int y = 0; y < window.height(); ++y) {
        for (int x = 0; x < window.width(); ++x) {
            ++seen.Pixels;
            if (!inked(x, y)) {
                continue;
            }
            ++seen.Inked;
            if (x > 0 && y > 0 && x < window.width() - 1 && y < window.height() - 1) {
                seen.Falling = seen.Falling && inked(x - 1, y - 1) && inked(x + 1, y + 1);
                seen.Rising = seen.Rising && inked(x - 1, y + 1) && inked(x + 1, y - 1);
            }
        }
    }
    return seen;
}

TEST_F(CurrentViewTest, EachFillIsDrawnAsItsLabelSaysTheDiagonalsNotMirrored) {
    const int32_t kest = OpenOnBox();
    ASSERT_GE(TickInverterA(kest), 0);
    // A bar tall enough for a window of its inside: the box's midday power on a 1000 W step.
    ASSERT_TRUE(WaitFor([&] {
        TCANMessages* channel = Main().Sessions()->ChannelOfKest(kest);
        return channel != nullptr && channel->PowerA >= 4000;
    }));
    Main().WRefreshTimer->stop();
    Main().show();  // drawn at the chart's own size, as on the screen
    ASSERT_TRUE(WaitFor([&] { return Chart().viewport().size() == Chart().size(); }));
    const int white = 18;
    ASSERT_EQ(ModuleColours[white], 0xFFFFFFFFu);

    std::vector<TFillSeen> seen;
    for (int pattern = 0; pattern < 8; ++pattern) {
        QSqlQuery set(QSqlDatabase::database(Main().UserData()->ConnectionName()));
        set.prepare("UPDATE modules SET module_color = ?, module_pattern = ? WHERE module_id = ?");
        set.addBindValue(white);
        set.addBindValue(pattern);
        set.addBindValue(ModuleId(kest, Module_Type_A));
        ASSERT_TRUE(set.exec());
        Main().DrawWChart();
        ASSERT_EQ(Chart().plottableCount(), 1);
        // The one bar spans the axis from end to end; a square from the middle of its inside.
        const int top = int(Chart().yAxis->coordToPixel(Bar(0)->data()->at(0)->value));
        const int bottom = int(Chart().yAxis->coordToPixel(0));
        ASSERT_GE(bottom - top, 60);
        const int middle = int(Chart().xAxis->coordToPixel(Chart().xAxis->range().center()));
        const QRect window(middle - 16, (top + bottom) / 2 - 16, 32, 32);
        seen.push_back(SeeFill(Chart().toPixmap().toImage(), window, Qt::white, Window_Colour));
    }
    EXPECT_EQ(seen[0].Inked, seen[0].Pixels);
    EXPECT_EQ(seen[1].Inked, 0);
    for (int pattern = 2; pattern < 8; ++pattern) {
        const TFillSeen& fill = seen[size_t(pattern)];
        EXPECT_TRUE(fill.Inked > 0 && fill.Inked < fill.Pixels) << pattern << ": " << fill.Inked;
        // 4 is the forward diagonal, "\"; 5 the backward one, "/"; no other fill is either.
        EXPECT_EQ(fill.Falling, pattern == 4) << pattern;
        EXPECT_EQ(fill.Rising, pattern == 5) << pattern;
    }
}

TEST_F(CurrentViewTest, ATickedInverterShowsItsPowerUntilTheBoxIsGone) {
    const int32_t kest = OpenOnBox(QStringLiteral("Shed"));
    const int index = TickInverterA(kest);
    ASSERT_GE(index, 0);

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
