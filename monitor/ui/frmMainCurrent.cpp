// The current performance view of the main window: live AC power as bars, every two seconds.
#include <qcustomplot.h>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QTimer>

#include "Acquisition.h"
#include "CheckList.h"
#include "Look.h"
#include "WChart.h"
#include "frmMain.h"

namespace {

// The watt axis counts in hundreds; on a tall axis it takes a multiple of that, so the labels
// stay apart.
constexpr double W_Label_Step = 100;
constexpr int W_Label_Count = 10;

void SetUpWChart(QCustomPlot* chart) {
    QLocale locale = chart->locale();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    chart->setLocale(locale);
    chart->setBackground(Window_Colour);
    chart->setInteractions(QCP::Interactions());
    chart->plotLayout()->setMargins(QMargins(0, 0, 0, 1));

    QCPAxisRect* rect = chart->axisRect();
    rect->setBackground(Qt::NoBrush);
    rect->setAutoMargins(QCP::msLeft);
    rect->setMargins(QMargins(0, 0, 0, 0));

    const QPen white(Qt::white);
    QCPAxis* bottom = chart->xAxis;
    bottom->setBasePen(white);
    bottom->setTicks(false);
    bottom->setSubTicks(false);
    bottom->setTickLabels(false);
    bottom->grid()->setVisible(false);

    QCPAxis* left = chart->yAxis;
    left->setBasePen(white);
    left->setTickPen(white);
    left->setSubTicks(false);
    left->setTickLabelColor(Qt::white);
    left->setTickLabelFont(Verdana(13));
    left->setNumberFormat(QStringLiteral("g"));
    left->setNumberPrecision(6);
    left->grid()->setVisible(false);
    auto ticker = QSharedPointer<QCPAxisTickerFixed>::create();
    ticker->setTickStep(W_Label_Step);
    ticker->setScaleStrategy(QCPAxisTickerFixed::ssMultiples);
    ticker->setTickCount(W_Label_Count);
    left->setTicker(ticker);
    left->setRange(0, WAxisTop(0));
    chart->xAxis2->setVisible(false);
    chart->yAxis2->setVisible(false);

    // Title above the bars, legend in a column of its own to their right, at the top.
    AddChartTitle(chart, QStringLiteral("W"));
    QCPLegend* legend = DetachLegend(chart);
    auto* side = new QCPLayoutGrid;
    chart->plotLayout()->addElement(1, 1, side);
    side->addElement(0, 0, legend);
    side->addElement(1, 0, new QCPLayoutElement(chart));
    side->setRowStretchFactor(0, 0.001);
    chart->plotLayout()->setColumnStretchFactor(1, 0.001);
    chart->plotLayout()->setRowStretchFactor(0, 0.001);
}

}  // namespace

void TMainForm::CreateCurrentPerformancePanel() {
    QFrame* panel = PanelCurrentPerformance;

    ChartW = new QCustomPlot(panel);
    ChartW->setObjectName(QStringLiteral("ChartW"));
    ChartW->setGeometry(8, 8, 553, 594);
    SetUpWChart(ChartW);

    LabelPerformanceGraph = new QLabel(QStringLiteral("Current performance"), ChartW);
    LabelPerformanceGraph->setObjectName(QStringLiteral("LabelPerformanceGraph"));
    WhiteText(LabelPerformanceGraph);
    LabelPerformanceGraph->move(232, 0);
    LabelPerformanceGraph->adjustSize();

    LabelPause = new TLabelButton(QStringLiteral("LabelPause"), QStringLiteral("Pause"), panel);
    LabelPause->setGeometry(640, 16, 81, 17);
    LabelResume = new TLabelButton(QStringLiteral("LabelResume"), QStringLiteral("Resume"), panel);
    LabelResume->setGeometry(640, 16, 81, 17);
    LabelResume->setVisible(false);

    OvcCheckListSelectedForW = new TCheckList(QStringLiteral("OvcCheckListSelectedForW"), panel);
    OvcCheckListSelectedForW->setGeometry(568, 72, 153, 489);

    LabelSelectAll =
        new TLabelButton(QStringLiteral("LabelSelectAll"), QStringLiteral("All"), panel);
    LabelSelectAll->setGeometry(568, 568, 73, 17);
    LabelSelectNone =
        new TLabelButton(QStringLiteral("LabelSelectNone"), QStringLiteral("None"), panel);
    LabelSelectNone->setGeometry(648, 568, 73, 17);

    CheckBoxShowWValues = new QCheckBox(QStringLiteral("Show values"), panel);
    CheckBoxShowWValues->setObjectName(QStringLiteral("CheckBoxShowWValues"));
    CheckBoxShowWValues->setGeometry(568, 593, 153, 17);
    WhiteText(CheckBoxShowWValues);
    CheckBoxShowWValues->setChecked(false);

    connect(OvcCheckListSelectedForW, &TCheckList::StateChange, this,
            &TMainForm::OvcCheckListSelectedForWStateChange);
    connect(LabelPause, &TLabelButton::clicked, this, &TMainForm::LabelPauseClick);
    connect(LabelResume, &TLabelButton::clicked, this, &TMainForm::LabelPauseClick);
    connect(LabelSelectAll, &TLabelButton::clicked, this, &TMainForm::LabelSelectAllClick);
    connect(LabelSelectNone, &TLabelButton::clicked, this, &TMainForm::LabelSelectNoneClick);
    connect(CheckBoxShowWValues, &QCheckBox::clicked, this, &TMainForm::CheckBoxShowWValuesClick);
}

