// The history view of the main window: the stored yield of the checked modules over a date range,
// at one of four resolutions and in one of six graph types, page by page.
#include <qcustomplot.h>

#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSpinBox>

#include "Acquisition.h"
#include "CheckList.h"
#include "DebugLog.h"
#include "ExportFrm.h"
#include "KWhChart.h"
#include "KWhPlot.h"
#include "Look.h"
#include "MessageFrm.h"
#include "NaiveTime.h"
#include "WChart.h"
#include "dmLanguage.h"
#include "dmUser.h"
#include "frmMain.h"

namespace {

constexpr int Density_Maximum = 999;
constexpr int Mark_Lift_High = 12;
constexpr int Mark_Lift_Low = 3;
// Room above the highest bar of a page for its value mark.
constexpr double Value_Headroom = 1.12;

// Bars of one slot fill this share of it; side by side they share it.
constexpr double Bar_Share = 0.8;

// One series as drawn: what the check list entry and its module give.
struct TNewSeries {
    QString Title;
    QColor Colour;
    int Pattern = 0;
    int LineType = 0;
    TKWhPoints Points;
    int Lift = Mark_Lift_High;
};

}  // namespace

void TMainForm::CreateHistoryPanel() {
    QWidget* panel = PanelHistoricalPerformance;
    ChartkWh = new QCustomPlot(panel);
    ChartkWh->setObjectName(QStringLiteral("ChartkWh"));
    ChartkWh->setGeometry(6, 30, 569, 556);
    SetUpkWhChart(ChartkWh, &kWhTitle);

    OvcXAxisSpinner = new QSpinBox(panel);
    OvcXAxisSpinner->setObjectName(QStringLiteral("OvcXAxisSpinner"));
    OvcXAxisSpinner->setGeometry(547, 531, 17, 25);
    OvcXAxisSpinner->setRange(0, Density_Maximum);
    OvcXAxisSpinner->setWrapping(false);
    OvcXAxisSpinner->setFocusPolicy(Qt::NoFocus);

    HistoryScrollBar = new QScrollBar(Qt::Horizontal, panel);
    HistoryScrollBar->setObjectName(QStringLiteral("HistoryScrollBar"));
    HistoryScrollBar->setGeometry(40, 592, 505, 16);
    HistoryScrollBar->setPageStep(1);
    HistoryScrollBar->setVisible(false);

    StartDateEditLabel = WhiteLabel(QStringLiteral("StartDateEditLabel"),
                                    QStringLiteral("Start date"), panel, QRect(576, 0, 153, 16));
    EndDateEditLabel = WhiteLabel(QStringLiteral("EndDateEditLabel"), QStringLiteral("End date"),
                                  panel, QRect(576, 40, 153, 16));
    EsStartDateEdit = new QDateEdit(panel);
    EsStartDateEdit->setObjectName(QStringLiteral("EsStartDateEdit"));
    EsStartDateEdit->setGeometry(576, 16, 153, 24);
    EsEndDateEdit = new QDateEdit(panel);
    EsEndDateEdit->setObjectName(QStringLiteral("EsEndDateEdit"));
    EsEndDateEdit->setGeometry(576, 56, 153, 24);
    for (QDateEdit* field : {EsStartDateEdit, EsEndDateEdit}) {
        field->setCalendarPopup(true);
        field->calendarWidget()->setFirstDayOfWeek(Qt::Monday);
    }

    OvcCheckListSelectedForkWh =
        new TCheckList(QStringLiteral("OvcCheckListSelectedForkWh"), panel);
    OvcCheckListSelectedForkWh->setGeometry(576, 88, 153, 272);

    LabelSelectAlHistory =
        new TLabelButton(QStringLiteral("LabelSelectAlHistory"), QStringLiteral("All"), panel);
    LabelSelectAlHistory->setGeometry(575, 366, 73, 17);
    LabelSelectNoneHistory =
        new TLabelButton(QStringLiteral("LabelSelectNoneHistory"), QStringLiteral("None"), panel);
    LabelSelectNoneHistory->setGeometry(654, 366, 73, 17);

    OvcComboBoxGraphTypeLabel =
        WhiteLabel(QStringLiteral("OvcComboBoxGraphTypeLabel"), QStringLiteral("Graph type"), panel,
                   QRect(576, 390, 153, 17));
    OvcComboBoxGraphType = new QComboBox(panel);
    OvcComboBoxGraphType->setObjectName(QStringLiteral("OvcComboBoxGraphType"));
    OvcComboBoxGraphType->setGeometry(576, 408, 153, 24);
    for (int i = 0; i < Graph_Type_Count; ++i) {
        OvcComboBoxGraphType->addItem(QString::fromLatin1(GraphTypeInfo(i).Text));
    }

    LabelRedrawkWhChart = new TLabelButton(QStringLiteral("LabelRedrawkWhChart"),
                                           QStringLiteral("Redraw chart"), panel);
    LabelRedrawkWhChart->setGeometry(577, 445, 153, 25);
    LabelGetData =
        new TLabelButton(QStringLiteral("LabelGetData"), QStringLiteral("Get data"), panel);
    LabelGetData->setGeometry(577, 476, 153, 25);
    ExportDataLabel =
        new TLabelButton(QStringLiteral("ExportDataLabel"), QStringLiteral("Export data"), panel);
    ExportDataLabel->setGeometry(577, 507, 153, 25);

    X_AxisNrOfPointsLabel =
        WhiteLabel(QStringLiteral("X_AxisNrOfPointsLabel"), QStringLiteral("X axis density"), panel,
                   QRect(614, 564, 115, 17));
    X_AxisNrOfPoints = new QLineEdit(panel);
    X_AxisNrOfPoints->setObjectName(QStringLiteral("X_AxisNrOfPoints"));
    X_AxisNrOfPoints->setGeometry(576, 560, 33, 24);
    // Digits only; the range is checked when the entry changes, so that a bad one restores.
    X_AxisNrOfPoints->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,11}")), X_AxisNrOfPoints));

    StartDateEditLabel->setBuddy(EsStartDateEdit);
    EndDateEditLabel->setBuddy(EsEndDateEdit);
    OvcComboBoxGraphTypeLabel->setBuddy(OvcComboBoxGraphType);
    X_AxisNrOfPointsLabel->setBuddy(X_AxisNrOfPoints);
    SetDesignKind(OvcComboBoxGraphType, TDesignKind::DropDownList);

    CheckBoxShowkWhValues = new QCheckBox(QStringLiteral("Y axis values"), panel);
    CheckBoxShowkWhValues->setObjectName(QStringLiteral("CheckBoxShowkWhValues"));
    CheckBoxShowkWhValues->setGeometry(576, 592, 153, 17);
    WhiteText(CheckBoxShowkWhValues);
    CheckBoxShowkWhValues->setChecked(false);

    connect(OvcCheckListSelectedForkWh, &TCheckList::StateChange, this,
            &TMainForm::OvcCheckListSelectedForkWhStateChange);
    connect(LabelSelectAlHistory, &TLabelButton::clicked, this,
            &TMainForm::LabelSelectAlHistoryClick);
    connect(LabelSelectNoneHistory, &TLabelButton::clicked, this,
            &TMainForm::LabelSelectNoneHistoryClick);
    connect(OvcComboBoxGraphType, &QComboBox::activated, this,
            &TMainForm::OvcComboBoxGraphTypeClick);
    connect(LabelRedrawkWhChart, &TLabelButton::clicked, this,
            &TMainForm::LabelRedrawkWhChartClick);
    connect(LabelGetData, &TLabelButton::clicked, this, &TMainForm::LabelGetDataClick);
    connect(ExportDataLabel, &TLabelButton::clicked, this, &TMainForm::ExportDataLabelClick);
    connect(X_AxisNrOfPoints, &QLineEdit::textEdited, this, &TMainForm::X_AxisNrOfPointsChange);
    connect(OvcXAxisSpinner, &QSpinBox::valueChanged, this, [this](int value) {
        X_AxisNrOfPoints->setText(value == 0 ? QString() : QString::number(value));
        X_AxisNrOfPointsChange();
    });
    connect(HistoryScrollBar, &QScrollBar::valueChanged, this, &TMainForm::HistoryScrollBarScroll);
    connect(CheckBoxShowkWhValues, &QCheckBox::clicked, this,
            &TMainForm::CheckBoxShowkWhValuesClick);
}

