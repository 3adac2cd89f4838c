#pragma once

#include <string>

#include "common/update_events.h"
#include "image/hex_file.h"

namespace kelvo {

// The system's own words, which every front end shows exactly as they stand (spelling included):
// kelvoup prints them, the station records them and the web page shows them as the tool's messages.

// The text of an event of an update ("" for events that say nothing).
std::string eventText(const UpdateEvent& event);

// The text of an event as one line, for a record or a log panel: without the line ends around it.
std::string eventLine(const UpdateEvent& event);

// Whether the event is one that a failed update reports (its text says what went wrong).
bool reportsFailure(EventKind kind);

// Texts of a file or a port that cannot be used.
std::string cannotOpenFileText(const char* name);
std::string badHexFileText(const HexProblem& problem);
std::string cannotOpenPortText(const char* name);

// Without the line ends around it: for a record, a table or a log panel.
std::string asOneLine(const std::string& text);

extern const char kMsgPortNotReady[];
extern const char kMsgPortSetupFailed[];
extern const char kMsgInterrupted[];

}  // namespace kelvo
