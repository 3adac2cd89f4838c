// kelvo-ledger-bench stations: real kelvo-station processes on one ledger, against unpaced
// kelvo-sim fixtures, beside the same stations without the ledger.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/ledger_bench.h"
#include "station/device_log.h"
#include "tests/pg_server.h"
#include "tests/test_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct Run {
    std::size_t passed = 0;
    double wall = 0;
    double cpuPerStation = 0;
    double p50 = 0;  // the ledger's time per device, as the stations say it (the worst station's)
    double p99 = 0;
};

Run stationsRun(const std::string& image, int ports, int devices, int stations, const std::string& ledger) {
    kelvotest::TempDir dir;
    std::vector<pid_t> sims;
    std::vector<std::vector<std::string>> commands;
    for (int s = 0; s < stations; ++s) {
        std::vector<std::string> args = {KELVO_STATION_BINARY,
                                         "--count",
                                         std::to_string(ports * devices),
                                         "--serial",
                                         "1-1000000",
                                         "--serial-at",
                                         "0x1C40",
                                         "--log",
                                         dir.path("log" + std::to_string(s) + ".jsonl")};
        if (!ledger.empty())
            args.insert(args.end(), {"--ledger", ledger, "--station", "bench-" + std::to_string(s)});
        for (int p = 0; p < ports; ++p) {
            const std::string link = dir.path("tty" + std::to_string(s) + "-" + std::to_string(p));
            // A device is back in its application at once and off the fixture just after the
            // station's 3 s of silence that tell it was removed.
            sims.push_back(spawn({KELVO_SIM_BINARY, "--devices", std::to_string(devices), "--boot-window",
                                  "100", "--application-ms", "3300", "--link", link},
                                 "/dev/null"));
            args.insert(args.end(), {"-i", link});
        }
        args.push_back(image);
        commands.push_back(args);
    }
    for (const auto& command : commands) {
        for (std::size_t i = 0; i + 1 < command.size(); ++i) {
            if (command[i] != "-i") continue;
            for (int tries = 0; tries < 300 && access(command[i + 1].c_str(), F_OK) != 0; ++tries)
                usleep(10000);
        }
    }
    Run run;
    const auto start = Clock::now();
    std::vector<pid_t> pids;
    for (int s = 0; s < stations; ++s)
        pids.push_back(spawn(commands[s], dir.path("out" + std::to_string(s))));
    double cpu = 0;
    const auto deadline = start + std::chrono::seconds(60 + 30 * devices);
    for (const pid_t pid : pids) {
        int status = 0;
        rusage usage{};
        while (wait4(pid, &status, WNOHANG, &usage) == 0) {
            if (Clock::now() > deadline) kill(pid, SIGKILL);  // a station that cannot finish
            usleep(20000);
        }
        cpu += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpuPerStation = cpu / stations;
    for (const pid_t sim : sims) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
    }
    for (int s = 0; s < stations; ++s) {
        kelvo::LogContents contents;
        std::string error;
        kelvo::readLog(dir.path("log" + std::to_string(s) + ".jsonl"), contents, error);
        for (const kelvo::DeviceRow& row : contents.devices) run.passed += row.outcome == "passed" ? 1 : 0;
        const std::string out = kelvotest::readFile(dir.path("out" + std::to_string(s)));
        const std::size_t at = out.find("The ledger took ");
        double p50 = 0, p99 = 0;
        if (at != std::string::npos &&
            std::sscanf(out.c_str() + at, "The ledger took %lf ms per device (median; %lf ms", &p50, &p99) ==
                2) {
            run.p50 = std::max(run.p50, p50);
            run.p99 = std::max(run.p99, p99);
        }
    }
    return run;
}

}  // namespace

kelvo::DeviceRow benchRow(const std::string& station, const std::string& port, std::uint64_t device,
                          std::uint32_t serial) {
    kelvo::DeviceRow row;
    row.station = station;
    row.port = port;
    row.device = device;
    row.serial = serial;
    row.chip = "dsPIC33FJ256GP710";
    row.family = "dsPIC33F";
    row.deviceId = 0xFF;
    row.revision = 3;
    row.image = "bench.hex";
    row.imageSha256 = std::string(64, 'b');
    row.start = kelvo::isoTimeNow();
    return row;
}

void finishRow(kelvo::DeviceRow& row, bool failed) {
    row.outcome = failed ? "failed" : "passed";
    row.end = kelvo::isoTimeNow();
    if (failed) {
        row.phase = "verify";
        row.message = "ATTENTION: block #7 has bad data.";
    }
    row.rowsWritten = 3;
    row.resends = 0;
    row.rowsVerified = failed ? 0 : 3;
    row.seconds = 0.5;
}

int stationsBench(const std::string& image, int ports, int devices, const std::vector<int>& counts) {
    std::printf("kelvo-station on one ledger: N stations of %d ports, %d unpaced devices a port:\n", ports,
                devices);
    std::printf("  %8s %8s %8s %10s %12s %12s %10s %10s\n", "stations", "ledger", "passed", "devices/s",
                "CPU s/stat.", "CPU/wall", "p50 ms", "p99 ms");
    for (const int n : counts) {
        kelvotest::PgServer server(false, true);
        if (!server.problem().empty()) {
            std::printf("no server: %s\n", server.problem().c_str());
            return 1;
        }
        const std::string db = server.freshDatabase();
        for (const bool withLedger : {true, false}) {
            const Run run = stationsRun(image, ports, devices, n, withLedger ? server.conninfo(db) : "");
            std::printf("  %8d %8s %8zu %10.2f %12.3f %11.3f%% %10.2f %10.2f\n", n, withLedger ? "yes" : "no",
                        run.passed, static_cast<double>(run.passed) / run.wall, run.cpuPerStation,
                        100.0 * run.cpuPerStation / run.wall, run.p50, run.p99);
        }
    }
    return 0;
}
