// The Windows console: Ctrl-C and the standard streams.
#include "link/win32_console.h"

#include <windows.h>

#include "common/interrupt.h"
#include "link/serial_link.h"

namespace kelvo {

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