void TMainForm::DrawWChart() {
    ChartW->clearPlottables();
    ChartW->clearItems();

    // Colour, fill and power are looked up afresh on every refresh: the box list editor may have
    // changed them since.
    std::vector<TWChartRow> rows;
    if (TAcquisition* acquisition = Acquisition()) {
        for (int i = 0; i < OvcCheckListSelectedForW->count(); ++i) {
            if (!OvcCheckListSelectedForW->Checked(i)) {
                continue;
            }
            const int32_t id = OvcCheckListSelectedForW->ModuleId(i);
            TWChartRow row;
            row.Text = OvcCheckListSelectedForW->item(i)->text();
            row.Colour = acquisition->ModuleColor(id);
            row.Pattern = acquisition->ModulePattern(id);
            row.Power = acquisition->ModulePower(id);
            rows.push_back(row);
        }
    }
    const TWChartLayout layout = LayoutWChart(rows, ChartW->locale());

    const bool showValues = CheckBoxShowWValues->isChecked();
    const QFont markFont = Verdana(11);
    for (const TWChartBar& bar : layout.Bars) {
        auto* bars = new QCPBars(ChartW->xAxis, ChartW->yAxis);
        bars->setName(bar.Text);
        bars->setPen(Qt::NoPen);
        bars->setBrush(QBrush(QColor::fromRgba(bar.Colour), bar.Fill));
        bars->setWidth(layout.Step);
        bars->setData(QVector<double>{double(bar.Offset)}, QVector<double>{double(bar.Value)},
                      true);

        auto* mark = new QCPItemText(ChartW);
        mark->position->setType(QCPItemPosition::ptPlotCoords);
        mark->position->setCoords(bar.Offset, bar.Value);
        mark->setPositionAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        // The empty padding below the text lifts it off the bar's top.
        mark->setPadding(QMargins(0, 0, 0, bar.MarkLift));
        mark->setText(bar.ValueText);
        mark->setFont(markFont);
        mark->setColor(Qt::white);
        mark->setBrush(Qt::NoBrush);
        mark->setPen(Qt::NoPen);
        mark->setClipToAxisRect(false);
        mark->setVisible(showValues);
    }

    const double last = layout.Bars.empty() ? layout.Step : layout.Bars.back().Offset;
    ChartW->xAxis->setRange(layout.Step / 2.0, last + layout.Step / 2.0);
    ChartW->yAxis->setRange(0, layout.AxisTop);
    ChartW->replot();
}

void TMainForm::WRefreshTimerTick() {
    if (SessionCodeBusy()) {
        return;
    }
    DrawWChart();
}

void TMainForm::ACPowerScanTimerTimer() {
    if (SessionCodeBusy() || Acquisition() == nullptr) {
        return;
    }
    Acquisition()->ScanACPower();
}

void TMainForm::LabelPauseClick() {
    // Only the chart pauses: the power requests go on, so the values are fresh on resuming.
    if (WRefreshTimer->isActive()) {
        WRefreshTimer->stop();
    } else {
        WRefreshTimer->start();
    }
    const bool running = WRefreshTimer->isActive();
    LabelPause->setVisible(running);
    LabelResume->setVisible(!running);
}

void TMainForm::LabelSelectAllClick() {
    OvcCheckListSelectedForW->SetAllChecked(true);
}

void TMainForm::LabelSelectNoneClick() {
    OvcCheckListSelectedForW->SetAllChecked(false);
}

void TMainForm::OvcCheckListSelectedForWStateChange(int index, bool checked) {
    TAcquisition* acquisition = Acquisition();
    if (acquisition == nullptr || acquisition->BuildingWList) {
        return;
    }
    acquisition->WListItemChanged(OvcCheckListSelectedForW->ModuleId(index), checked);
    DrawWChart();
}

void TMainForm::CheckBoxShowWValuesClick() {
    const bool show = CheckBoxShowWValues->isChecked();
    for (int i = 0; i < ChartW->itemCount(); ++i) {
        ChartW->item(i)->setVisible(show);
    }
    ChartW->replot();
}
