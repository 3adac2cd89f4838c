// kelvo-network-bench: the same paced update on kelvo-sim's pty directly and through Debian's
// ser2net on 127.0.0.1 (rfc2217:// and socket://), side by side in one run, RUNS times each in
// turn; the wall times and kelvoup's CPU share of its wall time.
//   kelvo-network-bench IMAGE CHIP BAUD ROW_MS [RUNS]
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string program(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr ? value : fallback;
}

pid_t spawn(const std::vector<std::string>& args, const char* stdoutPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A free port of 127.0.0.1 (bound once, never listened on).
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

struct Run {
    double wall = 0;
    double cpu = 0;
};

// One update of IMAGE against a fresh simulator, on its pty ("pty") or through ser2net configured
// as README.md shows it; `holdBack`: with ser2net's default instead, which holds what the device
// sends for two character times (at least 1 ms, at most 20 ms) after each character.
Run updateOnce(const std::string& kind, bool holdBack, const std::string& image, const std::string& chip,
               int baud, int rowMs) {
    const std::string work = "/tmp/kelvo-network-bench-" + std::to_string(getpid());
    const std::string portFile = work + ".port";
    const pid_t sim = spawn({program("KELVO_SIM", KELVO_SIM_BINARY), "--chip", chip, "--baud",
                             std::to_string(baud), "--row-ms", std::to_string(rowMs)},
                            portFile.c_str());
    std::string pty;
    for (int i = 0; i < 200 && pty.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream(portFile) >> pty;
    }
    std::string name = pty;
    pid_t server = -1;
    if (kind != "pty") {
        const int port = freePort();
        std::ofstream(work + ".yaml")
            << "connection: &bench\n  accepter: " << (kind == "rfc2217" ? "telnet(rfc2217)," : "")
            << "tcp,127.0.0.1," << port << "\n  connector: serialdev," << pty << ",9600o81,local\n"
            << (holdBack ? "" : "  options:\n    chardelay: false\n");
        server = spawn({"ser2net", "-n", "-c", work + ".yaml", "-P", work + ".pid"}, "/dev/null");
        // A probe connection opens and closes the device once before the measured run.
        for (int i = 0; i < 300 && !accepting(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        name = kind + "://127.0.0.1:" + std::to_string(port);
    }
    const auto start = Clock::now();
    const pid_t host = spawn({program("KELVOUP", KELVOUP_BINARY), "-i", name, image}, "/dev/null");
    int status = 0;
    rusage usage{};
    wait4(host, &status, 0, &usage);
    Run run;
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the update on %s failed\n", name.c_str());
        run.wall = -1;
    }
    waitpid(sim, nullptr, 0);
    if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    for (const char* suffix : {".port", ".yaml", ".pid"}) std::remove((work + suffix).c_str());
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fputs("usage: kelvo-network-bench IMAGE CHIP BAUD ROW_MS [RUNS]\n", stderr);
        return 2;
    }
    const std::string image = argv[1];
    const std::string chip = argv[2];
    const int baud = std::atoi(argv[3]);
    const int rowMs = std::atoi(argv[4]);
    const int runs = argc > 5 ? std::atoi(argv[5]) : 3;
    struct Kind {
        const char* label;
        const char* kind;
        bool holdBack;
    };
    const std::vector<Kind> kinds = {{"pty", "pty", false},
                                     {"rfc2217", "rfc2217", false},
                                     {"socket", "socket", false},
                                     {"rfc2217, ser2net's default chardelay", "rfc2217", true}};
    std::vector<std::vector<double>> walls(kinds.size());
    std::vector<std::vector<double>> shares(kinds.size());
    for (int r = 0; r < runs; ++r) {
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const Run run = updateOnce(kinds[k].kind, kinds[k].holdBack, image, chip, baud, rowMs);
            if (run.wall < 0) return 1;
            walls[k].push_back(run.wall);
            shares[k].push_back(100.0 * run.cpu / run.wall);
        }
    }
    std::printf("network %s as %s at %d baud, %d ms a row, %d runs each, in turn\n", image.c_str(),
                chip.c_str(), baud, rowMs, runs);
    const double direct = median(walls[0]);
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        std::printf("  %s: wall median %.3f s (", kinds[k].label, median(walls[k]));
        for (std::size_t i = 0; i < walls[k].size(); ++i) std::printf("%s%.3f", i ? ", " : "", walls[k][i]);
        std::printf("), / pty %.4f; kelvoup CPU %.3f%% of wall\n", median(walls[k]) / direct,
                    median(shares[k]));
    }
    return 0;
}
