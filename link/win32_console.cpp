// The Windows console: Ctrl-C and the standard streams.
#include "link/win32_console.h"

#include <windows.h>

#include "common/stop_request.h"
#include "link/serial_link.h"

namespace kelvo {

namespace {
StopRequest* gStopOnEvent = nullptr;

void requestStop() {
    if (gStopOnEvent != nullptr) gStopOnEvent->request();
}
}  // namespace

BOOL WINAPI consoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: requestStop(); return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // Windows ends the process as soon as this returns. The run closes and restores the
            // port and ends the process itself well within the grace Windows gives (5 s).
            requestStop();
            Sleep(kConsoleCloseGraceMs);
            return TRUE;
        default: return FALSE;
    }
}

void protectStandardStreams() {
    // Nothing to do: the port is a handle, not a C descriptor, so it cannot take the number of a
    // closed standard descriptor, and there is no SIGPIPE: a console write to a pipe whose reader
    // has gone only fails.
}

void installInterruptHandler(StopRequest& stop) {
    gStopOnEvent = &stop;
    SetConsoleCtrlHandler(consoleControl, TRUE);
}

}  // namespace kelvo
