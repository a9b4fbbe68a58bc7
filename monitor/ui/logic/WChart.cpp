#include "WChart.h"

#include <cmath>

namespace {

constexpr double Axis_Step = 1000;

}  // namespace

TWChartLayout LayoutWChart(const std::vector<TWChartRow>& rows, const QLocale& locale) {
    TWChartLayout layout;
    const int n = int(rows.size());
    layout.Step = n > 0 ? 100 / n : 100;
    int offset = 0;
    float largest = 0;
    bool high = true;
    layout.Bars.reserve(rows.size());
    for (const TWChartRow& row : rows) {
        high = !high;
        if (row.Power > largest) {
            largest = row.Power;
        }
        offset += layout.Step;
        TWChartBar bar;
        bar.Text = row.Text;
        bar.Colour = row.Colour;
        bar.Fill = FillStyle(row.Pattern);
        bar.Value = row.Power;
        bar.Offset = offset;
        bar.MarkLift = high ? W_Mark_Lift_High : W_Mark_Lift_Low;
        bar.ValueText = WValueText(row.Power, locale);
        layout.Bars.push_back(bar);
    }
    layout.AxisTop = WAxisTop(largest);
    return layout;
}

double WAxisTop(float largest) {
    // A value that is no number or beyond any box's range keeps the axis at its least.
    if (!std::isfinite(largest) || largest < 0 || largest > 1e9f) {
        return Axis_Step;
    }
    return (std::floor(double(largest) / Axis_Step) + 1) * Axis_Step;
}

Qt::BrushStyle FillStyle(int pattern) {
    switch (pattern) {
        case 0:
            return Qt::SolidPattern;
        case 1:
            return Qt::NoBrush;
        case 2:
            return Qt::HorPattern;
        case 3:
            return Qt::VerPattern;
        case 4:
            return Qt::FDiagPattern;  // forward diagonal: lines falling to the right, "\"
        case 5:
            return Qt::BDiagPattern;  // backward diagonal: lines rising to the right, "/"
        case 6:
            return Qt::CrossPattern;
        case 7:
            return Qt::DiagCrossPattern;
        default:
            return Qt::SolidPattern;
    }
}

QString WValueText(float value, const QLocale& locale) {
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text = plain.toString(double(value), 'f', 1);
    const QString zero = plain.decimalPoint() + plain.zeroDigit();
    if (text.endsWith(zero)) {
        text.chop(zero.size());
    }
    return text;
}
