#pragma once

#include <cstdio>

namespace kelvo {

// All console text of the tool goes through say(): printf-style, to standard output
// unless a test has redirected it. Each message is flushed at once when the output is
// a terminal; redirected output is buffered as usual.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...);

// Sends console text to `sink` (nullptr restores standard output). Used by tests.
void setConsole(std::FILE* sink);

std::FILE* console();

}  // namespace kelvo
