#include "cli/update_driver.h"

#include <cstdio>
#include <memory>
#include <string>

#include "image/hex_file.h"
#include "image/hex_loader.h"
#include "link/port_url.h"
#include "link/serial_link.h"
#include "update/device_update.h"
#include "update/update_text.h"

namespace kelvo {

namespace {

// After a port that does not exist or may not be opened: the ports there are, and what to do
// about a missing permission.
void hintAtPorts(Console& console, OpenResult opened, const char* interfaceName) {
    if (opened != OpenResult::noSuchPort && opened != OpenResult::noPermission) return;
    console.say("\nSerial ports on this computer: %s\n", listSerialPorts().c_str());
    if (opened != OpenResult::noPermission) return;
    const std::string group = portGroup(interfaceName);
    if (!group.empty()) {
        console.say(
            "\nPermission denied: add yourself to the group `%s' (sudo usermod -aG %s $USER) and log "
            "in again.\n",
            group.c_str(), group.c_str());
    } else {
        console.say(
            "\nPermission denied: you have no access to %s, and no group you could join has; an "
            "administrator must grant it.\n",
            interfaceName);
    }
}

void printUsage(Console& console) {
    console.say("\nUsage:      KelvoUp.exe -i interface file\n");
    console.say("Options:\n");
    console.say("  -i        specifies serial interface name such as COM1, COM2, etc\n\n");
}

int updateSteps(char* const* argv, Console& console, StopRequest& stop, const TimeLimits& limits) {
    PortHandle ComDev;
    const char* interfaceName = nullptr;
    const char* baudText = "9600";
    HexFile hexFile;

    OptionScanner ProgCommand(argv, "i:b:p:e:");
    const int scan = scanCommandLine(ProgCommand, interfaceName, hexFile, console, stop);
    if (scan != kScanComplete) return scan;

    // The file is read once, and checked as it is read, before the port is touched: no bad file
    // reaches the chip, and what reaches the rows is what was checked (a pipe or a file
    // replaced during the handshake makes no difference).
    HexImage image;
    const bool hexFileNamed = hexFile != nullptr;
    if (hexFileNamed) {
        HexProblem problem;
        const HexRead read = readHexFile(hexFile.get(), image, problem, &stop);
        hexFile.reset();
        if (read == HexRead::interrupted) return kExitInterrupted;
        if (read == HexRead::bad) {
            console.write(badHexFileText(problem));
            return kExitFailed;
        }
    }

    const RunContext context{&limits, &stop, &console};
    const OpenResult opened = openPort(ComDev, interfaceName, baudText, context);
    if (opened == OpenResult::notReady || opened == OpenResult::cannotConfigure) {
        console.say("%s", opened == OpenResult::notReady ? kMsgPortNotReady : kMsgPortSetupFailed);
        return kExitFailed;
    }
    if (opened != OpenResult::opened) {
        // A network port's connection may take seconds: Ctrl-C ends that wait.
        if (stop.requested()) return kExitInterrupted;
        console.write(cannotOpenPortText(interfaceName));
        if (opened == OpenResult::networkFailure) console.say("\nNetwork: %s.\n", ComDev.openProblem().c_str());
        hintAtPorts(console, opened, interfaceName);
        return kExitFailed;
    }

    FileImageSource source(hexFileNamed ? &image : nullptr);
    const UpdateResult result = runDeviceUpdate(ComDev, source);
    // A raw TCP port cannot set the line: a device that never answered may be on a line the
    // device server runs otherwise.
    if (result.outcome == UpdateOutcome::failed && result.phase == UpdatePhase::contact && !ComDev.broken() &&
        parsePortUrl(interfaceName).kind == PortKind::rawTcp) {
        console.say(
            "\nA socket:// port passes the bytes as they are: the device server's port must be set to %s "
            "baud, 8 data bits, odd parity, 1 stop bit.\n",
            baudText);
    }
    switch (result.outcome) {
        case UpdateOutcome::passed: return kExitUpdated;
        case UpdateOutcome::interrupted: return kExitInterrupted;
        case UpdateOutcome::failed: return kExitFailed;
        case UpdateOutcome::noImage:
            // Here the scanner's argument is the interface name of the last -i.
            console.write(cannotOpenFileText(ProgCommand.optionArg()));
            printUsage(console);
            return kExitUsage;
    }
    return kExitFailed;
}

}  // namespace

int scanCommandLine(OptionScanner& scanner, const char*& interfaceName, HexFile& hexFile, Console& console,
                    const StopRequest& stop) {
    for (char code = scanner.next(); code != 0; code = scanner.next()) {
        if (code == '.' && !scanner.unknownOption()) {
            // A later file name replaces an earlier one.
            hexFile = openHexFile(scanner.optionArg());
            if (!hexFile) {
                // Opening a FIFO waits for its writer; a stop request ends that wait.
                if (stop.requested()) return kExitInterrupted;
                console.write(cannotOpenFileText(scanner.optionArg()));
                return kExitFailed;
            }
        } else if (code == 'i') {
            if (scanner.optionArg() == nullptr) {
                console.say("\n-i requires argument\n");
                printUsage(console);
                return kExitUsage;
            }
            interfaceName = scanner.optionArg();
        } else {
            console.say("\nUnknown option `%c'\n", code);
            printUsage(console);
            return kExitUsage;
        }
    }
    if (interfaceName == nullptr) {
        printUsage(console);
        return kExitUsage;
    }
    return kScanComplete;
}

int runUpdate(char* const* argv, std::FILE* out, StopRequest& stop, const TimeLimits& limits) {
    Console console(out);
    const int status = updateSteps(argv, console, stop, limits);
    if (status == kExitInterrupted) console.say("%s", kMsgInterrupted);
    return status;
}

}  // namespace kelvo
