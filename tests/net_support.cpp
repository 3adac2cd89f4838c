#include "tests/net_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace kelvotest {

namespace {

int boundSocket(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        port = 0;
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Whether a socket of 127.0.0.1:port is in `wanted` state (the kernel's table of TCP sockets:
// "0A" listening, "01" a connection established).
bool inState(std::uint16_t port, const std::string& wanted) {
    std::ifstream table("/proc/net/tcp");
    char address[16];
    std::snprintf(address, sizeof address, "0100007F:%04X", port);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == address && state == wanted) return true;
    }
    return false;
}

std::string ser2netProgram() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "";
}

}  // namespace

std::uint16_t unusedPort() {
    std::uint16_t port = 0;
    const int fd = boundSocket(port);
    if (fd >= 0) close(fd);  // bound, never listened on: the port stays free
    return port;
}

Ser2net::Ser2net(const std::string& device, bool rfc2217, const std::string& lineSettings,
                 std::uint16_t port) {
    const std::string program = ser2netProgram();
    if (program.empty()) return;
    port_ = port != 0 ? port : unusedPort();
    const std::string accepter =
        std::string(rfc2217 ? "telnet(rfc2217)," : "") + "tcp,127.0.0.1," + std::to_string(port_);
    const std::string config = dir_.write("ser2net.yaml", "connection: &kelvo\n  accepter: " + accepter +
                                                              "\n  connector: serialdev," + device + "," +
                                                              lineSettings + ",local\n");
    url_ = std::string(rfc2217 ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port_);
    const std::string log = dir_.path("ser2net.log");
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execOrExit({program, "-n", "-c", config, "-P", dir_.path("ser2net.pid")});
    }
    for (int i = 0; i < 500 && !ready_; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            std::fprintf(stderr, "ser2net ended at once: %s\n", readFile(log).c_str());
            return;
        }
        ready_ = inState(port_, "0A");
        if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Ser2net::~Ser2net() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
}

bool Ser2net::waitForClient(int ms) const {
    for (int waited = 0; waited < ms; waited += 10) {
        if (inState(port_, "01")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Ser2net::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

SilentListener::SilentListener() {
    listener_ = boundSocket(port_);
    if (listener_ < 0 || listen(listener_, 0) != 0) return;
    // One connection that is never accepted fills the queue: later ones get no answer.
    queued_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

SilentListener::~SilentListener() {
    if (queued_ >= 0) close(queued_);
    if (listener_ >= 0) close(listener_);
}

}  // namespace kelvotest
