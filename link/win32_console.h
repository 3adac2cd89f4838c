#pragma once

#include <windows.h>

namespace kelvo {

// The console control handler: Ctrl-C, Ctrl-Break and closing the console window interrupt the
// run (TRUE: handled, the process is not killed); other events go to the next handler.
BOOL WINAPI consoleControl(DWORD event);

}  // namespace kelvo
