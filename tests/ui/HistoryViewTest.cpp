// The history view: slots, ranges and paging worked out without a widget, the chart in the main
// window on stored samples, and a day of kestemu history fetched with "Get data".
#include <qcustomplot.h>

#include <QBuffer>
#include <QCheckBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <map>

#include "UiHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/can/CanObjects.h"
#include "monitor/can/NaiveTime.h"
#include "monitor/data/Sessions.h"
#include "monitor/ui/CheckList.h"
#include "monitor/ui/Look.h"
#include "monitor/ui/logic/ExportData.h"
#include "monitor/ui/logic/KWhChart.h"
#include "monitor/ui/texts/MessageFrm.h"

namespace uitest {
namespace {

QDateTime At(int year, int month, int day, int hour = 0, int minute = 0) {
    return NaiveDateTime(year, month, day, hour, minute);
}

TSampleRow Row(const QDateTime& time, int32_t yield) {
    return {time.toSecsSinceEpoch(), yield};
}

// The yield history requests the box received, counted per module and by whether they ask for
// the box's newest slot (no time) or for given slots.
std::map<std::pair<int, bool>, int> HistoryRequestsPerModule(const kestemu::Emulator& box) {
    std::map<std::pair<int, bool>, int> count;
    for (const kestemu::HistoryRequest& r : box.history_requests()) {
        ++count[{r.module, !r.timed}];
    }
    return count;
}

// --- Without a widget --------------------------------------------------------------------------

TEST(KWhSlots, OnePointPerSlotFromTheEarliestRowWithZerosAround) {
    const TSlotRange day = WidenRange(1, QDate(2024, 6, 19), QDate(2024, 6, 19));
    const TKWhPoints points =
        SlotPoints(1, day,
                   {Row(At(2024, 6, 19, 12, 1), 123), Row(At(2024, 6, 19, 12, 5), 999),
                    Row(At(2024, 6, 19, 12, 10), 0), Row(At(2024, 6, 19, 15, 0), 50)});
    ASSERT_EQ(points.Keys.size(), 144);
    ASSERT_EQ(points.Values.size(), 144);
    EXPECT_TRUE(points.HasData);
    for (int i = 0; i < 144; ++i) {
        EXPECT_EQ(points.Keys[i], ChartKey(At(2024, 6, 19).addSecs(600 * i))) << i;
    }
    EXPECT_EQ(points.Values[71], 0);                    // 11:50, a morning zero
    EXPECT_EQ(points.Values[72], double(123 * 0.01f));  // 12:00 takes the 12:01 row
    EXPECT_EQ(points.Values[73], 0);                    // 12:10
    EXPECT_EQ(points.Values[90], double(50 * 0.01f));   // 15:00
    EXPECT_EQ(points.Values[143], 0);                   // 23:50, a trailing zero

    // Calendar slots: months of different lengths, no trailing zeros without a positive yield.
    const TSlotRange months = WidenRange(3, QDate(2023, 11, 15), QDate(2024, 2, 3));
    EXPECT_EQ(months.Start, At(2023, 11, 1));
    EXPECT_EQ(months.End, At(2024, 3, 1));
    const TKWhPoints monthly = SlotPoints(3, months, {Row(At(2023, 12, 1), 4000)});
    ASSERT_EQ(monthly.Keys.size(), 4);
    EXPECT_EQ(monthly.Keys[2], ChartKey(At(2024, 1, 1)));
    EXPECT_EQ(monthly.Values[1], double(4000 * 0.01f));
    EXPECT_FALSE(SlotPoints(3, months, {Row(At(2023, 12, 1), 0)}).HasData);
    EXPECT_EQ(SlotPoints(3, months, {Row(At(2023, 12, 1), 0)}).Keys.size(), 2);
}

TEST(KWhSlots, RangesAreCorrectedAndWidenedToWholeSlots) {
    const QDate today(2026, 12, 9);
    struct Case {
        QDate start, end, wantStart, wantEnd;
    };
    const Case cases[] = {
        {{2003, 6, 1}, {2004, 2, 1}, {2004, 1, 1}, {2004, 2, 1}},
        {{2027, 1, 1}, {2027, 2, 1}, today, today},
        {{2024, 5, 10}, {2024, 5, 1}, {2024, 5, 10}, {2024, 5, 10}},
        {{2024, 5, 10}, {2030, 1, 1}, {2024, 5, 10}, today},
    };
    for (const Case& c : cases) {
        const TDayRange range = CorrectRange(c.start, c.end, today);
        EXPECT_EQ(range.Start, c.wantStart) << c.start.toString().toStdString();
        EXPECT_EQ(range.End, c.wantEnd) << c.start.toString().toStdString();
    }
    EXPECT_EQ(WidenRange(2, QDate(2024, 2, 28), QDate(2024, 2, 29)).End, At(2024, 3, 1));
    EXPECT_EQ(WidenRange(4, QDate(2021, 3, 15), QDate(2024, 6, 20)).Start, At(2021, 1, 1));
    EXPECT_EQ(WidenRange(4, QDate(2021, 3, 15), QDate(2024, 6, 20)).End, At(2025, 1, 1));

    qint64 seconds = 0;
    EXPECT_TRUE(ParseSampleTimestamp(u"2024-02-29 23:50:00", &seconds));
    EXPECT_EQ(seconds, At(2024, 2, 29, 23, 50).toSecsSinceEpoch());
    for (const char16_t* bad : {u"2023-02-29 00:00:00", u"2024-06-19T12:00:00", u"2024-06-19",
                                u"2024-6-19 12:00:000", u"2024-06-19 24:00:00"}) {
        EXPECT_FALSE(ParseSampleTimestamp(bad, &seconds)) << QString::fromUtf16(bad).toStdString();
    }
}

TEST(KWhSlots, PagingAndValueTexts) {
    EXPECT_EQ(PageAfterDensityChange(3, 12, 6), 5);  // point 24 stays in view
    EXPECT_EQ(PageAfterDensityChange(5, 6, 12), 3);
    EXPECT_EQ(PageAfterDensityChange(3, 12, 0), 0);
    EXPECT_EQ(PageAfterDensityChange(0, 0, 10), 1);
    EXPECT_EQ(PageCount(144, 0), 1);
    EXPECT_EQ(PageCount(144, 12), 12);
    EXPECT_EQ(PageCount(145, 12), 13);
    EXPECT_EQ(PageSpan(145, 12, 13).First, 144);
    EXPECT_EQ(PageSpan(145, 12, 13).Last, 144);
    EXPECT_EQ(PageSpan(145, 0, 0).Last, 144);

    EXPECT_EQ(KWhValueText(61.5, 1, QLocale::c()), "61.5");
    EXPECT_EQ(KWhValueText(61.5, 1, QLocale(QLocale::Dutch, QLocale::Netherlands)), "61,5");
    EXPECT_EQ(KWhValueText(1234567.0, 1, QLocale(QLocale::English, QLocale::UnitedKingdom)),
              "1234567");
    EXPECT_EQ(KWhValueText(double(123 * 0.01f), 1, QLocale::c()), "1.2");
    EXPECT_EQ(KWhValueText(12.6, 0, QLocale::c()), "13");
    EXPECT_EQ(KWhValueText(0.04, 1, QLocale::c()), "0");
}

// Series of unequal lengths added one after the other: a stacked chart draws each on the ones
// before it, a side-by-side chart on the axis; the tops are the highest point of any series.
TEST(KWhSlots, StackedSumsAndPeaks) {
    struct Case {
        const char* Name;
        bool Stacked;
        std::vector<QVector<double>> Series;
        QVector<double> Sums;  // after the last series
        QVector<double> Tops;
        double PeakAll;
        double PeakOfSlot2;
    };
    const Case cases[] = {
        {"one series", true, {{1, 2, 3}}, {1, 2, 3}, {1, 2, 3}, 3, 3},
        {"stacked", true, {{1, 2, 3}, {4, 0, 1}}, {5, 2, 4}, {5, 2, 4}, 5, 4},
        {"side by side", false, {{1, 2, 3}, {4, 0, 1}}, {4, 0, 1}, {4, 2, 3}, 4, 3},
        {"a shorter series stacks on the front",
         true,
         {{1, 1, 1, 1}, {2, 2}},
         {3, 3, 1, 1},
         {3, 3, 1, 1},
         3,
         1},
        {"a longer series grows the stack", true, {{2}, {1, 5}}, {3, 5}, {3, 5}, 5, 0},
        {"nothing", true, {}, {}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TSeriesStack stack;
        for (const QVector<double>& values : c.Series) {
            StackSeries(&stack, values, c.Stacked);
        }
        EXPECT_EQ(stack.Sums, c.Sums);
        EXPECT_EQ(stack.Tops, c.Tops);
        EXPECT_EQ(PeakValue(stack.Tops, PageSpan(int(stack.Tops.size()), 0, 0)), c.PeakAll);
        EXPECT_EQ(PeakValue(stack.Tops, TPageSpan{2, 2}), c.PeakOfSlot2);
    }
}

// --- The view ----------------------------------------------------------------------------------

class HistoryViewTest : public ProgramTest {
protected:
    // A box whose modules are all present, with samples stored, and the view at a resolution.
    int32_t Kest = 0;
    void AddBox() {
        KestSpec spec;
        spec.Name = "Roof";
        Kest = AddKest(spec);
    }
    void Store(int type, uint8_t code, const QDateTime& time, int32_t value) {
        Main().UserData()->SaveYield(Kest, uint8_t(type), code, time, value);
    }
    void Open(TMenuNode node, QDate start, QDate end) {
        Main().ClickMenuNode(node);
        Main().EsStartDateEdit->setDate(start);
        Main().EsEndDateEdit->setDate(end);
    }
    // Checks the list entries whose text ends with one of the suffixes, and no other.
    void Tick(std::initializer_list<const char*> suffixes) {
        TCheckList& list = *Main().OvcCheckListSelectedForkWh;
        for (int i = 0; i < list.count(); ++i) {
            bool wanted = false;
            for (const char* suffix : suffixes) {
                wanted = wanted || list.item(i)->text().endsWith(QString::fromLatin1(suffix));
            }
            list.SetChecked(i, wanted);
        }
    }
    void Draw(int graphType) {
        Main().OvcComboBoxGraphType->setCurrentIndex(graphType);
        Main().DrawkWhChart(graphType);
    }
    QCustomPlot& Chart() { return *Main().ChartkWh; }
    QCPDataContainer<QCPGraphData>* GraphData(int i) {
        return qobject_cast<QCPGraph*>(Chart().plottable(i))->data().data();
    }
    void Density(const QString& text) {
        Main().X_AxisNrOfPoints->setText(text);
        Main().X_AxisNrOfPointsChange();
    }
    void StoreAfternoon() {
        for (int slot = 72; slot < 90; ++slot) {
            const QDateTime time = At(2024, 6, 19).addSecs(600 * slot);
            Store(Module_Type_Total, Res_Ten_Minutes, time, 3000 + slot);
            Store(Module_Type_A, Res_Ten_Minutes, time, 1000 + slot);
            Store(Module_Type_B, Res_Ten_Minutes, time, 2000 + slot);
        }
    }
};

TEST_F(HistoryViewTest, TenMinuteBarsPageByPage) {
    AddBox();
    StoreAfternoon();
    Open(Node_Per10Minutes, QDate(2024, 6, 19), QDate(2024, 6, 19));
    Tick({"(Total)", "(A)", "(C)"});  // C has no samples: no series, no legend entry
    Draw(0);

    ASSERT_EQ(Chart().plottableCount(), 2);
    EXPECT_EQ(Chart().legend->itemCount(), 2);
    auto* total = qobject_cast<QCPBars*>(Chart().plottable(0));
    ASSERT_NE(total, nullptr);
    EXPECT_EQ(total->name(), "Roof (Total)");
    EXPECT_EQ(total->data()->size(), 144);
    EXPECT_EQ(total->data()->at(72)->value, double(3072 * 0.01f));
    EXPECT_EQ(total->data()->at(143)->value, 0);
    EXPECT_NE(total->barsGroup(), nullptr);  // side by side

    // Twelve points a page: twelve pages. Page 3 at 12 a page becomes page 5 at 6 a page.
    EXPECT_EQ(Main().X_AxisNrOfPoints->text(), "12");
    EXPECT_EQ(Main().HistoryPageCount(), 12);
    EXPECT_FALSE(Main().HistoryScrollBar->isHidden());
    Main().HistoryScrollBar->setValue(3);
    EXPECT_EQ(Main().HistoryPage(), 3);
    EXPECT_NEAR(Chart().xAxis->range().center(), ChartKey(At(2024, 6, 19, 4, 55)), 1);
    Density("6");
    EXPECT_EQ(Main().HistoryPage(), 5);
    EXPECT_EQ(Main().HistoryScrollBar->value(), 5);
    EXPECT_EQ(Main().HistoryScrollBar->maximum(), 24);
    EXPECT_LT(Chart().xAxis->range().lower, ChartKey(At(2024, 6, 19, 4, 0)));
    EXPECT_GT(Chart().xAxis->range().upper, ChartKey(At(2024, 6, 19, 4, 50)));

    // An entry outside 0..999 goes back silently; 0 (an empty field) shows everything at once.
    Density("1000");
    EXPECT_EQ(Main().X_AxisNrOfPoints->text(), "6");
    EXPECT_EQ(Main().XAxisDensity[1], 6);
    Density("");
    EXPECT_EQ(Main().HistoryPage(), 0);
    EXPECT_TRUE(Main().HistoryScrollBar->isHidden());
    EXPECT_EQ(Main().XAxisDensity[1], 0);
    EXPECT_LT(Chart().xAxis->range().lower, ChartKey(At(2024, 6, 19)));
    EXPECT_GT(Chart().xAxis->range().upper, ChartKey(At(2024, 6, 19, 23, 50)));

    // The density is kept per resolution for the redraws to come.
    Draw(0);
    EXPECT_TRUE(Main().HistoryScrollBar->isHidden());
    EXPECT_EQ(Main().X_AxisNrOfPoints->text(), "");

    // Value marks follow the check box; a new resolution drops every series.
    const QImage plain = Chart().toPixmap().toImage();
    Main().CheckBoxShowkWhValues->click();
    EXPECT_NE(Chart().toPixmap().toImage(), plain);
    Main().SetHistoryResolution(2);
    EXPECT_EQ(Chart().plottableCount(), 0);
}

TEST_F(HistoryViewTest, GraphTypesTakeTheirModulesAndStack) {
    Main().show();  // the chart lays itself out at its size once it has been shown
    AddBox();
    StoreAfternoon();
    Open(Node_Per10Minutes, QDate(2024, 6, 19), QDate(2024, 6, 19));

    Tick({"(A)", "(B)"});
    Draw(1);  // stacked totals, only inverters checked: nothing at all
    EXPECT_EQ(Chart().plottableCount(), 0);
    EXPECT_EQ(Chart().legend->itemCount(), 0);
    EXPECT_GT(Chart().axisRect()->width(), 400);  // an empty legend does not squeeze the axes

    Draw(2);  // stacked inverters: B stands on A
    ASSERT_EQ(Chart().plottableCount(), 2);
    auto* b = qobject_cast<QCPBars*>(Chart().plottable(1));
    EXPECT_EQ(b->barBelow(), Chart().plottable(0));
    EXPECT_EQ(b->data()->at(72)->value, double(2072 * 0.01f));

    Draw(5);  // area inverters: running sums, B filled down to A
    ASSERT_EQ(Chart().plottableCount(), 2);
    EXPECT_EQ(GraphData(0)->at(72)->value, double(1072 * 0.01f));
    EXPECT_EQ(GraphData(1)->at(72)->value, double(1072 * 0.01f) + double(2072 * 0.01f));
    EXPECT_EQ(qobject_cast<QCPGraph*>(Chart().plottable(1))->channelFillGraph(),
              Chart().plottable(0));

    // Lines: each module's own values in its line style and colour.
    QSqlQuery style(QSqlDatabase::database(Main().UserData()->ConnectionName()));
    ASSERT_TRUE(style.exec(QString("UPDATE modules SET module_linetype = 2, module_color = 3 "
                                   "WHERE module_kest = %1 AND module_type = 8")
                               .arg(Kest)));
    Draw(3);
    auto* line = qobject_cast<QCPGraph*>(Chart().plottable(1));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->pen().style(), Qt::DotLine);
    EXPECT_EQ(line->pen().color(), ModuleColours[3]);
    EXPECT_EQ(line->data()->at(72)->value, double(2072 * 0.01f));
}

TEST_F(HistoryViewTest, DatesAreCorrectedOnlyWhenASeriesIsMade) {
    AddBox();
    Store(Module_Type_Total, Res_Year, At(2004, 1, 1), 900);
    Store(Module_Type_Total, Res_Year, At(2005, 1, 1), 0);
    Open(Node_PerYear, QDate(2003, 6, 1), QDate(2005, 3, 1));

    Tick({});
    Draw(0);  // nothing checked: the fields stay as typed
    EXPECT_EQ(Main().EsStartDateEdit->date(), QDate(2003, 6, 1));

    Tick({"(A)"});
    Draw(1);  // stacked totals exclude A: still as typed
    EXPECT_EQ(Main().EsStartDateEdit->date(), QDate(2003, 6, 1));

    Tick({"(Total)"});
    Draw(1);
    EXPECT_EQ(Main().EsStartDateEdit->date(), QDate(2004, 1, 1));
    EXPECT_EQ(Main().EsEndDateEdit->date(), QDate(2005, 3, 1));
    ASSERT_EQ(Chart().plottableCount(), 1);
    auto* bars = qobject_cast<QCPBars*>(Chart().plottable(0));
    ASSERT_EQ(bars->data()->size(), 2);
    EXPECT_EQ(bars->data()->at(0)->key, ChartKey(At(2004, 1, 1)));
    EXPECT_EQ(bars->data()->at(0)->value, double(900 * 0.5f));
    EXPECT_TRUE(Main().HistoryScrollBar->isHidden());
}

// A day of ten-minute history fetched from kestemu with "Get data": the chart shows the box's
// own yields, and the export writes the same values.
TEST_F(HistoryViewTest, GetDataChartsAndExportsWhatTheBoxKeeps) {
    kestemu::Emulator& box = StartBox();
    KestSpec spec;
    spec.Port = box.port();
    spec.Present = {Module_Type_Total, Module_Type_A};
    Kest = AddKest(spec);
    Main().Sessions()->ConnectKest(Kest);
    ASSERT_TRUE(Main().Sessions()->IsKestConnected(Kest));
    Main().Sessions()->ChannelOfKest(Kest)->RequestDelay = 0;

    Open(Node_Per10Minutes, QDate(2024, 6, 19), QDate(2024, 6, 19));
    ASSERT_EQ(Main().OvcCheckListSelectedForkWh->count(), 2);
    Click(Find<TLabelButton>("LabelSelectAlHistory"));
    Click(Find<TLabelButton>("LabelGetData"));
    // The download window closes itself and redraws the chart when the download is over.
    ASSERT_TRUE(WaitFor([&] { return Chart().plottableCount() == 2; }, std::chrono::seconds(30)));

    const kestemu::CivilTime now = box.now();
    for (int p = 0; p < 2; ++p) {
        auto* bars = qobject_cast<QCPBars*>(Chart().plottable(p));
        const uint8_t module = p == 0 ? Module_Type_Total : Module_Type_A;
        ASSERT_EQ(bars->data()->size(), 144);
        for (int i = 0; i < 144; ++i) {
            const kestemu::CivilTime slot{2024, 6, 19, i / 6, i % 6 * 10, 0};
            const auto model = box.model().yield(module, Res_Ten_Minutes, slot, now);
            ASSERT_TRUE(model.has_value());
            // Big blocks travel in fours: the box rounds to the nearest multiple of 4.
            EXPECT_NEAR(bars->data()->at(i)->value / double(0.01f), double(*model), 2.01) << i;
        }
    }

    TExportRequest request;
    request.KestName = "Roof";
    request.ModuleIds = {ModuleId(Kest, Module_Type_Total), ModuleId(Kest, Module_Type_A), 0, 0};
    request.Columns = {true, true, false, false};
    request.Resolution = 0;
    request.Range = WidenRange(1, QDate(2024, 6, 19), QDate(2024, 6, 19));
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QString error;
    ASSERT_TRUE(WriteExport(&file, Main().UserData()->ConnectionName(), request, Windows().MsgForm,
                            QLocale::c(), &error))
        << error.toStdString();
    const QList<QByteArray> lines = file.data().split('\n');
    ASSERT_GE(lines.size(), 145);
    auto* total = qobject_cast<QCPBars*>(Chart().plottable(0));
    auto* a = qobject_cast<QCPBars*>(Chart().plottable(1));
    for (int i = 0; i < 144; ++i) {
        const QList<QByteArray> cells = lines[i + 1].split(';');
        ASSERT_GE(cells.size(), 4) << lines[i + 1].toStdString();
        // Fifteen digits carry a single-precision value exactly.
        EXPECT_EQ(float(cells[1].trimmed().toDouble()), float(total->data()->at(i)->value)) << i;
        EXPECT_EQ(float(cells[3].trimmed().toDouble()), float(a->data()->at(i)->value)) << i;
    }
}

// "Get data" a second time, with nothing new on the box, asks only for each module's newest
// slot; both downloads end at 100 % and the download window closes itself.
TEST_F(HistoryViewTest, GetDataAgainAsksOnlyForTheOpenAndTheNewSlots) {
    // Seven minutes before the open slot closes: no new slot while the test runs.
    kestemu::Emulator& box = StartBox(datatest::BoxConfig("2024-06-20 12:33"));
    KestSpec spec;
    spec.Port = box.port();
    spec.Present = {Module_Type_Total, Module_Type_A};
    Kest = AddKest(spec);
    Main().Sessions()->ConnectKest(Kest);
    ASSERT_TRUE(Main().Sessions()->IsKestConnected(Kest));
    TCANMessages* channel = Main().Sessions()->ChannelOfKest(Kest);
    Open(Node_Per10Minutes, QDate(2024, 6, 19), QDate(2024, 6, 19));
    Click(Find<TLabelButton>("LabelSelectAlHistory"));
    QWidget* form = Find<QWidget>("DownloadForm");
    auto* memo = Find<QPlainTextEdit>("DownloadStatusMemo");
    ASSERT_NE(form, nullptr);
    ASSERT_NE(memo, nullptr);

    // Until the download ends the progress never goes back, the window's line shows it, and
    // the window closes itself once the last slot asked for has come in.
    auto getData = [&] {
        Click(Find<TLabelButton>("LabelGetData"));
        EXPECT_TRUE(channel->Downloading);
        EXPECT_TRUE(form->isVisible());
        const QRegularExpression line(QStringLiteral("^Downloading from Roof\\[(\\d+)%\\]$"));
        int percent = 0;
        int shown = 0;
        int lines = 0;
        EXPECT_TRUE(WaitFor(
            [&] {
                if (channel->Downloading) {
                    const int now =
                        DownloadPercent(channel->BlocksRequested, channel->BlocksExpected);
                    EXPECT_GE(now, percent);
                    percent = now;
                    for (const QString& text : memo->toPlainText().split('\n').mid(1)) {
                        const QRegularExpressionMatch match = line.match(text);
                        EXPECT_TRUE(match.hasMatch()) << text.toStdString();
                        EXPECT_GE(match.captured(1).toInt(), shown);
                        shown = match.captured(1).toInt();
                        ++lines;
                    }
                }
                return !channel->Downloading && !form->isVisible();
            },
            std::chrono::seconds(30)));
        EXPECT_EQ(channel->BlocksRequested, channel->BlocksExpected);
        EXPECT_GT(channel->BlocksExpected, 0);
        EXPECT_EQ(DownloadPercent(channel->BlocksRequested, channel->BlocksExpected), 100);
        EXPECT_EQ(memo->toPlainText(), "Please wait");
        return lines;
    };

    // A few milliseconds a request: the window's line is written at least twice meanwhile.
    channel->RequestDelay = 5;
    EXPECT_GT(getData(), 0);
    ASSERT_EQ(Chart().plottableCount(), 2);
    std::vector<double> before;
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < 144; ++i) {
            before.push_back(qobject_cast<QCPBars*>(Chart().plottable(p))->data()->at(i)->value);
        }
    }
    const int stored = Count("SELECT * FROM samples");

    box.clear_received();
    getData();
    ASSERT_EQ(box.now().hour, 12);
    ASSERT_LT(box.now().minute, 40) << "the box's open slot closed while the test ran";
    const std::map<std::pair<int, bool>, int> asked = HistoryRequestsPerModule(box);
    const std::map<std::pair<int, bool>, int> newestOnly{{{Module_Total, true}, 1},
                                                         {{Addr_Inverter_A, true}, 1}};
    EXPECT_EQ(asked, newestOnly);
    EXPECT_EQ(channel->BlocksExpected, 2);
    EXPECT_EQ(Count("SELECT * FROM samples"), stored);

    // The chart was drawn again with the same closed slots.
    ASSERT_EQ(Chart().plottableCount(), 2);
    std::vector<double> after;
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < 144; ++i) {
            after.push_back(qobject_cast<QCPBars*>(Chart().plottable(p))->data()->at(i)->value);
        }
    }
    EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace uitest
