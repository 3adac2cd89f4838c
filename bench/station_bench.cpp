// kelvo-station-bench: the station on 1, 8, 16, 32 ... ports at once, side by side in one run,
// each port's simulated device paced like a real line.
//   kelvo-station-bench IMAGE CHIP BAUD ROW_MS N [N ...]
// For each N: N kelvo-sim fixtures of one device each, and one kelvo-station --once on all of
// them. Reports each port's update time against the same update on one port alone, the station's
// CPU time per port as a share of the wall time, and its peak memory against one port.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    int ports = 0;
    double wall = 0;
    double cpu = 0;
    long maxRssKb = 0;
    std::vector<double> seconds;  // each port's update, from the log
};

pid_t spawn(const std::vector<std::string>& args, const char* out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Run stationRun(int ports, const std::string& image, const std::string& chip, int baud, int rowMs) {
    const std::string dir = "/tmp/kelvo-station-bench-" + std::to_string(getpid());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir, ignored);
    std::vector<pid_t> sims;
    std::vector<std::string> args = {KELVO_STATION_BINARY, "--once", "--log", dir + "/log.jsonl"};
    for (int i = 0; i < ports; ++i) {
        const std::string link = dir + "/tty" + std::to_string(i);
        sims.push_back(spawn(
            {KELVO_SIM_BINARY, "--devices", "1", "--boot-window", "100", "--application-ms", "100", "--chip",
             chip, "--baud", std::to_string(baud), "--row-ms", std::to_string(rowMs), "--link", link},
            "/dev/null"));
        args.insert(args.end(), {"-i", link});
    }
    args.push_back(image);
    for (int i = 0; i < ports; ++i) {
        const std::string link = dir + "/tty" + std::to_string(i);
        for (int tries = 0; tries < 200 && access(link.c_str(), F_OK) != 0; ++tries) usleep(10000);
    }
    Run run;
    run.ports = ports;
    const auto start = Clock::now();
    const pid_t station = spawn(args, "/dev/null");
    int status = 0;
    rusage usage{};
    wait4(station, &status, 0, &usage);
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.maxRssKb = usage.ru_maxrss;
    for (const pid_t sim : sims) waitpid(sim, nullptr, 0);
    std::ifstream log(dir + "/log.jsonl");
    std::string line;
    while (std::getline(log, line)) {
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_object() && record.value("event", "") == "end" &&
            record.value("outcome", "") == "passed") {
            run.seconds.push_back(record.value("seconds", 0.0));
        }
    }
    std::filesystem::remove_all(dir, ignored);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fputs("usage: kelvo-station-bench IMAGE CHIP BAUD ROW_MS N [N ...]\n", stderr);
        return 2;
    }
    const std::string image = argv[1];
    const std::string chip = argv[2];
    const int baud = std::atoi(argv[3]);
    const int rowMs = std::atoi(argv[4]);
    std::vector<Run> runs;
    for (int i = 5; i < argc; ++i) runs.push_back(stationRun(std::atoi(argv[i]), image, chip, baud, rowMs));
    const Run& alone = runs.front();
    const double single = alone.seconds.empty() ? 0 : alone.seconds.front();
    std::printf("kelvo-station on N ports at once: %s as %s, %d baud, %d ms a row\n", image.c_str(),
                chip.c_str(), baud, rowMs);
    std::printf("  %5s %8s %10s %10s %12s %14s %12s %14s\n", "ports", "passed", "slowest s", "vs alone",
                "CPU s", "CPU/wall/port", "peak KiB", "KiB per port+");
    for (const Run& run : runs) {
        const double slowest =
            run.seconds.empty() ? 0 : *std::max_element(run.seconds.begin(), run.seconds.end());
        const double perPort =
            run.ports > 1 ? static_cast<double>(run.maxRssKb - alone.maxRssKb) / (run.ports - 1) : 0;
        std::printf("  %5d %8zu %10.3f %10.4f %12.3f %13.4f%% %12ld %14.1f\n", run.ports, run.seconds.size(),
                    slowest, single > 0 ? slowest / single : 0, run.cpu,
                    100.0 * run.cpu / run.wall / run.ports, run.maxRssKb, perPort);
    }
    return 0;
}
