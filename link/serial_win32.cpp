// Serial link backend for Windows: the Win32 communications functions of kernel32.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/interrupt.h"
#include "common/time_limits.h"
#include "link/serial_link.h"
#include "link/win32_console.h"
#include "link/win32_port_name.h"

namespace kelvo {

namespace {

// A write handed to the port and not yet complete: the bytes and the OVERLAPPED record stay
// alive, at a fixed address, until the port is done with them.
struct PendingWrite {
    std::vector<std::uint8_t> bytes;
    OVERLAPPED osWrite{};
};

}  // namespace

struct PortHandle::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD baud = 9600;
    DCB savedDcb{};
    COMMTIMEOUTS savedTimeouts{};
    std::list<std::unique_ptr<PendingWrite>> pending;  // in the order they were handed over
};

void PortHandle::StateDeleter::operator()(State* state) const {
    delete state;
}

namespace {

// Errors that mean the device itself has gone (an adapter pulled out, the peer closed).
bool isLinkFailure(DWORD error) {
    return error == ERROR_NOT_READY || error == ERROR_BROKEN_PIPE || error == ERROR_BAD_COMMAND ||
           error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_NOT_CONNECTED ||
           error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
           error == ERROR_OPERATION_ABORTED || error == ERROR_FILE_NOT_FOUND;
}

// Forgets the writes that have completed, front to back, so that order is kept.
void reapWrites(PortHandle& port) {
    PortHandle::State* s = port.state();
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
    PortHandle::State* s = port.state();
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

OpenResult openPort(PortHandle& port, const char* name, const char* baudText) {
    closePort(port);
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

    PortHandle::StatePtr state(new PortHandle::State);
    GetCommTimeouts(handle, &state->savedTimeouts);
    COMMTIMEOUTS CommTimeOuts{};
    CommTimeOuts.ReadIntervalTimeout = 0xFFFFFFFF;
    CommTimeOuts.ReadTotalTimeoutMultiplier = 0;
    CommTimeOuts.ReadTotalTimeoutConstant = 0;
    CommTimeOuts.WriteTotalTimeoutMultiplier = BaudRate > 0 ? static_cast<DWORD>(19200 / BaudRate) : 0;
    CommTimeOuts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &CommTimeOuts)) {
        say("%s", kMsgPortNotReady);
        CloseHandle(handle);
        return OpenResult::cannotConfigure;
    }

    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &Dcb)) {
        say("%s", kMsgPortNotReady);
        CloseHandle(handle);
        return OpenResult::cannotConfigure;
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
        say("%s", kMsgPortSetupFailed);
        SetCommTimeouts(handle, &state->savedTimeouts);
        CloseHandle(handle);
        return OpenResult::cannotConfigure;
    }

    state->handle = handle;
    state->baud = static_cast<DWORD>(BaudRate);
    port.adopt(std::move(state), name);
    return OpenResult::opened;
}

bool sendBytes(PortHandle& port, const std::uint8_t* bytes, std::size_t count) {
    PortHandle::State* s = port.state();
    if (s == nullptr || port.lost()) return false;
    reapWrites(port);
    // The port keeps its own copy: the caller's buffer may be gone before the write completes.
    auto write = std::make_unique<PendingWrite>();
    write->bytes.assign(bytes, bytes + count);
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
    if (isLinkFailure(error)) port.markLost();
    return false;
}

std::size_t receiveQueued(PortHandle& port, std::uint8_t* buffer, std::size_t maximum, std::uint32_t waitMs) {
    PortHandle::State* s = port.state();
    if (s == nullptr || port.lost() || maximum == 0) return 0;
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
    OVERLAPPED osRead{};
    DWORD read = 0;
    if (!ReadFile(s->handle, buffer, static_cast<DWORD>(n), &read, &osRead)) {
        DWORD error = GetLastError();
        // The bytes are already queued, so a pending read completes at once.
        if (error != ERROR_IO_PENDING || !GetOverlappedResult(s->handle, &osRead, &read, TRUE)) {
            if (error == ERROR_IO_PENDING) error = GetLastError();
            if (isLinkFailure(error)) port.markLost();
            ClearCommError(s->handle, &ErrorFlags, &ComStat);
            return 0;
        }
    }
    return read;
}

void closePort(PortHandle& port) {
    if (port.state() == nullptr) return;
    // Pending writes, the reset among them, reach the line before the queues are purged. Once
    // they have, only the input is discarded: an output purge would drop what the line has not
    // delivered yet (under Wine on a pty, what the other end has not read). Output that would not
    // drain in time is aborted and discarded.
    const bool drained = finishWrites(port);
    PortHandle::StatePtr s = port.release();
    PurgeComm(s->handle, drained ? PURGE_RXABORT | PURGE_RXCLEAR
                                 : PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    SetCommState(s->handle, &s->savedDcb);
    SetCommTimeouts(s->handle, &s->savedTimeouts);
    CloseHandle(s->handle);
}

BOOL WINAPI consoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        requestInterrupt();
        return TRUE;
    }
    return FALSE;
}

void protectStandardStreams() {
    // Nothing to do: the port is a handle, not a C descriptor, so it cannot take the number of a
    // closed standard descriptor, and there is no SIGPIPE: a console write to a pipe whose reader
    // has gone only fails.
}

void installInterruptHandler() {
    SetConsoleCtrlHandler(consoleControl, TRUE);
}

}  // namespace kelvo
