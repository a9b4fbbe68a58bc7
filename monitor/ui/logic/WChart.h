// The live power chart's layout, worked out without a widget: one bar per checked module, side by
// side, each with its value mark, and the top of the watt axis.
#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>
#include <vector>

// One checked entry of the W list, as the chart needs it.
struct TWChartRow {
    QString Text;
    uint32_t Colour = 0;  // 0xAARRGGBB
    int Pattern = 0;  // module_pattern, 0..7
    float Power = 0;  // watts
};

// One bar as it is drawn.
struct TWChartBar {
    QString Text;  // the legend title
    uint32_t Colour = 0;
    Qt::BrushStyle Fill = Qt::SolidPattern;
    float Value = 0;   // watts
    int Offset = 0;    // position across the chart in percent: the running sum of the step
    int MarkLift = 0;  // pixels between the bar's top and its value mark
    QString ValueText;
};

struct TWChartLayout {
    std::vector<TWChartBar> Bars;
    int Step = 100;         // percent between neighbouring bars
    double AxisTop = 1000;  // watts
};

// Neighbouring marks stand at different heights so that their texts do not overlap.
constexpr int W_Mark_Lift_High = 12;
constexpr int W_Mark_Lift_Low = 3;

TWChartLayout LayoutWChart(const std::vector<TWChartRow>& rows, const QLocale& locale);
// The smallest multiple of 1000 W above the largest value, at least 1000 W.
double WAxisTop(float largest);
// A module's fill pattern number as a brush; an unknown number fills solid.
Qt::BrushStyle FillStyle(int pattern);
// A watt value with at most one decimal ("0.#").
QString WValueText(float value, const QLocale& locale);
