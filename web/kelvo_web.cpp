// The web page's way into the update core, compiled to WebAssembly and run in the page's worker
// (web/kelvo-worker.js): check a HEX file, update the device on the Web Serial port, stop.
#include <emscripten.h>

#include <cstdio>
#include <string>

#include "image/hex_file.h"
#include "image/hex_loader.h"
#include "link/serial_link.h"
#include "protocol/device_table.h"
#include "update/device_update.h"
#include "update/update_text.h"

namespace {

// The page's one update at a time: the file it checked last, and the Cancel of the update.
kelvo::HexImage gImage;
bool gImageReady = false;
std::string gProblem;
std::size_t gWords = 0;
kelvo::StopRequest gStop;

// The page knows an event by its name.
const char* kindName(kelvo::EventKind kind) {
    using K = kelvo::EventKind;
    switch (kind) {
        case K::contacting: return "contacting";
        case K::targetSilent: return "targetSilent";
        case K::identifying: return "identifying";
        case K::chipIdentified: return "chipIdentified";
        case K::chipUnknown: return "chipUnknown";
        case K::noMemory: return "noMemory";
        case K::placing: return "placing";
        case K::wordOutOfRange: return "wordOutOfRange";
        case K::nothingToWrite: return "nothingToWrite";
        case K::programming: return "programming";
        case K::rowWritten: return "rowWritten";
        case K::frameResent: return "frameResent";
        case K::rowRejected: return "rowRejected";
        case K::transmitted: return "transmitted";
        case K::validating: return "validating";
        case K::rowChecked: return "rowChecked";
        case K::badData: return "badData";
        case K::passed: return "passed";
        case K::validationFailed: return "validationFailed";
        case K::portLost: return "portLost";
    }
    return "";
}

// Every event goes to the page with the console tool's words for it. (JavaScript, not C++: kept
// out of clang-format's way.)
// clang-format off
EM_JS(void, kelvoWebEvent,
      (const char* kind, int block, std::uint32_t address, std::size_t count, std::size_t bytes, int deviceId, int revision,
       int family, const char* chip, const char* text),
      {
          globalThis.kelvoEvent({
              kind : UTF8ToString(kind),
              block : block,
              address : address,
              count : count,
              bytes : bytes,
              deviceId : deviceId,
              revision : revision,
              family : family,
              chip : chip ? UTF8ToString(chip) : "",
              text : UTF8ToString(text)
          });
      });
// clang-format on

class PageEvents : public kelvo::EventSink {
public:
    void onEvent(const kelvo::UpdateEvent& e) override {
        const std::string text = kelvo::eventText(e);
        kelvoWebEvent(kindName(e.kind), e.block, e.address, e.count, e.bytes, e.deviceId, e.revision,
                      e.family, e.text, text.c_str());
    }
};

}  // namespace

extern "C" {

// Checks a HEX file given as bytes, as kelvoup does before it touches a port. 0 when it is good
// (the update then writes it); otherwise the bad line's number, with kelvo_web_problem() saying
// what kelvoup would have said.
EMSCRIPTEN_KEEPALIVE int kelvo_web_check(const std::uint8_t* data, int size) {
    gImage = kelvo::HexImage();
    gImageReady = false;
    gProblem.clear();
    gWords = 0;
    // An empty file is a file too: it reads as nothing.
    static const std::uint8_t kNothing = 0;
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(size > 0 ? data : &kNothing),
                               static_cast<std::size_t>(size > 0 ? size : 1), "rb");
    if (file == nullptr) {
        gProblem = "\nCan't open file: the file could not be read\n";
        return -1;
    }
    if (size == 0) std::fgetc(file);  // the one byte of the empty file is not its content
    kelvo::HexProblem problem;
    const kelvo::HexRead read = kelvo::readHexFile(file, gImage, problem);
    std::fclose(file);
    if (read != kelvo::HexRead::good) {
        gProblem = kelvo::badHexFileText(problem);
        return static_cast<int>(problem.line);
    }
    gImage.forEachWord([](std::uint32_t, std::uint16_t) { ++gWords; });
    gImageReady = true;
    return 0;
}

EMSCRIPTEN_KEEPALIVE const char* kelvo_web_problem() {
    return gProblem.c_str();
}

// The 16-bit words the checked file gives.
EMSCRIPTEN_KEEPALIVE int kelvo_web_words() {
    return static_cast<int>(gWords);
}

// Updates the device on the page's port with the checked file. Returns 0 when it passed, 1 when
// it failed (the events said why), 3 when the port could not be opened, 130 when cancelled.
// Asynchronous for the page: it waits without blocking the worker.
EMSCRIPTEN_KEEPALIVE int kelvo_web_update() {
    gStop.clear();
    PageEvents events;
    kelvo::PortHandle port;
    const kelvo::RunContext context{&kelvo::kDefaultLimits, &gStop, &events};
    if (kelvo::openPort(port, "Web Serial", "9600", context) != kelvo::OpenResult::opened) return 3;
    kelvo::FileImageSource image(gImageReady ? &gImage : nullptr);
    const kelvo::UpdateResult result = kelvo::runDeviceUpdate(port, image);
    kelvo::closePort(port);
    switch (result.outcome) {
        case kelvo::UpdateOutcome::passed: return 0;
        case kelvo::UpdateOutcome::interrupted: return 130;
        default: return 1;
    }
}

EMSCRIPTEN_KEEPALIVE void kelvo_web_stop() {
    gStop.request();
}

}  // extern "C"
