#pragma once

#include <windows.h>

namespace kelvo {

// The console control handler: Ctrl-C, Ctrl-Break, closing the console window, logging off and
// shutting down interrupt the run (TRUE: handled). For the last three Windows ends the process
// once the handler returns, so the handler waits up to kConsoleCloseGraceMs while the run closes
// and restores the port. Other events go to the next handler.
BOOL WINAPI consoleControl(DWORD event);

inline constexpr DWORD kConsoleCloseGraceMs = 4500;

}  // namespace kelvo