void TMainForm::SetHistoryResolution(uint8_t resolution) {
    if (resolution != HistoryResolution) {
        ClearkWhChart();
        ChartkWh->replot();
    }
    HistoryResolution = resolution;
}

void TMainForm::ClearkWhChart() {
    for (QCPLayerable* marks : kWhMarks) {
        delete marks;
    }
    kWhMarks.clear();
    ChartkWh->clearPlottables();
    ChartkWh->clearItems();
    delete kWhBarsGroup;
    kWhBarsGroup = nullptr;
    kWhKeys.clear();
    kWhTops.clear();
    if (kWhTitle != nullptr) {
        kWhTitle->setText(QString());
    }
}

void TMainForm::DrawkWhChart(int graphType) {
    ShowWait(Texts.Text(QStringLiteral("Interface_Redrawing")));
    ClearkWhChart();

    const THistoryResolution* info = HistoryResolutionInfo(HistoryResolution);
    const TGraphType& type = GraphTypeInfo(graphType);
    std::vector<TNewSeries> drawn;
    if (info != nullptr && Acquiring && Data && Data->IsOpen()) {
        kWhTitle->setText(QString::fromLatin1(info->Unit));
        std::vector<int> entries;
        for (int i = 0; i < OvcCheckListSelectedForkWh->count(); ++i) {
            const int32_t id = OvcCheckListSelectedForkWh->ModuleId(i);
            if (OvcCheckListSelectedForkWh->Checked(i) &&
                GraphTypeTakes(graphType, Acquiring->ModuleType(id) == Module_Type_Total)) {
                entries.push_back(i);
            }
        }
        // The fields show the range as it was drawn, corrected.
        TSlotRange widened;
        if (!entries.empty()) {
            const TDayRange range =
                CorrectRange(EsStartDateEdit->date(), EsEndDateEdit->date(), NaiveNow().date());
            EsStartDateEdit->setDate(range.Start);
            EsEndDateEdit->setDate(range.End);
            widened = WidenRange(HistoryResolution, range.Start, range.End);
        }
        bool high = true;
        for (const int i : entries) {
            const int32_t id = OvcCheckListSelectedForkWh->ModuleId(i);
            std::vector<TSampleRow> rows;
            QString error;
            if (!ReadSamples(Data->ConnectionName(), id, info->Code, widened, &rows, &error)) {
                DebugLine("DrawkWhChart: " + error);
                continue;
            }
            TNewSeries series;
            series.Points = SlotPoints(HistoryResolution, widened, rows);
            if (!series.Points.HasData) {
                continue;
            }
            series.Title = OvcCheckListSelectedForkWh->item(i)->text();
            series.Colour = Acquiring->ModuleColor(id);
            series.Pattern = Acquiring->ModulePattern(id);
            series.LineType = Acquiring->ModuleLineType(id);
            series.Lift = high ? Mark_Lift_High : Mark_Lift_Low;
            high = !high;
            drawn.push_back(std::move(series));
        }
    }

    if (info != nullptr) {
        auto bottom = qSharedPointerCast<TSlotTicker>(ChartkWh->xAxis->ticker());
        bottom->Resolution = HistoryResolution;
        bottom->Format = QString::fromLatin1(info->LabelFormat);
        bottom->First = drawn.empty() ? QDateTime() : KeyDateTime(drawn.front().Points.Keys[0]);
        // Qt turns clockwise; the labels read upwards.
        ChartkWh->xAxis->setTickLabelRotation(-info->LabelAngle);
        auto left = qSharedPointerCast<TValueTicker>(ChartkWh->yAxis->ticker());
        left->Decimals = info->Decimals;
        left->Locale = ChartkWh->locale();
    }

    // Stacked series stand on the ones before them: areas hold running sums, bars are moved
    // above their neighbour.
    const double slotSeconds = SlotSeconds(HistoryResolution);
    const int decimals = info != nullptr ? info->Decimals : 0;
    QCPAbstractPlottable* below = nullptr;
    TSeriesStack stack;
    if (type.Kind == TSeriesKind::Bars && !type.Stacked && drawn.size() > 1) {
        kWhBarsGroup = new QCPBarsGroup(ChartkWh);
        kWhBarsGroup->setSpacingType(QCPBarsGroup::stAbsolute);
        kWhBarsGroup->setSpacing(0);
    }
    for (TNewSeries& series : drawn) {
        const QVector<double>& keys = series.Points.Keys;
        const QVector<double>& values = series.Points.Values;
        if (kWhKeys.size() < keys.size()) {
            kWhKeys = keys;
        }
        StackSeries(&stack, values, type.Stacked);

        QCPAbstractPlottable* plot = nullptr;
        if (type.Kind == TSeriesKind::Bars) {
            auto* bars = new QCPBars(ChartkWh->xAxis, ChartkWh->yAxis);
            bars->setPen(Qt::NoPen);
            bars->setBrush(QBrush(series.Colour, FillStyle(series.Pattern)));
            bars->setAntialiased(false);
            bars->setAntialiasedFill(false);
            bars->setWidthType(QCPBars::wtPlotCoords);
            const int beside = kWhBarsGroup != nullptr ? int(drawn.size()) : 1;
            bars->setWidth(slotSeconds * Bar_Share / beside);
            bars->setData(keys, values, true);
            if (kWhBarsGroup != nullptr) {
                bars->setBarsGroup(kWhBarsGroup);
            } else if (type.Stacked && below != nullptr) {
                bars->moveAbove(static_cast<QCPBars*>(below));
            }
            plot = bars;
        } else {
            auto* graph = new QCPGraph(ChartkWh->xAxis, ChartkWh->yAxis);
            if (type.Kind == TSeriesKind::Lines) {
                QPen pen(series.Colour, 2, LineStyle(series.LineType));
                graph->setPen(pen);
                graph->setData(keys, values, true);
            } else {
                graph->setPen(QPen(series.Colour));
                graph->setBrush(series.Colour);
                graph->setData(keys, stack.Sums.mid(0, values.size()), true);
                if (below != nullptr) {
                    graph->setChannelFillGraph(static_cast<QCPGraph*>(below));
                }
            }
            plot = graph;
        }
        plot->setName(series.Title);
        below = plot;
        auto* marks = new TValueMarks(ChartkWh, plot, values, series.Lift, decimals);
        marks->setVisible(CheckBoxShowkWhValues->isChecked());
        kWhMarks.push_back(marks);
    }
    kWhTops = stack.Tops;

    PointsPerPage =
        HistoryResolution >= 1 && HistoryResolution <= 4 ? XAxisDensity[HistoryResolution] : 0;
    X_AxisNrOfPoints->setText(PointsPerPage == 0 ? QString() : QString::number(PointsPerPage));
    DensityBeforeEdit = X_AxisNrOfPoints->text();
    {
        const QSignalBlocker quiet(OvcXAxisSpinner);
        OvcXAxisSpinner->setValue(PointsPerPage);
    }
    // A redraw stays on the page it was on, as far as the new chart reaches.
    CurrentPage = PointsPerPage > 0 ? std::clamp(CurrentPage, 1, HistoryPageCount()) : 0;
    UpdateHistoryScrollBar();
    ShowHistoryPage();
    CloseWait();
}

