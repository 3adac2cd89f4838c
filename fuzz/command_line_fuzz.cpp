// libFuzzer target: the option scanner driven as the updater drives it, on arbitrary argument
// vectors (the input split at NUL bytes, at most 32 entries).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/option_scanner.h"
#include "cli/update_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* quiet = std::fopen("/dev/null", "w");
    static kelvo::Console console(quiet);
    static const kelvo::StopRequest stop;
    std::vector<std::string> entries{"kelvoup"};
    std::string current;
    for (std::size_t i = 0; i < size && entries.size() < 32; ++i) {
        if (data[i] == 0) {
            entries.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty() && entries.size() < 32) entries.push_back(current);
    std::vector<char*> argv;
    for (std::string& entry : entries) argv.push_back(entry.data());
    argv.push_back(nullptr);

    kelvo::OptionScanner scanner(argv.data(), "i:b:p:e:");
    const char* interfaceName = nullptr;
    kelvo::HexFile hexFile;
    const int status = kelvo::scanCommandLine(scanner, interfaceName, hexFile, console, stop);
    if (status == kelvo::kScanComplete && interfaceName == nullptr) __builtin_trap();
    if (status != kelvo::kScanComplete && status != kelvo::kExitUsage && status != kelvo::kExitFailed) {
        __builtin_trap();
    }
    // Whatever the scan left as the argument points into the vector (or is null).
    const char* arg = scanner.optionArg();
    if (arg != nullptr) {
        bool inside = false;
        for (const std::string& entry : entries) {
            if (arg >= entry.data() && arg <= entry.data() + entry.size()) inside = true;
        }
        if (!inside) __builtin_trap();
    }
    return 0;
}
