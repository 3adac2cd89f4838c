// Serial link backend for Windows: the Win32 communications functions of kernel32.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/time_limits.h"
#include "link/port_state.h"
#include "link/serial_link.h"
#include "link/win32_io.h"
#include "link/win32_port_name.h"

namespace kelvo {

namespace {

// A manual-reset event of its own for one OVERLAPPED record: with several I/Os in flight the port
// handle is signalled by whichever completes, so nothing may wait on the handle.
struct Event {
    Event() : handle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (handle != nullptr) CloseHandle(handle);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE handle;
};

// A write handed to the port and not yet complete: the bytes and the OVERLAPPED record stay
// alive, at a fixed address, until the port is done with them.
struct PendingWrite {
    std::vector<std::uint8_t> bytes;
    Event done;
    OVERLAPPED osWrite{};
};

class Win32SerialPort final : public PortHandle::State {
public:
    bool send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) override;
    std::size_t receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                        std::uint32_t waitMs) override;
    void close(PortHandle& port) override;

    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD baud = 9600;
    DCB savedDcb{};
    COMMTIMEOUTS savedTimeouts{};
    std::list<std::unique_ptr<PendingWrite>> pending;  // in the order they were handed over
    Event readDone;                                    // for the one read in flight at a time
};

// The port's state when it is a serial port of this backend (nullptr for a network port).
Win32SerialPort* serialState(PortHandle& port) {
    return dynamic_cast<Win32SerialPort*>(port.state());
}

// Errors that mean the device itself has gone. Anything else (ERROR_OPERATION_ABORTED after a
// parity or framing error on a port with abort-on-error set, among them) is a failed I/O only.
bool isLinkFailure(DWORD error) {
    switch (error) {
        case ERROR_NOT_READY:             // the peer closed (seen under Wine)
        case ERROR_BROKEN_PIPE:           // a pending read when the peer closed
        case ERROR_BAD_COMMAND:           // the device no longer knows the request
        case ERROR_GEN_FAILURE:           // a USB adapter pulled out during an I/O
        case ERROR_DEVICE_NOT_CONNECTED:  // a USB adapter pulled out
        case ERROR_ACCESS_DENIED:         // the device was removed while open
        case ERROR_INVALID_HANDLE:        // the handle is no longer the device's
        case ERROR_FILE_NOT_FOUND:        // the device node has gone
            return true;
        default: return false;
    }
}

// After a line error on a port whose abort-on-error flag is set, every read and write fails with
// ERROR_OPERATION_ABORTED until the error is cleared. The tool keeps that flag as it found it, so
// it clears the error and goes on.
void clearLineError(HANDLE handle) {
    DWORD ErrorFlags = 0;
    COMSTAT ComStat{};
    ClearCommError(handle, &ErrorFlags, &ComStat);
}

// Forgets the writes that have completed, front to back, so that order is kept.
void reapWrites(PortHandle& port) {
    Win32SerialPort* s = serialState(port);
    while (!s->pending.empty()) {
        PendingWrite& front = *s->pending.front();
        DWORD done = 0;
        if (!GetOverlappedResult(s->handle, &front.osWrite, &done, FALSE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE || error == ERROR_IO_PENDING) return;
            if (isLinkFailure(error)) port.markLost();
        }
        s->pending.pop_front();
    }
}

// Bytes still in the driver's output queue.
DWORD outputQueued(HANDLE handle) {
    DWORD ErrorFlags = 0;
    COMSTAT ComStat{};
    return ClearCommError(handle, &ErrorFlags, &ComStat) ? ComStat.cbOutQue : 0;
}

// Waits, for at most the time the line needs, until every pending write is complete and the
// driver's output queue is empty. True when everything left; a write that did not finish by then
// is cancelled before its buffer is released, and false is returned.
bool finishWrites(PortHandle& port) {
    Win32SerialPort* s = serialState(port);
    std::size_t queued = outputQueued(s->handle);
    for (const auto& w : s->pending) queued += w->bytes.size();
    const DWORD limit = transmissionMs(queued, s->baud);
    const DWORD start = GetTickCount();
    reapWrites(port);
    while ((!s->pending.empty() || outputQueued(s->handle) > 0) && !port.lost() &&
           GetTickCount() - start < limit) {
        Sleep(1);
        reapWrites(port);
    }
    const bool drained = s->pending.empty();
    for (auto& w : s->pending) {
        DWORD done = 0;
        CancelIoEx(s->handle, &w->osWrite);
        GetOverlappedResult(s->handle, &w->osWrite, &done, TRUE);
    }
    s->pending.clear();
    return drained;
}

}  // namespace

