#pragma once

#include <string>

namespace kelvo {

// The path that opens a serial interface on Windows: a name of the form COMn (any n, any case)
// becomes \\.\COMn, since COM10 and above open only in that form; any other name, one already in
// the \\.\ form among them, is passed unchanged.
std::string win32PortPath(const std::string& name);

}  // namespace kelvo
