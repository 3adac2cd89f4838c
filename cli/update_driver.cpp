#include "cli/update_driver.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "cli/option_scanner.h"
#include "common/console.h"
#include "common/interrupt.h"
#include "common/time_limits.h"
#include "image/hex_file.h"
#include "image/hex_loader.h"
#include "image/memory_row.h"
#include "image/programming_pass.h"
#include "link/serial_link.h"
#include "protocol/bootloader.h"
#include "verify/read_back.h"

namespace kelvo {

namespace {

// Releases the rows whenever the run ends.
struct RowRelease {
    explicit RowRelease(RowTable* rows) : table(rows) {}
    ~RowRelease() { freeRows(table); }
    RowTable* table;
    RowRelease(const RowRelease&) = delete;
    RowRelease& operator=(const RowRelease&) = delete;
};

// The status of a run that ends on a failure: an interrupted run reports the interrupt.
int failed() {
    return interruptRequested() ? kExitInterrupted : kExitFailed;
}

// Opens a file to read it in binary (the reader handles every line end itself); a directory
// opens on some systems but cannot be read, so it counts as a file that cannot be opened.
HexFile openHexFile(const char* path) {
    HexFile file(std::fopen(path, "rb"));
    struct stat info {};
    if (file && fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) file.reset();
    return file;
}

// After a port that does not exist or may not be opened: the ports there are, and what to do
// about a missing permission.
void hintAtPorts(OpenResult opened, const char* interfaceName) {
    if (opened != OpenResult::noSuchPort && opened != OpenResult::noPermission) return;
    say("\nSerial ports on this computer: %s\n", listSerialPorts().c_str());
    if (opened != OpenResult::noPermission) return;
    const std::string group = portGroup(interfaceName);
    if (!group.empty()) {
        say("\nPermission denied: add yourself to the group `%s' (sudo usermod -aG %s $USER) and log "
            "in again.\n",
            group.c_str(), group.c_str());
    } else {
        say("\nPermission denied: you have no access to %s, and no group you could join has; an "
            "administrator must grant it.\n",
            interfaceName);
    }
}

void printUsage() {
    say("\nUsage:      KelvoUp.exe -i interface file\n");
    say("Options:\n");
    say("  -i        specifies serial interface name such as COM1, COM2, etc\n\n");
}

}  // namespace

int scanCommandLine(OptionScanner& scanner, const char*& interfaceName, HexFile& hexFile) {
    for (char code = scanner.next(); code != 0; code = scanner.next()) {
        if (code == '.' && !scanner.unknownOption()) {
            // A later file name replaces an earlier one.
            hexFile = openHexFile(scanner.optionArg());
            if (!hexFile) {
                // Opening a FIFO waits for its writer; Ctrl-C ends that wait.
                if (interruptRequested()) return kExitInterrupted;
                say("\nCan't open file: %s\n", scanner.optionArg());
                return kExitFailed;
            }
        } else if (code == 'i') {
            if (scanner.optionArg() == nullptr) {
                say("\n-i requires argument\n");
                printUsage();
                return kExitUsage;
            }
            interfaceName = scanner.optionArg();
        } else {
            say("\nUnknown option `%c'\n", code);
            printUsage();
            return kExitUsage;
        }
    }
    if (interfaceName == nullptr) {
        printUsage();
        return kExitUsage;
    }
    return kScanComplete;
}

namespace {

int updateSteps(char* const* argv) {
    PortHandle ComDev;
    const char* interfaceName = nullptr;
    const char* baudText = "9600";
    HexFile hexFile;

    OptionScanner ProgCommand(argv, "i:b:p:e:");
    const int scan = scanCommandLine(ProgCommand, interfaceName, hexFile);
    if (scan != kScanComplete) return scan;

    // The file is read once, and checked as it is read, before the port is touched: no bad file
    // reaches the chip, and what reaches the rows is what was checked (a pipe or a file
    // replaced during the handshake makes no difference).
    HexImage image;
    const bool hexFileNamed = hexFile != nullptr;
    if (hexFileNamed) {
        const HexRead read = readHexFile(hexFile.get(), image);
        hexFile.reset();
        if (read == HexRead::interrupted) return kExitInterrupted;
        if (read == HexRead::bad) return kExitFailed;
    }

    const OpenResult opened = openPort(ComDev, interfaceName, baudText);
    if (opened == OpenResult::cannotConfigure) return kExitFailed;
    if (opened != OpenResult::opened) {
        say("\nNot able to open serial port. Please make sure no other applications using "
            "Communication Port %s.",
            interfaceName);
        hintAtPorts(opened, interfaceName);
        return kExitFailed;
    }

    auto table = std::make_unique<RowTable>();
    const RowRelease release(table.get());

    say("\nEstablishing connection to the target Kelvo device.");
    if (!waitForTarget(ComDev)) {
        if (!ComDev.lost()) say("\nThe target Kelvo device is not responding, pleas try again.");
        return failed();
    }

    const DeviceFamily family = readDeviceFamily(ComDev);
    if (ComDev.lost()) return failed();
    if (family == DeviceFamily::none) {
        say("\nThe target chip is not responding. Please reset the device and run this program "
            "immidiately after reset.");
        return kExitFailed;
    }

    if (!allocateRows(*table, family)) {
        say("\nNot enough memory on your computer. Please change another computer and try again.");
        return kExitFailed;
    }

    if (!hexFileNamed) {
        // Here the scanner's argument is the interface name of the last -i.
        say("\nCan't open file: %s\n", ProgCommand.optionArg());
        printUsage();
        return kExitUsage;
    }

    if (placeImage(image, *table) == 0) {
        say("\nBad Hex file: nothing in it can be written to this chip.\n");
        sendReset(ComDev);
        return kExitFailed;
    }
    const PassResult pass = runProgrammingPass(ComDev, *table);
    if (pass == PassResult::lost) return failed();
    if (pass == PassResult::rejected) {
        sendReset(ComDev);
        return kExitFailed;
    }

    say("\nStart validating firmware.");
    sleepMs(timeLimits().pauseMs);
    if (ComDev.lost()) return failed();

    const bool passed = verify(ComDev, family, table.get());
    if (ComDev.lost()) return failed();
    if (passed) {
        // The image is on the chip: an interrupt from here on changes nothing, the reset goes out.
        ComDev.settle();
        say("\nThe target device passed firmware validation.");
        say("\n\nFrimware has been successfully updated. Please restart your device to use new "
            "version.\n");
    } else {
        say("\nFirmware did not pass the validation. Update failed. Please update again or "
            "contact Varnoth technical support.\n");
    }
    sendReset(ComDev);
    return passed ? kExitUpdated : kExitFailed;
}

}  // namespace

int runUpdate(char* const* argv) {
    const int status = updateSteps(argv);
    if (status == kExitInterrupted) {
        say("\nInterrupted. The device has not been updated: reset it and update again.\n");
    }
    return status;
}

}  // namespace kelvo
