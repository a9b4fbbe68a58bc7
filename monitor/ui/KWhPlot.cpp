#include "KWhPlot.h"

#include <algorithm>
#include <cmath>

#include "KWhChart.h"
#include "Look.h"

namespace {

constexpr int Legend_Columns = 4;

}  // namespace

double SlotSeconds(int historyResolution) {
    switch (historyResolution) {
        case 1:
            return 600;
        case 3:
            return 30.44 * 86400;
        case 4:
            return 365.25 * 86400;
        default:
            return 86400;
    }
}

Qt::PenStyle LineStyle(int lineType) {
    switch (lineType) {
        case 1:
            return Qt::DashLine;
        case 2:
            return Qt::DotLine;
        case 3:
            return Qt::DashDotLine;
        case 4:
            return Qt::DashDotDotLine;
        case 5:
            return Qt::NoPen;
        default:
            return Qt::SolidLine;
    }
}

double TValueTicker::getTickStep(const QCPRange& range) {
    const double finest = Decimals > 0 ? 0.1 : 1.0;
    return std::max(finest, QCPAxisTicker::getTickStep(range));
}

QString TValueTicker::getTickLabel(double tick, const QLocale&, QChar, int) {
    return KWhValueText(tick, Decimals, Locale);
}

QVector<double> TSlotTicker::createTickVector(double, const QCPRange& range) {
    QVector<double> ticks;
    if (!First.isValid()) {
        return ticks;
    }
    const double slot = SlotSeconds(Resolution);
    const double first = double(First.toSecsSinceEpoch());
    if (Resolution <= 2) {
        const double step = slot * Stride;
        const double from = std::max(0.0, std::ceil((range.lower - first) / step));
        for (double key = first + from * step; key <= range.upper; key += step) {
            ticks.append(key);
        }
        return ticks;
    }
    QDateTime time = First;
    for (int i = 0; ChartKey(time) <= range.upper; ++i) {
        if (i % Stride == 0 && ChartKey(time) >= range.lower) {
            ticks.append(ChartKey(time));
        }
        time = NextSlot(Resolution, time);
    }
    return ticks;
}

QString TSlotTicker::getTickLabel(double tick, const QLocale&, QChar, int) {
    return KeyDateTime(tick).toString(Format);
}

TValueMarks::TValueMarks(QCustomPlot* chart, QCPAbstractPlottable* series, QVector<double> values,
                         int lift, int decimals)
    : QCPLayerable(chart, QStringLiteral("main")),
      Series(series),
      Values(std::move(values)),
      Lift(lift),
      Decimals(decimals) {}

void TValueMarks::applyDefaultAntialiasingHint(QCPPainter* painter) const {
    applyAntialiasingHint(painter, true, QCP::aeOther);
}

QRect TValueMarks::clipRect() const {
    return parentPlot()->axisRect()->rect();
}

void TValueMarks::draw(QCPPainter* painter) {
    QCPPlottableInterface1D* points = Series->interface1D();
    QCPAxis* keyAxis = Series->keyAxis();
    if (points == nullptr || keyAxis == nullptr) {
        return;
    }
    const QCPRange shown = keyAxis->range();
    const int first = points->findBegin(shown.lower, false);
    const int end = points->findEnd(shown.upper, false);
    const QLocale locale = parentPlot()->locale();
    painter->setPen(Qt::white);
    painter->setFont(Verdana(11));
    const QFontMetrics metrics(painter->font());
    for (int i = first; i < end && i < Values.size(); ++i) {
        const QString text = KWhValueText(Values[i], Decimals, locale);
        if (text == locale.zeroDigit()) {
            continue;
        }
        const QPointF at = points->dataPixelPosition(i);
        const int width = metrics.horizontalAdvance(text);
        painter->drawText(QPointF(at.x() - width / 2.0, at.y() - Lift - metrics.descent()), text);
    }
}

void SetUpkWhChart(QCustomPlot* chart, QCPTextElement** title) {
    QLocale locale = chart->locale();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    chart->setLocale(locale);
    chart->setBackground(Window_Colour);
    chart->setInteractions(QCP::Interactions());
    chart->setNoAntialiasingOnDrag(true);
    chart->plotLayout()->setMargins(QMargins(0, 0, 6, 0));

    QCPAxisRect* rect = chart->axisRect();
    rect->setBackground(Qt::NoBrush);
    const QPen white(Qt::white);
    for (QCPAxis* axis : {chart->xAxis, chart->yAxis}) {
        axis->setBasePen(white);
        axis->setTickLabelColor(Qt::white);
        axis->setTickLabelFont(Verdana(13));
        axis->setSubTicks(false);
        axis->grid()->setVisible(false);
    }
    chart->xAxis->setTicks(true);
    chart->xAxis->setTickPen(Qt::NoPen);
    chart->yAxis->setTickPen(white);
    chart->xAxis->setTicker(QSharedPointer<TSlotTicker>::create());
    chart->yAxis->setTicker(QSharedPointer<TValueTicker>::create());
    chart->yAxis->setRange(0, 1);
    chart->xAxis2->setVisible(false);
    chart->yAxis2->setVisible(false);

    // The title and, below it, the legend in rows across the top.
    *title = AddChartTitle(chart, QString());
    QCPLegend* legend = DetachLegend(chart);
    legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
    legend->setWrap(Legend_Columns);
    // The legend sits at the left of a row of its own. An empty legend would otherwise cap the
    // width of the whole column, axis rectangle included, at its own few pixels.
    chart->plotLayout()->insertRow(1);
    auto* row = new QCPLayoutGrid;
    chart->plotLayout()->addElement(1, 0, row);
    row->addElement(0, 0, legend);
    row->addElement(0, 1, new QCPLayoutElement(chart));
    row->setColumnStretchFactor(0, 0.001);
    chart->plotLayout()->setRowStretchFactor(0, 0.001);
    chart->plotLayout()->setRowStretchFactor(1, 0.001);
    legend->setMargins(QMargins(4, 2, 4, 2));
}
