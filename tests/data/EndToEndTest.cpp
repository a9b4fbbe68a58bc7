// From the box to the samples table: two emulated boxes and one replay box, every module, every
// resolution. The table must then hold exactly the values the boxes sent, once each.
#include <QFile>
#include <QSqlQuery>
#include <QTextStream>
#include <map>
#include <tuple>

#include "DataHarness.h"
#include "monitor/can/CANMessages.h"
#include "monitor/can/VirtualKest.h"

namespace datatest {
namespace {

constexpr uint8_t Can_Command = 0x10;
const uint8_t Resolutions[] = {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year};

using Samples = StoredSamples;

std::vector<CanMessage> HistoryRequests(const kestemu::Emulator& box) {
    std::vector<CanMessage> requests;
    for (const auto& frame : box.received()) {
        const auto& b = frame.bytes;
        if (b.size() >= 8 && b[0] == Can_Command && b[3] == Addr_Monitor &&
            b[4] == Obj_Yield_History) {
            CanMessage m = MakeCanRequest(b[3], b[4], b[5], b[6], b[7]);
            std::copy_n(b.begin() + 8, std::min<size_t>(b[7], b.size() - 9), m.Data);
            requests.push_back(m);
        }
    }
    return requests;
}

// Decodes one history reply as the box means it: newest period first, 0xFFFF no value, and
// every unit counting four when the resolution byte has its top bit set.
void AddReplySamples(const CanMessage& reply, Samples& samples) {
    const uint8_t* d = reply.Data;
    const int resolution = d[1] & 0x7F;
    const int scale = (d[1] & 0x80) != 0 ? 4 : 1;
    const QDateTime newest = At(d[2] + 1792, d[3], d[4], d[6], d[7]);
    for (int i = 0; 8 + 2 * i + 1 < reply.Length; ++i) {
        const int value = d[8 + 2 * i] + 256 * d[9 + 2 * i];
        if (value == 0xFFFF) {
            continue;
        }
        QDateTime t = newest;
        switch (resolution) {
            case Res_Ten_Minutes:
                t = newest.addSecs(-600 * i);
                break;
            case Res_Day:
                t = newest.addDays(-i);
                break;
            case Res_Month:
                t = newest.addMonths(-i);
                break;
            default:
                t = newest.addYears(-i);
        }
        samples[{d[0], resolution, t.toString("yyyy-MM-dd HH:mm:ss")}] = value * scale;
    }
}

QString ReplyText(const CanMessage& reply) {
    QStringList fields;
    for (uint8_t b : reply.Header) {
        fields << QString::number(b);
    }
    fields << QString::number(reply.Length);
    for (int i = 0; i < reply.Length; ++i) {
        fields << QString::number(reply.Data[i]);
    }
    return fields.join('-');
}

QString SectionOf(const CanMessage& request) {
    QStringList bytes;
    for (uint8_t b : request.Header) {
        bytes << QString("%1").arg(b, 2, 16, QChar('0')).toUpper();
    }
    bytes << QString("%1").arg(request.Length, 2, 16, QChar('0')).toUpper();
    for (int i = 0; i < request.Length; ++i) {
        bytes << QString("%1").arg(request.Data[i], 2, 16, QChar('0')).toUpper();
    }
    return bytes.join('-');
}

// Equal maps, or the first difference: a dump of thousands of samples helps nobody.
::testing::AssertionResult SameSamples(const Samples& stored, const Samples& expected) {
    if (stored == expected) {
        return ::testing::AssertionSuccess();
    }
    auto describe = [](const auto& entry) {
        const auto& [key, value] = entry;
        return QString("module %1 resolution %2 at %3: %4")
            .arg(std::get<0>(key))
            .arg(std::get<1>(key))
            .arg(std::get<2>(key))
            .arg(value)
            .toStdString();
    };
    auto s = stored.begin();
    auto e = expected.begin();
    while (s != stored.end() && e != expected.end() && *s == *e) {
        ++s;
        ++e;
    }
    return ::testing::AssertionFailure()
           << stored.size() << " stored, " << expected.size()
           << " expected; first difference: " << (s == stored.end() ? "none stored" : describe(*s))
           << " against " << (e == expected.end() ? "none expected" : describe(*e));
}

class EndToEnd : public MonitorTest {
protected:
    // Asks the box once more what it answered to each request, on a link of the test's own.
    std::vector<CanMessage> AskAgain(const kestemu::Emulator& box,
                                     const std::vector<CanMessage>& requests) {
        constexpr int32_t link = 250;
        std::vector<CanMessage> replies;
        EXPECT_EQ(Pc2Lan_Create(link, "127.0.0.1", box.port(), "Administrator", "admin1234",
                                nullptr, nullptr),
                  0);
        int32_t level = 0;
        EXPECT_GE(Pc2Lan_Connect(link, &level, 0), 0);
        for (const CanMessage& request : requests) {
            CanMessage reply{};
            EXPECT_EQ(Pc2Lan_Can_Request(link, &request, &reply), 0);
            replies.push_back(reply);
        }
        Pc2Lan_Delete(link);
        return replies;
    }

    std::string DebugState() {
        std::string out;
        for (const auto& c : Sessions->Channels) {
            out += "res " + std::to_string(c->DownloadResolution) + " module " +
                   std::to_string(c->ModuleIndex) + " done " + std::to_string(c->BlocksDone) +
                   " req " + SectionOf(c->HistoryRequest).toStdString() + " counter " +
                   std::to_string(ReplayCounters::Counter(c->HistoryRequest)) + "\n";
        }
        return out;
    }

