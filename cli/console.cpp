#include "cli/console.h"

#include <unistd.h>  // isatty; mingw-w64 provides it as well

#include <cstdarg>

#include "update/update_text.h"

namespace kelvo {

Console::Console(std::FILE* out) : out_(out), interactive_(isatty(fileno(out)) != 0) {}

void Console::write(const std::string& text) {
    if (text.empty()) return;
    std::fwrite(text.data(), 1, text.size(), out_);
    if (interactive_) std::fflush(out_);
}

void Console::say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    if (interactive_) std::fflush(out_);
}

void Console::onEvent(const UpdateEvent& event) {
    write(eventText(event));
}

}  // namespace kelvo
