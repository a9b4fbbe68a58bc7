#include "VirtualKest.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The most of a replay file that is read: a recording of a long session is a few hundred
// kilobytes.
constexpr qint64 Max_Replay_Bytes = 64 << 20;

}  // namespace

// The file is plain text read line by line: a value is kept exactly as written (commas,
// backslashes and "@" included), and nothing in it is interpreted beyond sections and keys.
TVirtualKest::TVirtualKest(int32_t id, const QString& replayFile) : BoxId(id), Path(replayFile) {
    QFile file(replayFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    const QByteArray text = file.read(std::min(file.size(), Max_Replay_Bytes));
    QHash<QString, QString>* section = nullptr;
    for (const QByteArray& rawLine : text.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) {
            continue;
        }
        if (line.startsWith('[') && line.endsWith(']')) {
            section = &Sections[line.mid(1, line.size() - 2).trimmed()];
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (section == nullptr || equals <= 0) {
            continue;
        }
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
            value = value.mid(1, value.size() - 2);
        }
        section->insert(line.left(equals).trimmed(), value);
    }
}

QString TVirtualKest::Value(const QString& section, const QString& key,
                            const QString& fallback) const {
    const auto found = Sections.constFind(section);
    if (found == Sections.constEnd()) {
        return fallback;
    }
    return found->value(key, fallback);
}

namespace {

struct ReplayCounter {
    uint32_t count = 0;
    CanMessage request = {};
};

// Both lists and every call of SimulateRequest are serialised by one lock.
std::mutex ReplayLock;
std::vector<std::unique_ptr<TVirtualKest>> Boxes;
std::vector<ReplayCounter> Counters;

constexpr int Max_Reply_Fields = 5 + Can_Data_Bytes;

bool SameHeader(const CanMessage& a, const CanMessage& b) {
    return std::memcmp(a.Header, b.Header, sizeof a.Header) == 0 && a.Length == b.Length;
}

ReplayCounter* FindCounter(const CanMessage& request) {
    for (auto it = Counters.rbegin(); it != Counters.rend(); ++it) {
        if (SameHeader(it->request, request)) {
            return &*it;
        }
    }
    return nullptr;
}

TVirtualKest* FindBox(uint8_t id) {
    for (auto it = Boxes.rbegin(); it != Boxes.rend(); ++it) {
        if (uint8_t((*it)->Id()) == id) {
            return it->get();
        }
    }
    return nullptr;
}

QString SectionName(const CanMessage& request) {
    QStringList bytes;
    for (uint8_t b : request.Header) {
        bytes << QString::asprintf("%02X", b);
    }
    bytes << QString::asprintf("%02X", request.Length);
    const int shown = std::min<int>(request.Length, Can_Data_Bytes);
    for (int i = 0; i < shown; ++i) {
        bytes << QString::asprintf("%02X", request.Data[i]);
    }
    return bytes.join('-');
}

uint8_t ParseField(const QString& field, const QString& value) {
    bool ok = false;
    const qint64 number =
        field.startsWith('$') ? field.mid(1).toLongLong(&ok, 16) : field.toLongLong(&ok, 10);
    if (!ok || field == QLatin1String("$")) {
        throw TConversionError(("replay value is no reply: " + value).toStdString());
    }
    return uint8_t(number & 0xFF);
}

// A recorded reply. Its Length may announce more than the 32 data bytes a record holds (a box
// answering out of range, which the worker rejects); only what fits is read.
CanMessage ParseReply(const QString& value) {
    const QStringList fields = value.split('-');
    if (fields.size() > Max_Reply_Fields || fields.size() < 5) {
        throw TConversionError(("replay value is no reply: " + value).toStdString());
    }
    CanMessage reply = {};
    for (int i = 0; i < 4; ++i) {
        reply.Header[i] = ParseField(fields[i], value);
    }
    reply.Length = ParseField(fields[4], value);
    const int stored = std::min<int>(reply.Length, Can_Data_Bytes);
    if (fields.size() < 5 + stored) {
        throw TConversionError(("replay reply shorter than its length: " + value).toStdString());
    }
    for (int i = 0; i < stored; ++i) {
        reply.Data[i] = ParseField(fields[5 + i], value);
    }
    return reply;
}

QString Key(uint32_t counter) {
    return QString::asprintf("REQ%04X", counter);
}

}  // namespace

namespace SimulatedKests {

void Add(int32_t id, const QString& replayFile) {
    auto box = std::make_unique<TVirtualKest>(id, replayFile);
    std::lock_guard guard(ReplayLock);
    std::erase_if(Boxes, [id](const auto& b) { return uint8_t(b->Id()) == uint8_t(id); });
    Boxes.push_back(std::move(box));
}

void Remove(int32_t id) {
    std::lock_guard guard(ReplayLock);
    std::erase_if(Boxes, [id](const auto& b) { return uint8_t(b->Id()) == uint8_t(id); });
}

void Clear() {
    std::lock_guard guard(ReplayLock);
    Boxes.clear();
}

int Count() {
    std::lock_guard guard(ReplayLock);
    return int(Boxes.size());
}

}  // namespace SimulatedKests

namespace ReplayCounters {

uint32_t Counter(const CanMessage& request) {
    std::lock_guard guard(ReplayLock);
    const ReplayCounter* counter = FindCounter(request);
    return counter != nullptr ? counter->count : 0;
}

int Count() {
    std::lock_guard guard(ReplayLock);
    return int(Counters.size());
}

void Clear() {
    std::lock_guard guard(ReplayLock);
    Counters.clear();
}

}  // namespace ReplayCounters

int32_t SimulateRequest(const CanMessage& request, CanMessage& reply, uint8_t id) {
    const QString section = SectionName(request);
    std::lock_guard guard(ReplayLock);
    ReplayCounter* counter = FindCounter(request);
    if (counter == nullptr) {
        Counters.push_back({0, request});
        counter = &Counters.back();
    }
    const TVirtualKest* box = FindBox(id);
    if (box == nullptr) {
        return -100;
    }
    const QString timeout = QStringLiteral("Timeout");
    QString value = box->Value(section, Key(counter->count), timeout);
    if (value == QLatin1String("[LOOP]")) {
        counter->count = 0;
        value = box->Value(section, Key(0), timeout);
    }
    if (value == QLatin1String("[END]") || value == timeout) {
        return Can_Result_Timeout;
    }
    reply = ParseReply(value);
    counter->count += 1;
    switch (reply.Header[Hdr_Action]) {
        case Act_Unknown:
            return -2;
        case Act_Error_Response:
            return -10;
        default:
            return Can_Result_Ok;
    }
}
