// The POSIX backend's requests to the terminal driver beyond termios, and the list of the
// computer's serial ports.
#include "link/posix_tty.h"

#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "link/serial_link.h"

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace kelvo {

bool isPseudoTerminal(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
#if defined(__linux__)
    // Unix98 pseudo-terminal slaves use character majors 136 to 143.
    const unsigned int devMajor = major(info.st_rdev);
    return devMajor >= 136 && devMajor <= 143;
#else
    // Elsewhere by name: /dev/pts/N (the BSDs), /dev/ttysNNN (macOS), /dev/ttypN (older BSDs).
    const char* name = ttyname(fd);
    if (name == nullptr) return false;
    const std::string path = name;
    return path.starts_with("/dev/pts/") || path.starts_with("/dev/ttys") || path.starts_with("/dev/ttyp");
#endif
}

namespace {

bool getSerialFlags(int fd, int& flags) {
#if defined(__linux__) && defined(TIOCGSERIAL)
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
    flags = serial.flags;
    return true;
#else
    (void)fd;
    (void)flags;
    return false;
#endif
}

bool setSerialFlags(int fd, int flags) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(TIOCSSERIAL)
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
    serial.flags = flags;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    (void)flags;
    return false;
#endif
}

SerialFlagsAccess gSerialFlags{getSerialFlags, setSerialFlags};

}  // namespace

SerialFlagsAccess setSerialFlagsAccess(const SerialFlagsAccess& access) {
    const SerialFlagsAccess previous = gSerialFlags;
    gSerialFlags = access;
    return previous;
}

int lowLatencyFlag() {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    return ASYNC_LOW_LATENCY;
#else
    return 0;
#endif
}

int askForLowLatency(int fd) {
    int before = 0;
    if (lowLatencyFlag() == 0 || !gSerialFlags.get(fd, before)) return -1;
    if (!gSerialFlags.set(fd, before | lowLatencyFlag())) return -1;
    return before;
}

void restoreSerialFlags(int fd, int flags) {
    if (flags >= 0) gSerialFlags.set(fd, flags);
}

namespace {

std::vector<std::string> matching(const std::string& pattern) {
    std::vector<std::string> names;
    glob_t found{};
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) names.emplace_back(found.gl_pathv[i]);
    }
    globfree(&found);
    return names;
}

// Whether a built-in port has a UART behind it: Linux creates /dev/ttyS0 and up whether or not
// the hardware is there, and says in sysfs which UART it found (0: none).
bool hasUart(const std::string& root, const std::string& device) {
#if defined(__linux__)
    std::ifstream type(root + "/sys/class/tty/" + device.substr(device.rfind('/') + 1) + "/type");
    int uart = 0;
    return type >> uart && uart != 0;
#else
    (void)root;
    (void)device;
    return true;
#endif
}

}  // namespace

std::string listSerialPorts(const std::string& root) {
    std::vector<std::string> ports = matching(root + "/dev/serial/by-id/*");
    for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*"}) {
        for (std::string& name : matching(root + pattern)) ports.push_back(std::move(name));
    }
    for (std::string& name : matching(root + "/dev/ttyS*")) {
        if (hasUart(root, name)) ports.push_back(std::move(name));
    }
#if !defined(__linux__)
    for (std::string& name : matching(root + "/dev/cu.*")) ports.push_back(std::move(name));  // macOS
#endif
    return describePorts(ports);
}

std::string portGroup(const char* name) {
    struct stat info {};
    if (stat(name, &info) != 0) return "";
    // Joining root's group, or a group that may not use the device, would not help.
    constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
    if (info.st_gid == 0 || (info.st_mode & kGroupReadWrite) != kGroupReadWrite) return "";
    const group* owner = getgrgid(info.st_gid);
    return owner != nullptr ? owner->gr_name : "";
}

}  // namespace kelvo
