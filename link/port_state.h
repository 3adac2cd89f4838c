#pragma once

// For the link's backends only: what every kind of open port does for the free functions of
// serial_link.h. The port's name picks the backend: a network port (port_url.h) or the platform's
// serial port.
#include <cstddef>
#include <cstdint>

#include "link/port_url.h"
#include "link/serial_link.h"

namespace kelvo {

struct PortHandle::State {
    virtual ~State() = default;
    // sendBytes: hands every byte over in order; true when all were taken in time.
    virtual bool send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) = 0;
    // receiveQueued: what is queued, or what arrives within waitMs (sliced, so that a stop
    // request is seen).
    virtual std::size_t receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                                std::uint32_t waitMs) = 0;
    // Where discardInput has found stale bytes queued here, the far end of a network port
    // discards what it still holds for us. A local port has no far end.
    virtual void purgeRemoteInput(PortHandle& /*port*/) {}
    // closePort: lets pending output reach the line, restores what the open changed and closes.
    // The handle still owns the state while this runs.
    virtual void close(PortHandle& port) = 0;
};

// The platform's serial port (serial_posix.cpp, serial_win32.cpp, serial_webserial.cpp).
OpenResult openSerialPort(PortHandle& port, const char* name, const char* baudText,
                          const RunContext& context);

// A port of a device server on the network (net_port.cpp; net_unavailable.cpp where there is none).
OpenResult openNetworkPort(PortHandle& port, const char* name, const PortUrl& url, const char* baudText,
                           const RunContext& context);

}  // namespace kelvo