int TMainForm::HistoryPageCount() const {
    return PageCount(int(kWhKeys.size()), PointsPerPage);
}

void TMainForm::UpdateHistoryScrollBar() {
    const QSignalBlocker quiet(HistoryScrollBar);
    const int pages = HistoryPageCount();
    if (pages < 2) {
        HistoryScrollBar->setVisible(false);
        return;
    }
    HistoryScrollBar->setRange(1, pages);
    HistoryScrollBar->setPageStep(1);
    HistoryScrollBar->setValue(CurrentPage);
    HistoryScrollBar->setVisible(true);
}

void TMainForm::ShowHistoryPage() {
    const TPageSpan span = PageSpan(int(kWhKeys.size()), PointsPerPage, CurrentPage);
    const double half = SlotSeconds(HistoryResolution) / 2;
    double top = 0;
    if (span.Last >= span.First && !kWhKeys.isEmpty()) {
        ChartkWh->xAxis->setRange(kWhKeys[span.First] - half, kWhKeys[span.Last] + half);
        top = PeakValue(kWhTops, span);
    } else {
        const QDateTime today(NaiveNow().date(), QTime(0, 0), Qt::UTC);
        ChartkWh->xAxis->setRange(ChartKey(today) - half, ChartKey(today) + half);
    }
    ChartkWh->yAxis->setRange(0, top > 0 ? top * Value_Headroom : 1);

    if (auto bottom = qSharedPointerCast<TSlotTicker>(ChartkWh->xAxis->ticker())) {
        // A label takes its width, or two lines' height when it stands upright, and some room.
        const QFontMetrics metrics(ChartkWh->xAxis->tickLabelFont());
        const bool upright = ChartkWh->xAxis->tickLabelRotation() != 0;
        const QString sample = KeyDateTime(0).toString(bottom->Format);
        const int labelWidth =
            upright ? 2 * metrics.height() + 6 : metrics.horizontalAdvance(sample) + 16;
        const int axisWidth = std::max(1, ChartkWh->axisRect()->width());
        bottom->Stride = LabelStride(HistoryResolution, span.Last - span.First + 1,
                                     axisWidth / std::max(1, labelWidth));
    }
    ChartkWh->replot();
}