OpenResult openSerialPort(PortHandle& port, const char* name, const char* baudText,
                          const RunContext& context) {
    int BaudRate = 0;
    if (std::sscanf(baudText, "%d", &BaudRate) != 1) BaudRate = 0;

    const std::string path = win32PortPath(name);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OpenResult::noSuchPort
                                                                              : OpenResult::cannotOpen;
    }

    SetCommMask(handle, EV_RXCHAR);
    SetupComm(handle, 4096, 4096);
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    auto state = std::make_unique<Win32SerialPort>();
    GetCommTimeouts(handle, &state->savedTimeouts);
    COMMTIMEOUTS CommTimeOuts{};
    CommTimeOuts.ReadIntervalTimeout = 0xFFFFFFFF;
    CommTimeOuts.ReadTotalTimeoutMultiplier = 0;
    CommTimeOuts.ReadTotalTimeoutConstant = 0;
    CommTimeOuts.WriteTotalTimeoutMultiplier = BaudRate > 0 ? static_cast<DWORD>(19200 / BaudRate) : 0;
    CommTimeOuts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &CommTimeOuts)) {
        CloseHandle(handle);
        return OpenResult::notReady;
    }

    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &Dcb)) {
        CloseHandle(handle);
        return OpenResult::notReady;
    }
    state->savedDcb = Dcb;
    Dcb.BaudRate = static_cast<DWORD>(BaudRate);
    Dcb.ByteSize = 8;
    Dcb.Parity = ODDPARITY;
    Dcb.StopBits = ONESTOPBIT;
    Dcb.fParity = TRUE;
    Dcb.fBinary = TRUE;
    Dcb.fOutxCtsFlow = FALSE;
    Dcb.fOutxDsrFlow = FALSE;
    Dcb.fDtrControl = DTR_CONTROL_DISABLE;
    Dcb.fRtsControl = RTS_CONTROL_DISABLE;
    Dcb.fOutX = FALSE;
    Dcb.fInX = FALSE;
    Dcb.XonLim = 2048;
    Dcb.XoffLim = 512;
    if (BaudRate <= 0 || !SetCommState(handle, &Dcb)) {
        SetCommTimeouts(handle, &state->savedTimeouts);
        CloseHandle(handle);
        return OpenResult::cannotConfigure;
    }

    state->handle = handle;
    state->baud = static_cast<DWORD>(BaudRate);
    port.adopt(PortHandle::StatePtr(state.release()), name, static_cast<std::uint32_t>(BaudRate), context);
    return OpenResult::opened;
}

bool Win32SerialPort::send(PortHandle& port, const std::uint8_t* bytes, std::size_t count) {
    Win32SerialPort* s = this;
    reapWrites(port);
    // The port keeps its own copy: the caller's buffer may be gone before the write completes.
    auto write = std::make_unique<PendingWrite>();
    if (write->done.handle == nullptr) return false;
    write->bytes.assign(bytes, bytes + count);
    for (int attempt = 0; attempt < 2; ++attempt) {
        write->osWrite = OVERLAPPED{};
        write->osWrite.hEvent = write->done.handle;
        ResetEvent(write->done.handle);
        DWORD BytesWritten = 0;
        if (WriteFile(s->handle, write->bytes.data(), static_cast<DWORD>(count), &BytesWritten,
                      &write->osWrite)) {
            return BytesWritten == count;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            s->pending.push_back(std::move(write));
            return false;  // still in progress
        }
        if (isLinkFailure(error)) {
            port.markLost();
            return false;
        }
        if (error != ERROR_OPERATION_ABORTED) return false;
        clearLineError(s->handle);  // and write it once more
    }
    return false;
}

std::size_t readPending(PortHandle& port, std::uint8_t* buffer, std::size_t count, std::uint32_t waitMs) {
    Win32SerialPort* s = serialState(port);
    if (s == nullptr || port.lost() || count == 0 || s->readDone.handle == nullptr) return 0;
    OVERLAPPED osRead{};
    osRead.hEvent = s->readDone.handle;
    ResetEvent(osRead.hEvent);
    DWORD read = 0;
    if (ReadFile(s->handle, buffer, static_cast<DWORD>(count), &read, &osRead)) return read;
    DWORD error = GetLastError();
    bool cancelled = false;
    if (error == ERROR_IO_PENDING) {
        // Nothing may write into the caller's buffer once this returns: a read still in flight
        // then is cancelled, and waited for, keeping the bytes it delivered.
        if (WaitForSingleObject(osRead.hEvent, waitMs) != WAIT_OBJECT_0) {
            cancelled = CancelIoEx(s->handle, &osRead) != 0;
        }
        if (GetOverlappedResult(s->handle, &osRead, &read, TRUE)) return read;
        error = GetLastError();
    }
    if (error == ERROR_OPERATION_ABORTED) {
        if (!cancelled) clearLineError(s->handle);
        return read;
    }
    if (isLinkFailure(error)) port.markLost();
    clearLineError(s->handle);
    return 0;
}

std::size_t Win32SerialPort::receive(PortHandle& port, std::uint8_t* buffer, std::size_t maximum,
                                     std::uint32_t waitMs) {
    Win32SerialPort* s = this;
    DWORD ErrorFlags = 0;
    COMSTAT ComStat{};
    if (!ClearCommError(s->handle, &ErrorFlags, &ComStat)) {
        if (isLinkFailure(GetLastError())) port.markLost();
        return 0;
    }
    const std::size_t n = ComStat.cbInQue < maximum ? ComStat.cbInQue : maximum;
    if (n == 0) {
        Sleep(waitMs < 1 ? waitMs : 1);
        return 0;
    }
    // The bytes are already queued, so the read completes at once on any driver that behaves.
    constexpr std::uint32_t kQueuedReadMs = 20;
    return readPending(port, buffer, n, kQueuedReadMs);
}

void Win32SerialPort::close(PortHandle& port) {
    // Pending writes, the reset among them, reach the line before the queues are purged. Once
    // they have, only the input is discarded: an output purge would drop what the line has not
    // delivered yet (under Wine on a pty, what the other end has not read). Output that would not
    // drain in time is aborted and discarded.
    const bool drained = finishWrites(port);
    PurgeComm(handle, drained ? PURGE_RXABORT | PURGE_RXCLEAR
                              : PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    SetCommState(handle, &savedDcb);
    SetCommTimeouts(handle, &savedTimeouts);
    CloseHandle(handle);
}

}  // namespace kelvo
