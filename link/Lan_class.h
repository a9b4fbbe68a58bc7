// One link to one Kest box: its TCP connection, its frame counter, time-outs, login state, and
// an idle thread of its own that only waits for its stop request. All socket work runs on the
// thread of whoever calls an export; Call_Lock makes those calls one at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Lan_codes.h"
#include "Lan_frame.h"
#include "Lan_transport.h"

namespace tivrel {

constexpr int32_t Default_Timeout_Ms = 2500;

class Lan_thread {
public:
    // Throws std::system_error when the idle thread cannot be started.
    Lan_thread(const char* host, int32_t port, const char* user, const char* password);
    ~Lan_thread();  // stops the idle thread, then disconnects
    Lan_thread(const Lan_thread&) = delete;
    Lan_thread& operator=(const Lan_thread&) = delete;

    void Stop();
    bool Is_Connected() const { return Lan_Socket != nullptr && Lan_Socket->Is_Open(); }

    void Seal_Frame(uint8_t* frame);
    int32_t Transfer(const uint8_t* request, uint8_t* reply);
    // Fills, seals and transfers one request; reply receives the reply frame.
    int32_t Exchange(uint8_t command, const uint8_t* payload, uint8_t length, uint8_t* reply);
    int32_t Login(int32_t* login_result, int32_t* access_level);
    int32_t Connect(int32_t* login_result, int32_t* access_level);
    int32_t Disconnect();
    // The time-out rules of Pc2Lan_Set_Com_Param: PC2LAN_OK when both were stored, else
    // PC2LAN_BAD_PARAMETER.
    int32_t Set_Com_Param(int32_t io_timeout, int32_t reply_timeout);

    std::unique_ptr<Lan_Transport> Lan_Socket;  // TCP unless a test replaced the factory
    uint8_t Frame_Count = 0;
    int32_t Reply_Timeout = Default_Timeout_Ms;
    int32_t Io_Timeout = Default_Timeout_Ms;
    int32_t Login_Result = 0;
    char User_Name[Name_Size + 1] = {};
    char User_Password[Name_Size + 1] = {};
    std::string Host;
    int32_t Port = 0;
    int32_t Access_Level = 0;
    std::string Status_Text;

    std::mutex Call_Lock;
    bool Deleted = false;  // guarded by Call_Lock: the table no longer holds this link

private:
    void Execute();
    int Read_Rest(uint8_t* frame, int got);

    std::mutex stop_lock_;
    std::condition_variable stop_signal_;
    bool stop_requested_ = false;
    std::thread idle_thread_;
};

}  // namespace tivrel