    Samples Stored(int32_t kestId) { return SamplesOfKest(*UserData, kestId); }

    // Every module of the given boxes, at every resolution, one download after the other.
    void DownloadEverything(const std::vector<int32_t>& kests) {
        for (int32_t kest : kests) {
            Sessions->ConnectKest(kest);
            ASSERT_TRUE(Sessions->IsKestConnected(kest));
            Sessions->ChannelOfKest(kest)->RequestDelay = 0;
        }
        Acquisition->BuildKWhCheckList();
        for (size_t i = 0; i < View.KWh.size(); ++i) {
            const bool wanted =
                std::find(kests.begin(), kests.end(),
                          Acquisition->KestOfModule(View.KWh[i].ModuleId)) != kests.end();
            View.SetCheckListItemChecked(TModuleList::KWh, int(i), wanted);
        }
        for (uint8_t resolution : Resolutions) {
            Acquisition->StartHistoryDownload(resolution);
            ASSERT_TRUE(WaitFor(
                [&] {
                    for (const auto& channel : Sessions->Channels) {
                        if (channel->Downloading) {
                            return false;
                        }
                    }
                    return true;
                },
                20s))
                << DebugState();
        }
        for (int32_t kest : kests) {
            ASSERT_TRUE(Sessions->IsKestConnected(kest));
        }
    }
};

TEST_F(EndToEnd, TheSamplesTableHoldsExactlyWhatTheBoxesSent) {
    kestemu::Config first = DefaultBoxConfig();
    kestemu::Config second = DefaultBoxConfig();
    second.seed = 99;
    second.inverters = "AC";
    KestSpec one;
    one.Name = "One";
    one.Port = StartBox(first).port();
    KestSpec two;
    two.Name = "Two";
    two.Port = StartBox(second).port();
    const int32_t kestOne = AddKest(one);
    const int32_t kestTwo = AddKest(two);

    DownloadEverything({kestOne, kestTwo});

    Samples expectedOne;
    const std::vector<CanMessage> requestsOne = HistoryRequests(*Boxes[0]);
    const std::vector<CanMessage> repliesOne = AskAgain(*Boxes[0], requestsOne);
    for (const CanMessage& reply : repliesOne) {
        AddReplySamples(reply, expectedOne);
    }
    Samples expectedTwo;
    for (const CanMessage& reply : AskAgain(*Boxes[1], HistoryRequests(*Boxes[1]))) {
        AddReplySamples(reply, expectedTwo);
    }
    const Samples storedOne = Stored(kestOne);
    EXPECT_TRUE(SameSamples(storedOne, expectedOne));
    EXPECT_TRUE(SameSamples(Stored(kestTwo), expectedTwo));

    // Every period of the fixed download lengths that the box has a value for: a week of ten
    // minutes, 366 days, and the months and years since the installation in March 2021.
    std::map<std::pair<int, int>, int> counts;
    for (const auto& [key, value] : storedOne) {
        ++counts[{std::get<0>(key), std::get<1>(key)}];
    }
    for (int module : {Module_Type_Total, Module_Type_A, Module_Type_B, Module_Type_C}) {
        EXPECT_EQ((counts[{module, Res_Ten_Minutes}]), 1008) << module;
        EXPECT_EQ((counts[{module, Res_Day}]), 366) << module;
        EXPECT_EQ((counts[{module, Res_Month}]), 39) << module;
        EXPECT_EQ((counts[{module, Res_Year}]), 3) << module;
    }
    EXPECT_EQ(Count(QString("SELECT 1 FROM samples s JOIN modules m ON m.module_id = "
                            "s.sample_module WHERE m.module_kest = %1 AND m.module_type = 8")
                        .arg(kestTwo)),
              0);

    // The same traffic recorded as a replay file, played by a box row of its own.
    QTemporaryDir dir;
    const QString file = dir.filePath("one.ini");
    {
        std::map<QString, QStringList> sections;
        CanMessage clock = MakeCanRequest(Addr_Monitor, Obj_Monitor_Clock, Act_Read, 0, 0);
        const CanMessage clockReply = AskAgain(*Boxes[0], {clock}).at(0);
        sections[SectionOf(clock)] << "REQ0000=" + ReplyText(clockReply) << "REQ0001=[LOOP]";
        for (size_t k = 0; k < requestsOne.size(); ++k) {
            sections[SectionOf(requestsOne[k])]
                << QString("REQ%1=").arg(k, 4, 16, QChar('0')).toUpper() + ReplyText(repliesOne[k]);
        }
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        QTextStream text(&out);
        for (const auto& [name, keys] : sections) {
            text << '[' << name << "]\n" << keys.join('\n') << "\n";
        }
    }
    ReplayCounters::Clear();
    KestSpec replay;
    replay.Name = "Replayed";
    replay.Ip = "replay:" + file;
    const int32_t kestReplay = AddKest(replay);
    DownloadEverything({kestReplay});
    EXPECT_EQ(Sessions->ChannelOfKest(kestReplay)->InterfaceType(), 2);
    EXPECT_TRUE(SameSamples(Stored(kestReplay), expectedOne));
    EXPECT_TRUE(SameSamples(Stored(kestOne), expectedOne));
    SimulatedKests::Clear();
    ReplayCounters::Clear();
}

}  // namespace
}  // namespace datatest
