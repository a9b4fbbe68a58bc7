#include "Lan_class.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Pc2Lan.h"

namespace tivrel {

namespace {

void Copy_Name(char* field, const char* text) {
    size_t length = text == nullptr ? 0 : strnlen(text, Name_Size);
    if (length > 0) {
        std::memcpy(field, text, length);
    }
    field[length] = '\0';
}

}  // namespace

Lan_thread::Lan_thread(const char* host, int32_t port, const char* user, const char* password) {
    try {
        Host = host == nullptr ? "" : host;
        Port = port;
        Copy_Name(User_Name, user);
        Copy_Name(User_Password, password);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Create err: %s\n", error.what());
    }
    idle_thread_ = std::thread(&Lan_thread::Execute, this);
}

Lan_thread::~Lan_thread() {
    Stop();
    Disconnect();
}

void Lan_thread::Execute() {
    std::unique_lock<std::mutex> lock(stop_lock_);
    stop_signal_.wait(lock, [this] { return stop_requested_; });
}

void Lan_thread::Stop() {
    {
        std::lock_guard<std::mutex> lock(stop_lock_);
        stop_requested_ = true;
    }
    stop_signal_.notify_all();
    if (idle_thread_.joinable()) {
        idle_thread_.join();
    }
}

void Lan_thread::Seal_Frame(uint8_t* frame) {
    Frame_Count = static_cast<uint8_t>((Frame_Count + 1) % (Sequence_Mask + 1));
    frame[2] = Frame_Count;
    const uint8_t n = frame[1];
    frame[3 + n] = Frame_Checksum(frame, 3 + n);
}

// A reply is taken when it holds at least the four frame bytes and no fewer bytes than its
// length byte says. A length byte above 80 cannot belong to a frame.
static bool Holds_Frame(const uint8_t* frame, int got) {
    return got >= 4 && frame[1] <= Max_Payload && got >= frame[1];
}

// TCP may hand over a frame in pieces. The rest is read until the frame is whole or Io_Timeout
// has passed, and never beyond the frame, so that no tail is left to pass for the next reply and
// no next frame is swallowed. Returns the bytes the frame now holds.
int Lan_thread::Read_Rest(uint8_t* frame, int got) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Io_Timeout);
    for (;;) {
        const int whole = got < 2 ? 4 : frame[1] + 4;
        if (got < 1 || got >= whole || frame[1] > Max_Payload) {
            return got;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Lan_Socket->Is_Open()) {
            return got;
        }
        const int more = Lan_Socket->Read_Once(frame + got, size_t(whole - got), int(left.count()));
        if (more <= 0) {
            return got;
        }
        got += more;
    }
}

int32_t Lan_thread::Transfer(const uint8_t* request, uint8_t* reply) {
    std::memset(reply, 0, Lan_Frame_Size);
    if (Lan_Socket == nullptr) {
        return No_Reply;
    }
    if (!Lan_Socket->Is_Open()) {
        return Socket_Not_Open;
    }
    Lan_Socket->Write(request, request[1] + 4u, Io_Timeout);
    if (!Lan_Socket->Wait_Readable(Reply_Timeout)) {
        Disconnect();
        return No_Reply;
    }
    int got = Lan_Socket->Read_Once(reply, Lan_Frame_Size, Io_Timeout);
    if (got <= 0) {
        Disconnect();
        return No_Reply;
    }
    got = Read_Rest(reply, got);
    if (got < 4) {
        return Short_Reply;
    }
    if (!Holds_Frame(reply, got)) {
        return No_Reply;
    }
    uint8_t status = Status_Of(reply[2]);
    int32_t fallback = No_Reply;
    if (Sequence_Of(reply[2]) != Frame_Count) {
        // A reply that arrived after an earlier time-out is still queued ahead of ours; one
        // more read picks up the reply to this request if it is there.
        fallback = Stale_Sequence;
        Lan_Frame second = {};
        int got2 = Lan_Socket->Read_Once(second, Lan_Frame_Size, Io_Timeout);
        if (got2 == Lan_Transport::Read_Error) {
            Disconnect();
            return fallback;
        }
        got2 = Read_Rest(second, got2);
        if (Holds_Frame(second, got2)) {
            std::memcpy(reply, second, Lan_Frame_Size);
            status = Status_Of(reply[2]);
        }
    }
    switch (status) {
        case Status_Done:
            return Done;
        case Status_Refused:
        case Status_Refused_Too:
            return Get_S16(reply + 3);
        default:
            return fallback;
    }
}

int32_t Lan_thread::Exchange(uint8_t command, const uint8_t* payload, uint8_t length,
                             uint8_t* reply) {
    Lan_Frame request = {};
    request[0] = command;
    request[1] = length;
    if (length > 0) {
        std::memcpy(request + 3, payload, length);
    }
    Seal_Frame(request);
    return Transfer(request, reply);
}

int32_t Lan_thread::Login(int32_t* login_result, int32_t* access_level) {
    uint8_t area[Wire_Area_Size];
    Put_Credentials(area, User_Name, User_Password);
    Lan_Frame reply;
    int32_t r = Exchange(Cmd_Login, area, Wire_Area_Size, reply);
    if (r != Done) {
        return r;
    }
    const int32_t value = Get_S32(reply + 3);
    if (value < 0) {
        *login_result = 0;
        *access_level = 0;
        return value;
    }
    *login_result = value;
    *access_level = Get_S32(reply + 7);
    return Done;
}

int32_t Lan_thread::Connect(int32_t* login_result, int32_t* access_level) {
    if (Lan_Socket == nullptr) {
        Lan_Socket = Make_Transport(Host, Port, &Status_Text);
    }
    if (Lan_Socket != nullptr && Lan_Socket->Is_Open()) {
        return Link_Already_Open;
    }
    if (Lan_Socket == nullptr || !Lan_Socket->Open()) {
        Disconnect();
        return Link_Not_Opened;
    }
    Login_Result = 0;
    const int32_t r = Login(&Login_Result, &Access_Level);
    if (r != Done) {
        Disconnect();
    }
    if (login_result != nullptr) {
        *login_result = Login_Result;
    }
    if (access_level != nullptr) {
        *access_level = Access_Level;
    }
    return r;
}

int32_t Lan_thread::Disconnect() {
    if (Lan_Socket == nullptr) {
        return Link_Without_Socket;
    }
    Lan_Socket->Close();
    Lan_Socket.reset();
    return Done;
}

int32_t Lan_thread::Set_Com_Param(int32_t io_timeout, int32_t reply_timeout) {
    bool refused = false;
    if (io_timeout > 100 && io_timeout < 60000) {
        Io_Timeout = io_timeout;
    } else {
        refused = true;
    }
    if (reply_timeout > 250 && reply_timeout < 60000) {
        Reply_Timeout = reply_timeout;
    } else {
        refused = true;
    }
    return refused ? PC2LAN_BAD_PARAMETER : PC2LAN_OK;
}

}  // namespace tivrel
