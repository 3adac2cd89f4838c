// Serial link backend for the web browser: a Web Serial port (navigator.serial).
//
// The update runs in a dedicated Worker, so that the page never waits for it. The page owns the
// SerialPort object and carries the bytes between it and the worker; the worker's end of that is
// the JavaScript object `kelvoSerial` (web/kelvo-worker.js):
//   open(baud)          Promise of 0 (open, DTR and RTS off), 1 (cannot be opened) or 2 (the line
//                       settings were refused)
//   write(bytes)        hands bytes to the port; writes go out in order
//   take(max)           the bytes already received, at most max (at once)
//   read(max, waitMs)   Promise of the bytes received within waitMs (empty: none came), or null
//                       once the port has gone (unplugged, an error of its streams)
//   close()             Promise, resolved once pending writes have gone out and the port is closed
// A wait here yields to the worker's event loop (Asyncify), so bytes and a Cancel keep arriving.
#include <emscripten.h>

#include <cstdio>

#include "common/stop_request.h"
#include "link/port_state.h"
#include "link/serial_link.h"

namespace kelvo {

namespace {

// The JavaScript in these is not C++: clang-format would break its === operators.
// clang-format off
EM_ASYNC_JS(int, kelvoSerialOpen, (int baud), { return await globalThis.kelvoSerial.open(baud); });

EM_JS(void, kelvoSerialWrite, (const std::uint8_t* bytes, std::size_t count), {
    globalThis.kelvoSerial.write(HEAPU8.slice(bytes, bytes + count));
});

EM_JS(int, kelvoSerialTake, (std::uint8_t* buffer, std::size_t maximum), {
    const got = globalThis.kelvoSerial.take(maximum);
    if (got === null) return -1;
    HEAPU8.set(got, buffer);
    return got.length;
});

EM_ASYNC_JS(int, kelvoSerialRead, (std::uint8_t* buffer, std::size_t maximum, int waitMs), {
    const got = await globalThis.kelvoSerial.read(maximum, waitMs);
    if (got === null) return -1;
    HEAPU8.set(got, buffer);
    return got.length;
});

EM_ASYNC_JS(void, kelvoSerialClose, (), { await globalThis.kelvoSerial.close(); });
// clang-format on

class WebSerialPort final : public PortHandle::State {
public:
    bool send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) override;
    std::size_t receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                        std::uint32_t waitMs) override;
    void close(PortHandle& port) override;
};

}  // namespace

OpenResult openSerialPort(PortHandle& port, const char* name, const char* baudText,
                          const RunContext& context) {
    int baud = 0;
    if (std::sscanf(baudText, "%d", &baud) != 1 || baud <= 0) return OpenResult::cannotConfigure;
    switch (kelvoSerialOpen(baud)) {
        case 0: break;
        case 2: return OpenResult::cannotConfigure;
        default: return OpenResult::cannotOpen;
    }
    port.adopt(PortHandle::StatePtr(new WebSerialPort), name, static_cast<std::uint32_t>(baud), context);
    return OpenResult::opened;
}

bool WebSerialPort::send(PortHandle& /*port*/, const std::uint8_t* bytes, std::size_t count) {
    kelvoSerialWrite(bytes, count);
    return true;
}

std::size_t WebSerialPort::receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                                   std::uint32_t waitMs) {
    int got = kelvoSerialTake(buffer, maximum);
    if (got == 0 && waitMs > 0) got = kelvoSerialRead(buffer, maximum, static_cast<int>(waitMs));
    if (got < 0) {
        port.markLost();
        return 0;
    }
    return static_cast<std::size_t>(got);
}

void WebSerialPort::close(PortHandle& /*port*/) {
    // Pending writes (the reset) go out before the port is closed, and its signals are left off.
    kelvoSerialClose();
}

void installInterruptHandler(StopRequest& /*stop*/) {
    // The page's Cancel button stops the update; there are no signals.
}

void protectStandardStreams() {
    // The page has no standard streams.
}

std::string listSerialPorts(const std::string& /*root*/) {
    return describePorts({});  // the browser's port chooser lists the ports
}

std::string portGroup(const char* /*name*/) {
    return "";
}

}  // namespace kelvo
