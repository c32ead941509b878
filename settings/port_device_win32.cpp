#include "settings/port_device.h"

#include "relay/network_port.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <type_traits>

namespace {

template <typename Handle>
HANDLE systemHandle(Handle handle) {
    if constexpr (std::is_pointer_v<Handle>) {
        return static_cast<HANDLE>(handle);
    } else {
        return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    }
}

}  // namespace

int portInputQueued(const SerialPort& port) {
    if (!port.isOpen()) return -1;
    // A socket is no comm handle: its own count of what waits to be read.
    if (port.network) {
        u_long queued = 0;
        if (ioctlsocket(static_cast<SOCKET>(port.network->fd()), FIONREAD, &queued) != 0) return -1;
        return static_cast<int>(queued);
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(systemHandle(port.handle.load()), &errors, &status)) return -1;
    return static_cast<int>(status.cbInQue);
}

// A comm handle does not tell which port it was opened as, and a name may be mapped to another
// port since: the port is opened again, as the system's own programs do on new settings.
bool portHoldsDevice(const SerialPort&, const std::string&) { return false; }