void TMainForm::ApplyXAxisDensity() {
    const int perPage = X_AxisNrOfPoints->text().isEmpty() ? 0 : X_AxisNrOfPoints->text().toInt();
    CurrentPage = PageAfterDensityChange(CurrentPage, PointsPerPage, perPage);
    PointsPerPage = perPage;
    if (HistoryResolution >= 1 && HistoryResolution <= 4) {
        XAxisDensity[HistoryResolution] = perPage;
    }
    if (CurrentPage > 0) {
        CurrentPage = std::min(CurrentPage, HistoryPageCount());
    }
    UpdateHistoryScrollBar();
    ShowHistoryPage();
}

void TMainForm::X_AxisNrOfPointsChange() {
    const QString text = X_AxisNrOfPoints->text();
    bool ok = true;
    const int value = text.isEmpty() ? 0 : text.toInt(&ok);
    if (!ok || value < 0 || value > Density_Maximum) {
        X_AxisNrOfPointsError();
        return;
    }
    DensityBeforeEdit = text;
    {
        const QSignalBlocker quiet(OvcXAxisSpinner);
        OvcXAxisSpinner->setValue(value);
    }
    ApplyXAxisDensity();
}

void TMainForm::X_AxisNrOfPointsError() {
    X_AxisNrOfPoints->setText(DensityBeforeEdit);
}

