#include "update/update_text.h"

#include <cstdio>

namespace kelvo {

const char kMsgPortNotReady[] =
    "\nPlease make sure your serial port is connected and not opened by other application. "
    "Then run this program again.";
const char kMsgPortSetupFailed[] =
    "\nError occurs when setting up your serial port. Please contact Varnoth support. ";
const char kMsgInterrupted[] = "\nInterrupted. The device has not been updated: reset it and update again.\n";

namespace {

std::string format(const char* pattern, long value) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

std::string eventText(const UpdateEvent& event) {
    switch (event.kind) {
        case EventKind::contacting: return "\nEstablishing connection to the target Kelvo device.";
        case EventKind::targetSilent: return "\nThe target Kelvo device is not responding, pleas try again.";
        case EventKind::identifying: return "\nReading Target Device ID";
        case EventKind::chipIdentified: return "";
        case EventKind::chipUnknown:
            return "\nThe target chip is not responding. Please reset the device and run this program "
                   "immidiately after reset.";
        case EventKind::noMemory:
            return "\nNot enough memory on your computer. Please change another computer and try again.";
        case EventKind::placing: return "\nReading HexFile";
        case EventKind::wordOutOfRange: {
            char text[64];
            std::snprintf(text, sizeof text, "Bad Hex file: 0x%xAddress out of range\n", event.address);
            return text;
        }
        case EventKind::nothingToWrite: return "\nBad Hex file: nothing in it can be written to this chip.\n";
        case EventKind::programming: return "\nProgramming Device ";
        case EventKind::rowWritten: return format("\nwritng data blocks - block # %ld", event.block);
        case EventKind::frameResent: return "";
        case EventKind::rowRejected:
            return format(
                "\nThe target Kelvo device did not accept block # %ld. Update failed. Please update "
                "again or contact Varnoth technical support.\n",
                event.block);
        case EventKind::transmitted: return "\nTransmitting firmware finished.";
        case EventKind::validating: return "\nStart validating firmware.";
        case EventKind::rowChecked: return format("\nValidating data block # %ld", event.block);
        case EventKind::badData: return format("\nATTENTION: block #%ld has bad data. ", event.block);
        case EventKind::passed:
            return "\nThe target device passed firmware validation."
                   "\n\nFrimware has been successfully updated. Please restart your device to use new "
                   "version.\n";
        case EventKind::validationFailed:
            return "\nFirmware did not pass the validation. Update failed. Please update again or contact "
                   "Varnoth "
                   "technical support.\n";
        case EventKind::portLost:
            return std::string("\nLost connection to serial port ") +
                   (event.text != nullptr ? event.text : "") + ".\n";
    }
    return "";
}

std::string asOneLine(const std::string& text) {
    const std::size_t first = text.find_first_not_of("\n ");
    if (first == std::string::npos) return "";
    const std::size_t last = text.find_last_not_of("\n ");
    // Line ends inside (the two lines of the success text) become one blank.
    std::string line;
    for (std::size_t i = first; i <= last; ++i) {
        if (text[i] != '\n') {
            line += text[i];
        } else if (line.back() != ' ') {
            line += ' ';
        }
    }
    return line;
}

std::string eventLine(const UpdateEvent& event) {
    return asOneLine(eventText(event));
}

std::string cannotOpenFileText(const char* name) {
    return std::string("\nCan't open file: ") + (name != nullptr ? name : "(null)") + "\n";
}

std::string badHexFileText(const HexProblem& problem) {
    char text[200];
    std::snprintf(text, sizeof text, "\nBad Hex file: line %u: %s\n", problem.line, problem.reason);
    return text;
}

std::string cannotOpenPortText(const char* name) {
    return std::string(
               "\nNot able to open serial port. Please make sure no other applications using Communication "
               "Port ") +
           (name != nullptr ? name : "(null)") + ".";
}

bool reportsFailure(EventKind kind) {
    switch (kind) {
        case EventKind::targetSilent:
        case EventKind::chipUnknown:
        case EventKind::noMemory:
        case EventKind::nothingToWrite:
        case EventKind::rowRejected:
        case EventKind::badData:
        case EventKind::validationFailed:
        case EventKind::portLost: return true;
        default: return false;
    }
}

}  // namespace kelvo
