// The current performance view: the bar layout worked out without a widget, and the view in the
// main window against kestemu boxes.
#include <qcustomplot.h>

#include <QCheckBox>
#include <QPointer>
#include <QSqlQuery>
#include <QTimer>
#include <cstdlib>
#include <limits>
#include <string>

#include "UiHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/CheckList.h"
#include "monitor/ui/Look.h"
#include "monitor/ui/NotificationFrm.h"
#include "monitor/ui/WChart.h"

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

// What a fill looks like inside a bar: which pixels carry the bar's colour, and along which
// lines every such pixel has both neighbours inked too.
struct TFillSeen {
    int Inked = 0;
    int Pixels = 0;
    bool Across = false;   // every inked pixel lies on a horizontal line
    bool Down = false;     // ... on a vertical line
    bool Falling = false;  // ... on a line from upper left to lower right, "\"
    bool Rising = false;   // ... on a line from lower left to upper right, "/"
    bool FullRow = false;  // some row is inked from end to end
    bool FullColumn = false;

    std::string Describe() const {
        return std::to_string(Inked) + "/" + std::to_string(Pixels) + " inked" +
               (Across ? ", across" : "") + (Down ? ", down" : "") + (Falling ? ", falling" : "") +
               (Rising ? ", rising" : "") + (FullRow ? ", a full row" : "") +
               (FullColumn ? ", a full column" : "");
    }
};

TFillSeen SeeFill(const QImage& image, const QRect& inside, const QColor& ink,
                  const QColor& ground) {
    auto distance = [](QRgb a, const QColor& b) {
        return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) +
               std::abs(qBlue(a) - b.blue());
    };
    auto inked = [&](int x, int y) {
        const QRgb pixel = image.pixel(inside.left() + x, inside.top() + y);
        return distance(pixel, ink) < distance(pixel, ground);
    };
    TFillSeen seen;
    seen.Across = seen.Down = seen.Falling = seen.Rising = true;
    const int w = inside.width();
    const int h = inside.height();
    for (int y = 0; y < h; ++y) {
        int row = 0;
        for (int x = 0; x < w; ++x) {
            ++seen.Pixels;
            if (!inked(x, y)) {
                continue;
            }
            ++seen.Inked;
            ++row;
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1) {
                continue;  // its neighbours lie outside the window
            }
            seen.Across = seen.Across && inked(x - 1, y) && inked(x + 1, y);
            seen.Down = seen.Down && inked(x, y - 1) && inked(x, y + 1);
            seen.Falling = seen.Falling && inked(x - 1, y - 1) && inked(x + 1, y + 1);
            seen.Rising = seen.Rising && inked(x - 1, y + 1) && inked(x + 1, y - 1);
        }
        seen.FullRow = seen.FullRow || row == w;
    }
    for (int x = 0; x < w; ++x) {
        int column = 0;
        for (int y = 0; y < h; ++y) {
            column += inked(x, y) ? 1 : 0;
        }
        seen.FullColumn = seen.FullColumn || column == h;
    }
    return seen;
}

TEST_F(CurrentViewTest, EachOfTheEightFillsIsDrawnAsItsLabelSays) {
    const int32_t kest = OpenOnBox();
    const int32_t inverterA = ModuleId(kest, Module_Type_A);
    int index = 0;
    while (List().ModuleId(index) != inverterA) {
        ASSERT_LT(++index, List().count());
    }
    List().SetChecked(index, true);
    // A bar tall enough for a window of its inside: the box's midday power on a 1000 W step.
    ASSERT_TRUE(WaitFor([&] {
        TCANMessages* channel = Main().Sessions()->ChannelOfKest(kest);
        return channel != nullptr && channel->PowerA >= 4000;
    }));
    Main().WRefreshTimer->stop();
    // Drawn at the chart's own size, as on the screen.
    Main().show();
    ASSERT_TRUE(WaitFor([&] { return Chart().viewport().size() == Chart().size(); }));
    const int white = 18;
    ASSERT_EQ(ModuleColours[white], 0xFFFFFFFFu);

    std::vector<TFillSeen> seen;
    for (int pattern = 0; pattern < 8; ++pattern) {
        QSqlQuery set(QSqlDatabase::database(Main().UserData()->ConnectionName()));
        set.prepare("UPDATE modules SET module_color = ?, module_pattern = ? WHERE module_id = ?");
        set.addBindValue(white);
        set.addBindValue(pattern);
        set.addBindValue(inverterA);
        ASSERT_TRUE(set.exec());
        Main().DrawWChart();
        ASSERT_EQ(Chart().plottableCount(), 1);
        ASSERT_EQ(Bar(0)->brush().style(), FillStyle(pattern));

        // The bar spans the axis from end to end; a square from the middle of its inside.
        const double value = Bar(0)->data()->at(0)->value;
        const int top = int(Chart().yAxis->coordToPixel(value));
        const int bottom = int(Chart().yAxis->coordToPixel(0));
        const int left = int(Chart().xAxis->coordToPixel(Chart().xAxis->range().lower));
        const int right = int(Chart().xAxis->coordToPixel(Chart().xAxis->range().upper));
        ASSERT_GE(bottom - top, 60) << value << " W";
        const QRect inside(QPoint((left + right) / 2 - 16, (top + bottom) / 2 - 16), QSize(32, 32));
        const QImage image = Chart().toPixmap().toImage();
        seen.push_back(SeeFill(image, inside, Qt::white, Window_Colour));
    }

    auto describe = [&](int pattern) {
        return "fill " + std::to_string(pattern) + ": " + seen[size_t(pattern)].Describe();
    };
    const TFillSeen& solid = seen[0];
    EXPECT_EQ(solid.Inked, solid.Pixels) << describe(0);
    EXPECT_EQ(seen[1].Inked, 0) << describe(1);
    for (int pattern = 2; pattern < 8; ++pattern) {
        EXPECT_GT(seen[size_t(pattern)].Inked, 0) << describe(pattern);
        EXPECT_LT(seen[size_t(pattern)].Inked, seen[size_t(pattern)].Pixels) << describe(pattern);
    }
    EXPECT_TRUE(seen[2].Across && seen[2].FullRow && !seen[2].Down) << describe(2);
    EXPECT_TRUE(seen[3].Down && seen[3].FullColumn && !seen[3].Across) << describe(3);
    // 4 is the forward diagonal, "\"; 5 the backward one, "/".
    EXPECT_TRUE(seen[4].Falling && !seen[4].Rising) << describe(4);
    EXPECT_TRUE(seen[5].Rising && !seen[5].Falling) << describe(5);
    EXPECT_TRUE(seen[6].FullRow && seen[6].FullColumn) << describe(6);
    const TFillSeen& diagonalCross = seen[7];
    EXPECT_FALSE(diagonalCross.Falling || diagonalCross.Rising || diagonalCross.FullRow ||
                 diagonalCross.FullColumn)
        << describe(7);
    for (int pattern : {4, 5, 7}) {
        EXPECT_FALSE(seen[size_t(pattern)].FullRow || seen[size_t(pattern)].FullColumn)
            << describe(pattern);
    }
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
