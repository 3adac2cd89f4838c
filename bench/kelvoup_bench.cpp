// kelvoup-bench: measures the updater side by side with its references, in one run.
//   generate largest OUT            every program row of a dsPIC33F full (4 MiB of data)
//   generate rows N OUT             N full dsPIC33F rows from word address 0x1C00
//   load FILE FAMILY [REPS]         check, place and format in-process; objcopy on the same file
//   update IMAGE CHIP BAUD ROW_MS   one real update against kelvo-sim pacing its line (0: unpaced)
//   parallel N IMAGE CHIP BAUD ROW_MS   N such updates at once, against one run alone
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "image/hex_file.h"
#include "image/hex_loader.h"
#include "image/memory_row.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string program(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr ? value : fallback;
}

// --- generate -------------------------------------------------------------------------------

void writeRecord(std::FILE* out, std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                 int count) {
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    std::fprintf(out, ":%02X%04X%02X", count, address, type);
    for (int i = 0; i < count; ++i) {
        std::fprintf(out, "%02X", data[i]);
        sum += data[i];
    }
    std::fprintf(out, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

// Instructions at byte addresses [from, to): three bytes of pseudo-random code, the fourth 00.
int generate(std::uint32_t from, std::uint32_t to, const char* path) {
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return 1;
    std::uint32_t state = 12345;
    std::uint32_t upper = 0xFFFFFFFF;
    for (std::uint32_t at = from; at < to; at += 16) {
        if ((at >> 16) != upper) {
            upper = at >> 16;
            const std::uint8_t ext[2] = {static_cast<std::uint8_t>(upper >> 8),
                                         static_cast<std::uint8_t>(upper)};
            writeRecord(out, 4, 0, ext, 2);
        }
        std::uint8_t data[16];
        for (int i = 0; i < 16; ++i) {
            state = state * 1103515245U + 12345U;
            data[i] = i % 4 == 3 ? 0 : static_cast<std::uint8_t>(state >> 16);
        }
        writeRecord(out, 0, static_cast<std::uint16_t>(at & 0xFFFF), data, 16);
    }
    writeRecord(out, 1, 0, nullptr, 0);
    std::fclose(out);
    return 0;
}

// --- load -----------------------------------------------------------------------------------

struct Stats {
    double median;
    double minimum;
};

Stats stats(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front()};
}

double loadOnce(const std::string& path, kelvo::DeviceFamily family) {
    const auto start = Clock::now();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    kelvo::HexImage image;
    kelvo::HexProblem problem;
    if (kelvo::readHexFile(file, image, problem) != kelvo::HexRead::good) {
        std::fprintf(stderr, "the file does not pass the check\n");
    }
    const auto rows = kelvo::prepareRows(image, family);
    std::fclose(file);
    return secondsSince(start);
}

// Runs a program to its end; returns the wall time, and its resource use in `usage`.
double runTimed(const std::vector<std::string>& args, const char* stdoutPath, rusage* usage) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage local{};
    wait4(pid, &status, 0, usage != nullptr ? usage : &local);
    posix_spawn_file_actions_destroy(&actions);
    return secondsSince(start);
}

int load(const std::string& path, int familyCode, int reps) {
    const auto family = static_cast<kelvo::DeviceFamily>(familyCode);
    std::vector<double> ours;
    std::vector<double> objcopy;
    for (int i = 0; i < reps; ++i) {
        ours.push_back(loadOnce(path, family));
        objcopy.push_back(runTimed({"objcopy", "-I", "ihex", "-O", "binary", path, "/tmp/kelvoup-bench.bin"},
                                   "/dev/null", nullptr));
    }
    const Stats a = stats(ours);
    const Stats b = stats(objcopy);
    std::printf("load %s family %d, %d repetitions\n", path.c_str(), familyCode, reps);
    std::printf("  kelvoup check+place+format: median %.1f ms, min %.1f ms\n", a.median * 1e3,
                a.minimum * 1e3);
    std::printf("  objcopy -I ihex -O binary:  median %.1f ms, min %.1f ms\n", b.median * 1e3,
                b.minimum * 1e3);
    std::printf("  ratio kelvoup/objcopy:      median %.2f, min %.2f\n", a.median / b.median,
                a.minimum / b.minimum);
    return 0;
}

// --- update ---------------------------------------------------------------------------------

struct Sim {
    pid_t pid = -1;
    std::string port;
    std::string statsPath;
};

