#include "Lan_transport.h"

#include <mutex>
#include <new>
#include <utility>

#include "Lan_socket.h"

namespace tivrel {

namespace {

// Links on different threads connect at the same time; the lock keeps a factory that is being
// replaced from being read half-written.
std::mutex factory_lock;

// Never destroyed: links still in the table when the process ends are torn down after the
// other statics, and their transports may still reach the factory then. It lives in static
// storage rather than on the heap, so that unloading the library leaves nothing behind.
Transport_Factory& Current_Factory() {
    alignas(Transport_Factory) static unsigned char storage[sizeof(Transport_Factory)];
    static Transport_Factory* factory = new (storage) Transport_Factory;
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
