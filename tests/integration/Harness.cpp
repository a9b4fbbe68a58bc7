#include "Harness.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace integ {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

kestemu::Config base_config() {
    kestemu::Config c;
    c.port = 0;
    c.clock = kClock;
    c.installed = kInstalled;
    c.seed = kSeed;
    c.log_connections = false;
    return c;
}

CanMessage can_message(uint8_t address, uint8_t object, uint8_t action, uint8_t auth,
                       const std::vector<uint8_t>& data) {
    CanMessage m{};
    m.Header[0] = address;
    m.Header[1] = object;
    m.Header[2] = action;
    m.Header[3] = auth;
    m.Length = static_cast<uint8_t>(std::min<size_t>(data.size(), sizeof m.Data));
    std::copy_n(data.begin(), m.Length, m.Data);
    return m;
}

std::vector<uint8_t> frame_payload(const kestemu::ReceivedFrame& f) {
    if (f.bytes.size() < 4) {
        return {};
    }
    const size_t n = std::min<size_t>(f.bytes[1], f.bytes.size() - 4);
    return {f.bytes.begin() + 3, f.bytes.begin() + 3 + static_cast<std::ptrdiff_t>(n)};
}

std::string describe(const kestemu::CivilTime& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

void BoxTest::SetUp() {
    config = base_config();
    configure(config);
    emu = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    ASSERT_TRUE(emu->start(&error)) << error;
    ASSERT_GT(emu->port(), 0);
}

void BoxTest::TearDown() {
    for (int h : handles) {
        Pc2Lan_Delete(h);
    }
    handles.clear();
    if (emu) {
        emu->stop();
    }
}

void BoxTest::create_link(int handle, const char* user, const char* password) {
    ASSERT_EQ(Pc2Lan_Create(handle, "127.0.0.1", emu->port(), user, password, "", ""), 0)
        << "link " << handle;
    handles.push_back(handle);
    ASSERT_EQ(Pc2Lan_Set_Com_Param(handle, io_timeout, reply_timeout), 0);
}

int BoxTest::open_link(int handle, const char* user, const char* password) {
    create_link(handle, user, password);
    int32_t level = -1;
    const int32_t r = Pc2Lan_Connect(handle, &level, 2);
    EXPECT_GE(r, 0) << "connect of link " << handle << " as " << user;
    return level;
}

void BoxTest::delete_link(int handle) {
    EXPECT_EQ(Pc2Lan_Delete(handle), 0);
    handles.erase(std::remove(handles.begin(), handles.end(), handle), handles.end());
}

void BoxTest::restart(const kestemu::Config& next) {
    for (int h : handles) {
        Pc2Lan_Delete(h);
    }
    handles.clear();
    emu->stop();
    config = next;
    emu = std::make_unique<kestemu::Emulator>(config);
    std::string error;
    ASSERT_TRUE(emu->start(&error)) << error;
}

std::vector<kestemu::ReceivedFrame> BoxTest::frames_since(size_t mark) const {
    auto all = emu->received();
    if (mark >= all.size()) {
        return {};
    }
    return {all.begin() + static_cast<std::ptrdiff_t>(mark), all.end()};
}

int BoxTest::last_login_connection() const {
    const auto all = emu->received();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (!it->bytes.empty() && it->bytes[0] == 0xC0) {
            return it->connection;
        }
    }
    return 0;
}

}  // namespace integ
