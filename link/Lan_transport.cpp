#include "Lan_transport.h"

#include <mutex>
#include <utility>

#include "Lan_socket.h"

namespace tivrel {

namespace {

// Links on different threads connect at the same time; the lock keeps a factory that is being
// replaced from being read half-written.
std::mutex factory_lock;

// Never destroyed: links still in the table when the process ends are torn down after the
// other statics, and their transports may still reach the factory then.
Transport_Factory& Current_Factory() {
    static Transport_Factory* factory = new Transport_Factory;
    return *factory;
}

}  // namespace

Transport_Factory Set_Transport_Factory(Transport_Factory factory) {
    std::lock_guard<std::mutex> lock(factory_lock);
    std::swap(Current_Factory(), factory);
    return factory;
}

std::unique_ptr<Lan_Transport> Make_Transport(const std::string& host, int32_t port,
                                              std::string* status_text) {
    Transport_Factory factory;
    {
        std::lock_guard<std::mutex> lock(factory_lock);
        factory = Current_Factory();
    }
    if (factory) {
        return factory(host, port, status_text);
    }
    return std::make_unique<Lan_Tcp_Socket>(host, port, Is_Numeric_Address(host), status_text);
}

}  // namespace tivrel