Sim startSim(const std::string& chip, int baud, int rowMs, int index) {
    Sim sim;
    sim.statsPath = "/tmp/kelvoup-bench-stats-" + std::to_string(getpid()) + "-" + std::to_string(index);
    int fds[2];
    if (pipe(fds) != 0) return sim;
    sim.pid = fork();
    if (sim.pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        const std::string simPath = program("KELVO_SIM", KELVO_SIM_BINARY);
        const std::string b = std::to_string(baud);  // 0: unpaced
        const std::string r = std::to_string(rowMs);
        execl(simPath.c_str(), simPath.c_str(), "--chip", chip.c_str(), "--baud", b.c_str(), "--row-ms",
              r.c_str(), "--stats", sim.statsPath.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') sim.port.push_back(c);
    close(fds[0]);
    return sim;
}

struct UpdateFigures {
    double wall = 0;
    double model = 0;
    double cpu = 0;
    long maxRssKb = 0;
};

// Waits for the simulator and works out the line-model time from what crossed the line.
double lineModel(const Sim& sim, int baud, int rowMs) {
    waitpid(sim.pid, nullptr, 0);
    std::ifstream in(sim.statsPath);
    std::map<std::string, double> values;
    std::string key;
    double value = 0;
    while (in >> key >> value) values[key] = value;
    std::remove(sim.statsPath.c_str());
    const double bytes = values["received"] + values["sent"];
    if (baud == 0) return 0;  // an unpaced line has no model
    // The two fixed pauses, and the quiet line before and after the identification.
    return bytes * 11.0 / baud + values["frames"] * rowMs / 1000.0 + 2.0 + 0.2;
}

UpdateFigures updateOnce(const std::string& image, const std::string& chip, int baud, int rowMs) {
    const Sim sim = startSim(chip, baud, rowMs, 0);
    rusage usage{};
    UpdateFigures f;
    f.wall = runTimed({program("KELVOUP", KELVOUP_BINARY), "-i", sim.port, image}, "/dev/null", &usage);
    f.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    f.maxRssKb = usage.ru_maxrss;
    f.model = lineModel(sim, baud, rowMs);
    return f;
}

int update(const std::string& image, const std::string& chip, int baud, int rowMs) {
    const UpdateFigures f = updateOnce(image, chip, baud, rowMs);
    std::printf("update %s as %s at %d baud, %d ms a row\n", image.c_str(), chip.c_str(), baud, rowMs);
    if (baud > 0) {
        std::printf("  wall %.3f s, line model %.3f s, wall/model %.4f\n", f.wall, f.model, f.wall / f.model);
    } else {
        std::printf("  wall %.3f s (unpaced line)\n", f.wall);
    }
    std::printf("  host CPU %.3f s = %.3f%% of wall; peak resident memory %ld KiB\n", f.cpu,
                100.0 * f.cpu / f.wall, f.maxRssKb);
    return 0;
}

int parallel(int n, const std::string& image, const std::string& chip, int baud, int rowMs) {
    const UpdateFigures single = updateOnce(image, chip, baud, rowMs);
    std::vector<Sim> sims;
    for (int i = 0; i < n; ++i) sims.push_back(startSim(chip, baud, rowMs, i));
    std::vector<pid_t> pids(static_cast<std::size_t>(n));
    std::vector<Clock::time_point> starts(static_cast<std::size_t>(n));
    const std::string host = program("KELVOUP", KELVOUP_BINARY);
    for (int i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        starts[k] = Clock::now();
        pids[k] = fork();
        if (pids[k] == 0) {
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, 1);
            execl(host.c_str(), host.c_str(), "-i", sims[k].port.c_str(), image.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    // The simulators are children too: only the updaters' ends are counted (a simulator reaped
    // here has written its figures already).
    std::vector<double> walls(static_cast<std::size_t>(n));
    for (int done = 0; done < n;) {
        int status = 0;
        const pid_t pid = wait(&status);
        if (pid < 0) break;
        for (std::size_t k = 0; k < pids.size(); ++k) {
            if (pids[k] == pid) {
                walls[k] = secondsSince(starts[k]);
                ++done;
            }
        }
    }
    for (const Sim& sim : sims) lineModel(sim, baud, rowMs);
    std::printf("parallel %d x %s as %s at %d baud, %d ms a row\n", n, image.c_str(), chip.c_str(), baud,
                rowMs);
    std::printf("  single run alone: %.3f s\n", single.wall);
    double worst = 0;
    for (std::size_t k = 0; k < walls.size(); ++k) {
        std::printf("  run %2zu: %.3f s = %.4f of single\n", k + 1, walls[k], walls[k] / single.wall);
        worst = std::max(worst, walls[k] / single.wall);
    }
    std::printf("  slowest of %d / single: %.4f\n", n, worst);
    return 0;
}

int usage() {
    std::fputs(
        "usage: kelvoup-bench generate largest OUT | generate rows N OUT\n"
        "       kelvoup-bench load FILE FAMILY [REPS]\n"
        "       kelvoup-bench update IMAGE CHIP BAUD ROW_MS\n"
        "       kelvoup-bench parallel N IMAGE CHIP BAUD ROW_MS\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 3 && a[0] == "generate" && a[1] == "largest") return generate(0, 0x400000, a[2].c_str());
    if (a.size() == 4 && a[0] == "generate" && a[1] == "rows") {
        const std::uint32_t rows = static_cast<std::uint32_t>(std::stoul(a[2]));
        return generate(0x3800, 0x3800 + rows * 2048, a[3].c_str());
    }
    if ((a.size() == 3 || a.size() == 4) && a[0] == "load") {
        return load(a[1], std::stoi(a[2]), a.size() == 4 ? std::stoi(a[3]) : 9);
    }
    if (a.size() == 5 && a[0] == "update") return update(a[1], a[2], std::stoi(a[3]), std::stoi(a[4]));
    if (a.size() == 6 && a[0] == "parallel") {
        return parallel(std::stoi(a[1]), a[2], a[3], std::stoi(a[4]), std::stoi(a[5]));
    }
    return usage();
}