void TMainForm::HistoryScrollBarScroll(int position) {
    if (PointsPerPage <= 0) {
        return;
    }
    CurrentPage = std::clamp(position, 1, HistoryPageCount());
    ShowHistoryPage();
}

int TMainForm::SelectedGraphType() const {
    return OvcComboBoxGraphType->currentIndex();
}

void TMainForm::LabelRedrawkWhChartClick() {
    DrawkWhChart(SelectedGraphType());
}

void TMainForm::OvcComboBoxGraphTypeClick() {
    DrawkWhChart(SelectedGraphType());
}

void TMainForm::LabelGetDataClick() {
    const THistoryResolution* info = HistoryResolutionInfo(HistoryResolution);
    if (info == nullptr || !Acquiring) {
        return;
    }
    Acquiring->StartHistoryDownload(info->Code);
}

void TMainForm::OvcCheckListSelectedForkWhStateChange(int index, bool checked) {
    if (!Acquiring || Acquiring->BuildingKWhList) {
        return;
    }
    Acquiring->KWhListItemChanged(OvcCheckListSelectedForkWh->ModuleId(index), checked);
}

void TMainForm::LabelSelectAlHistoryClick() {
    OvcCheckListSelectedForkWh->SetAllChecked(true);
}

void TMainForm::LabelSelectNoneHistoryClick() {
    OvcCheckListSelectedForkWh->SetAllChecked(false);
}

void TMainForm::CheckBoxShowkWhValuesClick() {
    for (QCPLayerable* marks : kWhMarks) {
        marks->setVisible(CheckBoxShowkWhValues->isChecked());
    }
    ChartkWh->replot();
}

void TMainForm::ExportDataLabelClick() {
    if (ExportForm != nullptr) {
        ExportForm->ShowModal();
    }
}
