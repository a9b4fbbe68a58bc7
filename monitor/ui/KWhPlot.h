// The history chart's pieces in the chart toolkit: the chart's look, the bottom labels on slot
// starts, the value axis in the resolution's value format, and the value marks of a series.
#pragma once

#include <qcustomplot.h>

#include <QDateTime>
#include <QLocale>
#include <QVector>

// Sets up the empty history chart; title receives the text element the unit is written in.
void SetUpkWhChart(QCustomPlot* chart, QCPTextElement** title);

// The nominal length of a slot in seconds, for bar widths and the half slot left and right of a
// page: months and years differ in length, their bars need not.
double SlotSeconds(int historyResolution);
// A module's line type number as a pen style; an unknown number draws solid.
Qt::PenStyle LineStyle(int lineType);

// The left axis labels in the resolution's value format, never finer than it can show.
class TValueTicker : public QCPAxisTicker {
public:
    int Decimals = 0;
    QLocale Locale;

protected:
    double getTickStep(const QCPRange& range) override;
    QString getTickLabel(double tick, const QLocale&, QChar, int) override;
};

// The bottom labels stand on slot starts, every Stride slots from the chart's first slot.
class TSlotTicker : public QCPAxisTicker {
public:
    int Resolution = 1;
    QDateTime First;
    int Stride = 1;
    QString Format;

protected:
    QVector<double> createTickVector(double, const QCPRange& range) override;
    QString getTickLabel(double tick, const QLocale&, QChar, int) override;
};

// The value marks of one series: each point's own value, a few pixels above where the point is
// drawn (for stacked series the top of its part). A row of "0" along the night's empty slots
// would bury the marks that matter, so a value that shows as 0 gets none. Only the marks of the
// page shown are drawn, so a year of ten-minute points costs nothing until it is looked at.
class TValueMarks : public QCPLayerable {
public:
    TValueMarks(QCustomPlot* chart, QCPAbstractPlottable* series, QVector<double> values, int lift,
                int decimals);

protected:
    void applyDefaultAntialiasingHint(QCPPainter* painter) const override;
    QRect clipRect() const override;
    void draw(QCPPainter* painter) override;

private:
    QCPAbstractPlottable* Series;
    QVector<double> Values;
    int Lift;
    int Decimals;
};
