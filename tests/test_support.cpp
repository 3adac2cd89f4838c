#include "tests/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "update/update_text.h"
#include "cli/update_driver.h"

namespace kelvotest {

void TestUpdate::onEvent(const kelvo::UpdateEvent& event) {
    events.push_back(event);
    text_ += kelvo::eventText(event);
}

std::string CapturedFile::text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) out.append(chunk, n);
    std::fseek(file_, 0, SEEK_END);
    return out;
}

SimThread::SimThread(const kelvosim::SimOptions& options) : target_(options) {
    if (target_.openPty()) thread_ = std::thread([this] { resetSeen_ = target_.run(); });
}

SimThread::~SimThread() {
    target_.stop();
    join();
}

bool SimThread::join() {
    if (!joined_ && thread_.joinable()) thread_.join();
    joined_ = true;
    return resetSeen_;
}

kelvosim::SimOptions simFor(const std::string& chip) {
    kelvosim::SimOptions options;
    kelvosim::findChip(chip, options.chip);
    options.family = options.chip.family;
    return options;
}

std::string hexRecord(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
    char text[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = text;
    for (std::uint8_t byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/kelvotest-XXXXXX";
    const char* made = mkdtemp(pattern);
    dir_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + dir_ + "'";
    if (dir_ != "/tmp") (void)std::system(command.c_str());
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const std::string file = path(name);
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int runDriver(const std::vector<std::string>& args, std::string& output, const kelvo::TimeLimits& limits) {
    std::vector<std::string> owned{"kelvoup"};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : owned) argv.push_back(arg.data());
    argv.push_back(nullptr);
    CapturedFile console;
    kelvo::StopRequest stop;
    const int status = kelvo::runUpdate(argv.data(), console.file(), stop, limits);
    output = console.text();
    return status;
}

void execOrExit(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

ProcessResult runProcess(const std::vector<std::string>& args, int timeoutSeconds) {
    ProcessResult result;
    int outFds[2];
    int errFds[2];
    if (pipe(outFds) != 0) return result;
    if (pipe(errFds) != 0) {
        close(outFds[0]);
        close(outFds[1]);
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(outFds[1], 1);
        dup2(errFds[1], 2);
        close(outFds[0]);
        close(outFds[1]);
        close(errFds[0]);
        close(errFds[1]);
        execOrExit(args);
    }
    close(outFds[1]);
    close(errFds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    // Read both until standard output ends; standard error may stay open longer (a Wine server
    // started by the run inherits it), so after that only what it already holds is taken.
    pollfd fds[2] = {{outFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    char chunk[4096];
    bool outputEnded = false;
    while (!outputEnded) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (i == 0) outputEnded = true;
            close(fds[i].fd);
            fds[i].fd = -1;  // poll skips negative descriptors
        }
    }
    if (fds[0].fd >= 0) close(fds[0].fd);
    while (fds[1].fd >= 0 && poll(&fds[1], 1, 0) > 0) {
        const ssize_t n = read(fds[1].fd, chunk, sizeof chunk);
        if (n <= 0) break;
        result.errors.append(chunk, static_cast<std::size_t>(n));
    }
    if (fds[1].fd >= 0) close(fds[1].fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

SimProcess::SimProcess(const std::vector<std::string>& options) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<std::string> all{simBinary()};
        all.insert(all.end(), options.begin(), options.end());
        execOrExit(all);
    }
    close(pipeFds[1]);
    // The first line the simulator prints is the path of its port.
    char c = 0;
    while (read(pipeFds[0], &c, 1) == 1 && c != '\n') port_.push_back(c);
    close(pipeFds[0]);
}

SimProcess::~SimProcess() {
    finish(0);
}

int SimProcess::finish(int graceMs) {
    if (pid_ <= 0) return -1;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TerminalRun::TerminalRun(const std::vector<std::string>& args) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const std::string slave = ptsname(master_);
    pid_ = fork();
    if (pid_ == 0) {
        setsid();  // the terminal becomes the program's controlling terminal, as a user's is
        const int fd = open(slave.c_str(), O_RDWR);
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
        for (int standard = 0; standard <= 2; ++standard) dup2(fd, standard);
        if (fd > 2) close(fd);
        execOrExit(args);
    }
}

TerminalRun::~TerminalRun() {
    if (pid_ > 0) finish(0);
    if (master_ >= 0) close(master_);
}

int TerminalRun::readFor(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (master_ < 0) return -1;
    if (poll(&p, 1, ms) <= 0) return 0;
    char chunk[4096];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n <= 0) return -1;  // EIO: the program has closed its terminal
    text_.append(chunk, static_cast<std::size_t>(n));
    return 1;
}

bool TerminalRun::waitFor(const std::string& text, int ms) {
    const std::uint32_t start = kelvo::tickCount();
    while (text_.find(text) == std::string::npos) {
        const std::uint32_t elapsed = kelvo::elapsedSince(start);
        if (elapsed >= static_cast<std::uint32_t>(ms)) return false;
        if (readFor(static_cast<int>(static_cast<std::uint32_t>(ms) - elapsed)) < 0) return false;
        seenAt_ = kelvo::tickCount();
    }
    return true;
}

void TerminalRun::signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
}

int TerminalRun::finish(int ms) {
    if (pid_ <= 0) return -1;
    int status = -1;
    const std::uint32_t start = kelvo::tickCount();
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (kelvo::elapsedSince(start) >= static_cast<std::uint32_t>(ms)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        readFor(5);
    }
    while (readFor(0) > 0) {
    }
    pid_ = -1;
    return status;
}

std::map<std::uint32_t, std::uint8_t> srecCatBytes(const std::string& hexPath) {
    const ProcessResult run =
        runProcess({"/usr/bin/srec_cat", hexPath, "-intel", "-multiple", "-o", "-", "-vmem", "8"});
    if (run.status != 0) {
        std::cerr << "srec_cat (package srecord, install-build-deps.sh) failed on " << hexPath << ": "
                  << run.errors;
    }
    std::map<std::uint32_t, std::uint8_t> bytes;
    std::istringstream words(run.output);
    std::string word;
    std::uint32_t address = 0;
    while (words >> word) {
        if (word.starts_with("/*")) {
            std::getline(words, word);  // a comment line
        } else if (word[0] == '@') {
            address = static_cast<std::uint32_t>(std::stoul(word.substr(1), nullptr, 16));
        } else {
            bytes[address++] = static_cast<std::uint8_t>(std::stoul(word, nullptr, 16));
        }
    }
    return bytes;
}

std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::string kelvoupBinary() {
    return KELVO_KELVOUP_BINARY;
}
std::string simBinary() {
    return KELVO_SIM_BINARY;
}
std::string realHexDir() {
    return KELVO_REALHEX_DIR;
}

}  // namespace kelvotest

namespace kelvotest {

std::string writeLines(int first, int last) {
    std::string out;
    for (int i = first; i <= last; ++i) out += "\nwritng data blocks - block # " + std::to_string(i);
    return out;
}

std::string validateLines(int first, int last) {
    std::string out;
    for (int i = first; i <= last; ++i) out += "\nValidating data block # " + std::to_string(i);
    return out;
}

std::string successTranscript(const std::string& loadMessages) {
    return "\nEstablishing connection to the target Kelvo device."
           "\nReading Target Device ID"
           "\nReading HexFile" +
           loadMessages + "\nProgramming Device " + writeLines(0, 2183) +
           "\nTransmitting firmware finished."
           "\nStart validating firmware." +
           validateLines(0, 2047) +
           "\nThe target device passed firmware validation."
           "\n\nFrimware has been successfully updated. Please restart your device to use new version.\n";
}

std::string workedExampleHex() {
    return hexRecord(4, 0, {0x00, 0x00}) +
           hexRecord(0, 0x3800, {0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66, 0x00}) + hexRecord(1, 0, {});
}

}  // namespace kelvotest

namespace kelvotest {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool hostIsWindows() {
    return !environment("KELVO_WINDOWS_EXE").empty();
}

std::vector<std::string> hostCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (hostIsWindows()) {
        const std::string wine = environment("KELVO_WINE");
        argv = {wine.empty() ? "/usr/bin/wine" : wine, environment("KELVO_WINDOWS_EXE")};
    } else {
        argv = {kelvoupBinary()};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ProcessResult runHost(const std::vector<std::string>& args, int timeoutSeconds) {
    ProcessResult result = runProcess(hostCommand(args), timeoutSeconds);
    // The updater prints before it ends with any status but 0. Under Wine a failure without a
    // word is Wine not starting the program (seen once in CI, status 1); what Wine
    // said goes to the test's log and the run is tried once more.
    if (hostIsWindows() && result.status != 0 && result.output.empty()) {
        std::cerr << "wine ended with status " << result.status << " before the program printed; wine said:\n"
                  << result.errors << "\n(trying once more)\n";
        usleep(500000);
        result = runProcess(hostCommand(args), timeoutSeconds);
    }
    if (hostIsWindows()) {
        std::string text;
        for (std::size_t i = 0; i < result.output.size(); ++i) {
            if (result.output[i] == '\r' && i + 1 < result.output.size() && result.output[i + 1] == '\n')
                continue;
            text += result.output[i];
        }
        result.output = text;
    }
    return result;
}

HostPort::HostPort(const std::string& ptyPath) : name_(ptyPath) {
    if (!hostIsWindows()) return;
    const std::string devices = environment("WINEPREFIX") + "/dosdevices/com";
    // Claim a free COM number: symlink() fails when another test holds it.
    for (int n = 10; n < 250; ++n) {
        const std::string link = devices + std::to_string(n);
        if (symlink(ptyPath.c_str(), link.c_str()) == 0) {
            link_ = link;
            name_ = "COM" + std::to_string(n);
            return;
        }
    }
}

HostPort::~HostPort() {
    if (!link_.empty()) unlink(link_.c_str());
}

}  // namespace kelvotest
