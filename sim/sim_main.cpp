// kelvo-sim: a simulated Kelvo bootloader on a pseudo-terminal, for trying the updater and for
// its tests without a device. Prints the path of the port to use, serves one session, and ends
// when the host sends the reset byte.
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/bootloader_target.h"
#include "sim/fixture.h"

namespace {

kelvosim::BootloaderTarget* gTarget = nullptr;
kelvosim::Fixture* gFixture = nullptr;

void onSignal(int /*signal*/) {
    if (gTarget != nullptr) gTarget->stop();
    if (gFixture != nullptr) gFixture->stop();
}

// Writes every byte received from the host to `path` (nothing when no path is given).
void writeReceived(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    if (path.empty()) return;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The dump file of fixture device `number`: "%d" in the pattern replaced by it, or ".N" added.
std::string devicePath(const std::string& pattern, int number) {
    const std::size_t at = pattern.find("%d");
    if (at == std::string::npos) return pattern + "." + std::to_string(number);
    return pattern.substr(0, at) + std::to_string(number) + pattern.substr(at + 2);
}

void usage() {
    std::fputs(
        "Usage: kelvo-sim [options]\n"
        "  --chip NAME             chip to report (default dsPIC30F2010)\n"
        "  --id HEX --rev N --family F   report a device id and revision of your own\n"
        "  --link PATH             make PATH a symbolic link to the port\n"
        "  --dump FILE             write what the target holds as Intel HEX at the end\n"
        "  --rx-log FILE           write every byte received from the host to FILE\n"
        "  --silent                answer nothing\n"
        "  --nak-pings N           answer the first N pings with 0x00\n"
        "  --ping-delay MS         answer the first ping only after MS milliseconds\n"
        "  --stray N               send N bytes of noise right after the handshake\n"
        "  --id-length N           send only N bytes of the identification\n"
        "  --refuse-frame N[:K]    refuse write frame N (from 1) K times (default always)\n"
        "  --refuse-all            refuse every write frame\n"
        "  --silent-after N        answer nothing after N acknowledged write frames\n"
        "  --hangup-after N        drop the line on the write frame after N acknowledged ones\n"
        "  --hangup-after-ack N    drop the line 200 ms after acknowledging write frame N\n"
        "  --hangup-in-id          drop the line right after the bytes of the identification\n"
        "  --stray-after-refusal MS  send a stray 0x01 MS milliseconds after each refusal\n"
        "  --stray-after-id MS     send a stray 0x01 MS milliseconds after the identification\n"
        "  --talk-after-id MS      send noise for MS milliseconds after the identification\n"
        "  --drop-line-after MS    drop the line MS milliseconds after the session starts\n"
        "  --ignore-empty-config   leave empty configuration continuation frames unanswered\n"
        "  --flip-readback A:I     flip byte I of the read-back of the row at word address A\n"
        "  --short-readback A:N    send only N bytes of the read-back of the row at A\n"
        "  --skip-readback A       send no read-back for the row at A\n"
        "  --baud B                pace the line at B baud (11 bits a byte)\n"
        "  --row-ms M              take M milliseconds to write each row\n"
        "  --garbage               answer everything with noise\n"
        "  --flood                 send noise all the time\n"
        "  --overlong N            follow every answer with N extra bytes\n"
        "  --echo                  send back whatever arrives, answer nothing\n"
        "  --stats FILE            write the byte and frame counts at the end\n"
        "A fixture that presents device after device on the port:\n"
        "  --devices N             N devices, one after another (each its own memory; --dump\n"
        "                          FILE then takes %d for the device's number)\n"
        "  --boot-window MS        after its reset a device's bootloader answers for MS (1500)\n"
        "  --application-ms MS     then it answers nothing for MS until the next is placed (4500)\n"
        "  --on-device K           the fault options that follow apply to device K only\n",
        stderr);
}

bool pair(const char* text, std::uint32_t& first, int& second) {
    char* end = nullptr;
    first = static_cast<std::uint32_t>(std::strtoul(text, &end, 0));
    if (end == text) return false;
    if (*end != ':') return false;
    second = static_cast<int>(std::strtol(end + 1, nullptr, 0));
    return true;
}

int runFixture(const kelvosim::SimOptions& base, const kelvosim::FixtureOptions& options,
               const std::string& linkPath, const std::string& dumpPath, const std::string& rxLogPath,
               const std::string& statsPath) {
    kelvosim::Fixture fixture(base, options);
    if (!linkPath.empty()) fixture.linkAs(linkPath);
    if (!fixture.openPty()) {
        std::perror("kelvo-sim: cannot create a pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", fixture.slavePath().c_str());
    std::fflush(stdout);
    gFixture = &fixture;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    const bool all = fixture.run();
    gFixture = nullptr;
    const auto& devices = fixture.devices();
    for (std::size_t i = 0; i < devices.size() && !dumpPath.empty(); ++i) {
        std::ofstream(devicePath(dumpPath, static_cast<int>(i + 1))) << devices[i].hex;
    }
    writeReceived(rxLogPath, fixture.received());
    if (!statsPath.empty()) {
        std::ofstream stats(statsPath);
        for (std::size_t i = 0; i < devices.size(); ++i) {
            stats << "device " << i + 1 << " resets " << devices[i].resets << " identifications "
                  << devices[i].identifications << " frames " << devices[i].frames << " received "
                  << devices[i].received << " sent " << devices[i].sent << "\n";
        }
    }
    std::fprintf(stderr, "kelvo-sim: fixture %s after %zu devices\n", all ? "done" : "stopped",
                 devices.size());
    return all ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    enum {
        oChip = 1000,
        oId,
        oRev,
        oFamily,
        oLink,
        oDump,
        oRxLog,
        oSilent,
        oNakPings,
        oPingDelay,
        oStray,
        oIdLength,
        oRefuseFrame,
        oRefuseAll,
        oSilentAfter,
        oHangupAfter,
        oHangupInId,
        oHangupAfterAck,
        oStrayAfterRefusal,
        oStrayAfterId,
        oTalkAfterId,
        oDropLineAfter,
        oIgnoreEmpty,
        oFlip,
        oShort,
        oSkip,
        oBaud,
        oRowMs,
        oGarbage,
        oFlood,
        oOverlong,
        oEcho,
        oStats,
        oDevices,
        oBootWindow,
        oApplicationMs,
        oOnDevice,
        oHelp
    };
    const option longOptions[] = {
        {"chip", required_argument, nullptr, oChip},
        {"id", required_argument, nullptr, oId},
        {"rev", required_argument, nullptr, oRev},
        {"family", required_argument, nullptr, oFamily},
        {"link", required_argument, nullptr, oLink},
        {"dump", required_argument, nullptr, oDump},
        {"rx-log", required_argument, nullptr, oRxLog},
        {"silent", no_argument, nullptr, oSilent},
        {"nak-pings", required_argument, nullptr, oNakPings},
        {"ping-delay", required_argument, nullptr, oPingDelay},
        {"stray", required_argument, nullptr, oStray},
        {"id-length", required_argument, nullptr, oIdLength},
        {"refuse-frame", required_argument, nullptr, oRefuseFrame},
        {"refuse-all", no_argument, nullptr, oRefuseAll},
        {"silent-after", required_argument, nullptr, oSilentAfter},
        {"hangup-after", required_argument, nullptr, oHangupAfter},
        {"hangup-in-id", no_argument, nullptr, oHangupInId},
        {"hangup-after-ack", required_argument, nullptr, oHangupAfterAck},
        {"stray-after-refusal", required_argument, nullptr, oStrayAfterRefusal},
        {"stray-after-id", required_argument, nullptr, oStrayAfterId},
        {"talk-after-id", required_argument, nullptr, oTalkAfterId},
        {"drop-line-after", required_argument, nullptr, oDropLineAfter},
        {"ignore-empty-config", no_argument, nullptr, oIgnoreEmpty},
        {"flip-readback", required_argument, nullptr, oFlip},
        {"short-readback", required_argument, nullptr, oShort},
        {"skip-readback", required_argument, nullptr, oSkip},
        {"baud", required_argument, nullptr, oBaud},
        {"row-ms", required_argument, nullptr, oRowMs},
        {"garbage", no_argument, nullptr, oGarbage},
        {"flood", no_argument, nullptr, oFlood},
        {"overlong", required_argument, nullptr, oOverlong},
        {"echo", no_argument, nullptr, oEcho},
        {"stats", required_argument, nullptr, oStats},
        {"devices", required_argument, nullptr, oDevices},
        {"boot-window", required_argument, nullptr, oBootWindow},
        {"application-ms", required_argument, nullptr, oApplicationMs},
        {"on-device", required_argument, nullptr, oOnDevice},
        {"help", no_argument, nullptr, oHelp},
        {nullptr, 0, nullptr, 0},
    };

    kelvosim::SimOptions base;
    kelvosim::findChip("dsPIC30F2010", base.chip);
    kelvosim::FixtureOptions fixture;
    bool fixtureMode = false;
    // The options being given: the base ones, or after --on-device K those of device K.
    kelvosim::SimOptions* current = &base;
    std::string linkPath;
    std::string dumpPath;
    std::string rxLogPath;
    std::string statsPath;
    int familyOverride = -1;
    int c = 0;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        std::uint32_t address = 0;
        int value = 0;
        switch (c) {
            case oChip:
                if (!kelvosim::findChip(optarg, current->chip)) {
                    std::fprintf(stderr, "kelvo-sim: no chip named %s\n", optarg);
                    return 2;
                }
                break;
            case oId:
                current->chip.deviceId = static_cast<std::uint16_t>(std::strtoul(optarg, nullptr, 16));
                break;
            case oRev: current->chip.revision = static_cast<std::uint8_t>(std::atoi(optarg)); break;
            case oFamily: familyOverride = std::atoi(optarg); break;
            case oLink: linkPath = optarg; break;
            case oDump: dumpPath = optarg; break;
            case oRxLog: rxLogPath = optarg; break;
            case oSilent: current->silent = true; break;
            case oNakPings: current->nakPings = std::atoi(optarg); break;
            case oPingDelay: current->pingDelayMs = std::atoi(optarg); break;
            case oStray: current->strayAfterPing = std::atoi(optarg); break;
            case oIdLength: current->idLength = std::atoi(optarg); break;
            case oRefuseFrame:
                if (!pair(optarg, address, value)) value = -1;
                current->refuseFrame = static_cast<int>(std::strtol(optarg, nullptr, 0));
                current->refuseCount = value;
                break;
            case oRefuseAll: current->refuseAll = true; break;
            case oSilentAfter: current->silentAfterFrame = std::atoi(optarg); break;
            case oHangupAfter: current->hangupAfterFrame = std::atoi(optarg); break;
            case oHangupInId: current->hangupInId = true; break;
            case oHangupAfterAck: current->hangupAfterAck = std::atoi(optarg); break;
            case oStrayAfterRefusal: current->strayAfterRefusalMs = std::atoi(optarg); break;
            case oStrayAfterId: current->strayAfterIdMs = std::atoi(optarg); break;
            case oTalkAfterId: current->talkAfterIdMs = std::atoi(optarg); break;
            case oDropLineAfter: current->dropLineAfterMs = std::atoi(optarg); break;
            case oIgnoreEmpty: current->ignoreEmptyConfig = true; break;
            case oFlip:
                if (!pair(optarg, address, value)) {
                    usage();
                    return 2;
                }
                current->flipReadback[address] = value;
                break;
            case oShort:
                if (!pair(optarg, address, value)) {
                    usage();
                    return 2;
                }
                current->shortReadback[address] = value;
                break;
            case oSkip:
                current->skipReadback[static_cast<std::uint32_t>(std::strtoul(optarg, nullptr, 0))] = true;
                break;
            case oBaud: current->baud = std::atoi(optarg); break;
            case oRowMs: current->rowMs = std::atoi(optarg); break;
            case oGarbage: current->garbage = true; break;
            case oFlood: current->flood = true; break;
            case oOverlong: current->overlong = std::atoi(optarg); break;
            case oEcho: current->echo = true; break;
            case oStats: statsPath = optarg; break;
            case oDevices:
                fixture.devices = std::atoi(optarg);
                fixtureMode = true;
                break;
            case oBootWindow: fixture.bootWindowMs = std::atoi(optarg); break;
            case oApplicationMs: fixture.applicationMs = std::atoi(optarg); break;
            case oOnDevice: {
                const int number = std::atoi(optarg);
                fixture.perDevice[number] = base;
                current = &fixture.perDevice[number];
                break;
            }
            default: usage(); return c == oHelp ? 0 : 2;
        }
    }
    if (optind < argc) {
        usage();
        return 2;
    }
    base.family = familyOverride >= 0 ? familyOverride : base.chip.family;
    for (auto& [number, own] : fixture.perDevice)
        own.family = familyOverride >= 0 ? familyOverride : own.chip.family;
    if (fixtureMode) return runFixture(base, fixture, linkPath, dumpPath, rxLogPath, statsPath);
    const kelvosim::SimOptions& options = base;

    kelvosim::BootloaderTarget target(options);
    if (!target.openPty()) {
        std::perror("kelvo-sim: cannot create a pseudo-terminal");
        return 1;
    }
    if (!linkPath.empty()) {
        unlink(linkPath.c_str());
        if (symlink(target.slavePath().c_str(), linkPath.c_str()) != 0) {
            std::perror("kelvo-sim: cannot make the link");
            return 1;
        }
    }
    std::printf("%s\n", target.slavePath().c_str());
    std::fflush(stdout);

    gTarget = &target;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    const bool reset = target.run();
    gTarget = nullptr;

    writeReceived(rxLogPath, target.received());
    if (!dumpPath.empty()) std::ofstream(dumpPath) << target.memory().toHex();
    if (!statsPath.empty()) {
        std::ofstream(statsPath) << "received " << target.received().size() << "\nsent " << target.bytesSent()
                                 << "\nframes " << target.framesAcknowledged() << "\n";
    }
    if (!linkPath.empty()) unlink(linkPath.c_str());
    std::fprintf(stderr, "kelvo-sim: session %s\n", reset ? "ended by reset" : "stopped");
    return reset ? 0 : 3;
}
