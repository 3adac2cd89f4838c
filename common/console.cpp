#include "common/console.h"

#include <unistd.h>  // isatty; mingw-w64 provides it as well

#include <cstdarg>

namespace kelvo {

namespace {
std::FILE* gSink = nullptr;
int gInteractive = -1;  // -1: not yet known

bool interactive(std::FILE* out) {
    if (out != stdout) return true;
    if (gInteractive < 0) gInteractive = isatty(fileno(stdout)) ? 1 : 0;
    return gInteractive == 1;
}
}  // namespace

std::FILE* console() {
    return gSink != nullptr ? gSink : stdout;
}

void setConsole(std::FILE* sink) {
    gSink = sink;
}

void say(const char* format, ...) {
    std::FILE* out = console();
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    if (interactive(out)) std::fflush(out);
}

}  // namespace kelvo
