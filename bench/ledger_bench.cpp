// kelvo-ledger-bench: the factory ledger under many stations at once, on a PostgreSQL server of its
// own (started in a temporary folder, every commit written through to the disk).
//   kelvo-ledger-bench load PORTS SECONDS PAUSE_MS N [N ...]
//       N station processes of PORTS ports each, every port recording device after device (a
//       reservation, a start, an end; one device in ten fails), PAUSE_MS apart (0: as fast as the
//       ledger takes them): devices recorded per second, and each device's wall time in the
//       ledger, p50 and p99.
//   kelvo-ledger-bench stations IMAGE PORTS DEVICES N [N ...]
//       N kelvo-station processes of PORTS ports each against unpaced kelvo-sim fixtures of DEVICES
//       devices each, on the ledger and then without it: devices per second, the ledger's time
//       per device as the stations report it, and the stations' CPU time with and without it.
#include "bench/ledger_bench.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "station/ledger_records.h"
#include "tests/pg_server.h"
#include "tests/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5)];
}

// One station process of the load: its ports record devices until the time is up; each device's
// ledger time goes to `out`, one per line.
int loadStation(const std::string& ledger, int station, int ports, double seconds, int pauseMs,
                const std::string& out) {
    kelvotest::TempDir dir;
    kelvo::RecordsConfig config;
    config.logPath = dir.path("log.jsonl");
    config.station = "bench-" + std::to_string(station);
    config.serials = kelvo::SerialRange{1, 4000000000U};
    config.ports = static_cast<std::size_t>(ports);
    config.ledger = ledger;
    auto records = std::make_unique<kelvo::LedgerRecords>();
    std::string error;
    if (!records->open(config, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // One device on the ledger: a reservation, a start, an end (one device in ten fails); its wall
    // time in milliseconds.
    auto device = [&](int port, std::uint64_t number) {
        const std::string name = "/dev/ttyBENCH" + std::to_string(port);
        const auto begin = Clock::now();
        const kelvo::SerialReservation serial =
            records->reserveSerial(static_cast<std::size_t>(port), name, number);
        kelvo::DeviceRow row = benchRow(config.station, name, number, serial.number);
        records->recordStart(static_cast<std::size_t>(port), row);
        finishRow(row, number % 10 == 9);
        records->recordEnd(static_cast<std::size_t>(port), row);
        return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    };
    // Each port's first devices warm the ledger up (its first numbers, the server's caches and
    // plans); then every station is ready, and all start together.
    constexpr int kWarmUp = 3;
    std::vector<std::thread> threads;
    for (int port = 0; port < ports; ++port) {
        threads.emplace_back([&, port] {
            for (int k = 0; k < kWarmUp; ++k) device(port, static_cast<std::uint64_t>(1 + k * ports + port));
        });
    }
    for (std::thread& t : threads) t.join();
    threads.clear();
    std::ofstream(out + ".ready").put('\n');
    while (access((out + ".go").c_str(), F_OK) != 0) usleep(5000);
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::vector<double>> times(static_cast<std::size_t>(ports));
    for (int port = 0; port < ports; ++port) {
        threads.emplace_back([&, port] {
            std::mt19937 random(static_cast<unsigned>(station * 1000 + port));
            // Nor do they start in step: the first device comes somewhen within the first pause.
            if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(random() % (pauseMs + 1)));
            for (std::uint64_t k = kWarmUp; Clock::now() < until; ++k) {
                times[static_cast<std::size_t>(port)].push_back(device(
                    port, 1 + k * static_cast<std::uint64_t>(ports) + static_cast<std::uint64_t>(port)));
                // Ports are not in step: each pause is drawn from half to one and a half of PAUSE_MS.
                if (pauseMs > 0)
                    std::this_thread::sleep_for(
                        std::chrono::milliseconds(pauseMs / 2 + random() % (pauseMs + 1)));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::ofstream file(out);
    for (const std::vector<double>& port : times)
        for (const double ms : port) file << ms << "\n";
    return 0;
}

void load(int ports, double seconds, int pauseMs, const std::vector<int>& counts) {
    std::printf(
        "The ledger under N stations of %d ports, each port recording a device every %d ms besides the "
        "ledger's own time, for %.0f s:\n",
        ports, pauseMs, seconds);
    std::printf("  %8s %8s %12s %10s %10s\n", "stations", "devices", "devices/s", "p50 ms", "p99 ms");
    for (const int n : counts) {
        kelvotest::PgServer server(false, true);
        if (!server.problem().empty()) {
            std::printf("no server: %s\n", server.problem().c_str());
            return;
        }
        const std::string db = server.freshDatabase();
        kelvotest::TempDir dir;
        std::vector<pid_t> children;
        for (int s = 0; s < n; ++s) {
            const pid_t pid = fork();
            if (pid == 0)
                _exit(loadStation(server.conninfo(db), s, ports, seconds, pauseMs,
                                  dir.path(std::to_string(s))));
            children.push_back(pid);
        }
        bool ready = true;
        for (int s = 0; s < n && ready; ++s) {
            while (ready && access(dir.path(std::to_string(s) + ".ready").c_str(), F_OK) != 0) {
                // A station that could not open the ledger has ended: no waiting for it.
                ready = waitpid(children[static_cast<std::size_t>(s)], nullptr, WNOHANG) == 0;
                usleep(10000);
            }
        }
        if (!ready) {
            std::printf("  a station could not open the ledger\n");
            for (const pid_t pid : children) kill(pid, SIGKILL);
            for (const pid_t pid : children) waitpid(pid, nullptr, 0);
            return;
        }
        const auto start = Clock::now();
        for (int s = 0; s < n; ++s) std::ofstream(dir.path(std::to_string(s) + ".go")).put('\n');
        for (const pid_t pid : children) waitpid(pid, nullptr, 0);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        std::vector<double> times;
        for (int s = 0; s < n; ++s) {
            std::ifstream in(dir.path(std::to_string(s)));
            for (double ms = 0; in >> ms;) times.push_back(ms);
        }
        std::printf("  %8d %8zu %12.1f %10.2f %10.2f\n", n, times.size(),
                    static_cast<double>(times.size()) / wall, percentile(times, 0.5),
                    percentile(times, 0.99));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    std::vector<int> counts;
    if (mode == "load" && argc >= 6) {
        for (int i = 5; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
        load(std::atoi(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), counts);
        return 0;
    }
    if (mode == "stations" && argc >= 6) {
        for (int i = 5; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
        return stationsBench(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), counts);
    }
    std::fputs(
        "usage: kelvo-ledger-bench load PORTS SECONDS PAUSE_MS N [N ...]\n"
        "       kelvo-ledger-bench stations IMAGE PORTS DEVICES N [N ...]\n",
        stderr);
    return 2;
}
