#include "sim/bootloader_target.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace kelvosim {

namespace {

// Bytes of the wire protocol as the bootloader sees them.
constexpr std::uint8_t kPing = 0x0B;
constexpr std::uint8_t kReadId = 0x09;
constexpr std::uint8_t kWriteProgram = 0x03;
constexpr std::uint8_t kWriteEeprom = 0x05;
constexpr std::uint8_t kWriteConfig = 0x07;
constexpr std::uint8_t kReadProgram = 0x02;
constexpr std::uint8_t kReset = 0x08;
constexpr std::uint8_t kOk = 0x01;
constexpr std::uint8_t kNo = 0x00;

std::int64_t nowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepUntilNs(std::int64_t when) {
    const std::int64_t wait = when - nowNs();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
}

std::uint32_t wireAddress(const std::uint8_t* a) {
    return a[0] | (a[1] << 8) | (static_cast<std::uint32_t>(a[2]) << 16);
}

}  // namespace

BootloaderTarget::BootloaderTarget(const SimOptions& options)
    : options_(options), memory_(options.family), quiet_(options.silent || options.silentAfterFrame == 0) {}

BootloaderTarget::~BootloaderTarget() {
    hangUp();
}

bool BootloaderTarget::openPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return false;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const char* name = ptsname(master_);
    if (name == nullptr) return false;
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) return false;
    termios raw{};
    if (tcgetattr(slave_, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

void BootloaderTarget::adoptLine(Line line) {
    master_ = line.master;
    slave_ = line.slave;
    slavePath_ = std::move(line.path);
    hungUp_ = false;
}

BootloaderTarget::Line BootloaderTarget::releaseLine() {
    Line line{master_, slave_, slavePath_};
    master_ = -1;
    slave_ = -1;
    return line;
}

void BootloaderTarget::hangUp() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = -1;
    slave_ = -1;
    hungUp_ = true;
}

std::vector<std::uint8_t> BootloaderTarget::received() const {
    const std::lock_guard<std::mutex> lock(logMutex_);
    return received_;
}

bool BootloaderTarget::readBytes(std::uint8_t* out, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        if (stopping_ || master_ < 0 || (deadlineNs_ != 0 && nowNs() >= deadlineNs_)) return false;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = read(master_, out + got, count - got);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            // No slave end is open at this moment (EIO): wait for the host to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        {
            const std::lock_guard<std::mutex> lock(logMutex_);
            received_.insert(received_.end(), out + got, out + got + n);
        }
        if (options_.baud > 0) {
            lineFreeNs_ = std::max(lineFreeNs_, nowNs()) + n * byteNs();
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Line time of one byte at 8O1: start, 8 data, parity and stop bit.
std::int64_t BootloaderTarget::byteNs() const {
    return 11000000000LL / options_.baud;
}

// A frame counts as received once the paced line has delivered its last byte.
void BootloaderTarget::waitForLine(std::size_t /*count*/) {
    if (options_.baud > 0) sleepUntilNs(lineFreeNs_);
}

void BootloaderTarget::writeRaw(const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count && master_ >= 0 && !stopping_) {
        const ssize_t n = write(master_, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            sent_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 20);
    }
}

void BootloaderTarget::sendBytes(const std::uint8_t* data, std::size_t count) {
    std::vector<std::uint8_t> reply(data, data + count);
    if (options_.garbage) {
        for (std::uint8_t& byte : reply) {
            noise_ ^= noise_ << 13;
            noise_ ^= noise_ >> 17;
            noise_ ^= noise_ << 5;
            byte = static_cast<std::uint8_t>(noise_);
        }
    }
    reply.insert(reply.end(), static_cast<std::size_t>(std::max(options_.overlong, 0)), kOk);
    const std::int64_t byteTime = options_.baud > 0 ? byteNs() : 0;
    std::int64_t due = nowNs();
    for (std::size_t sent = 0; sent < reply.size();) {
        const std::size_t chunk =
            byteTime > 0 ? std::min<std::size_t>(8, reply.size() - sent) : reply.size() - sent;
        if (byteTime > 0) {
            due += static_cast<std::int64_t>(chunk) * byteTime;
            sleepUntilNs(due);
        }
        writeRaw(reply.data() + sent, chunk);
        sent += chunk;
    }
}

// Noise on the line, all the time, until the session ends.
void BootloaderTarget::floodLine() {
    std::uint8_t noise[64];
    std::uint32_t state = 0x9E3779B9;
    while (!stopping_ && master_ >= 0) {
        for (std::uint8_t& byte : noise) {
            state = state * 1664525U + 1013904223U;
            byte = static_cast<std::uint8_t>(state >> 24);
        }
        writeRaw(noise, sizeof noise);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void BootloaderTarget::answerWrite(bool accepted) {
    if (accepted) {
        if (options_.rowMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.rowMs));
        sendBytes(&kOk, 1);
        ++framesAcked_;
        if (options_.silentAfterFrame >= 0 && framesAcked_ >= options_.silentAfterFrame) quiet_ = true;
        if (framesAcked_ == options_.hangupAfterAck) {
            // Once the host has surely read the acknowledgement: a hang-up discards what the
            // line still holds.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            hangUp();
        }
    } else {
        sendBytes(&kNo, 1);
        if (options_.strayAfterRefusalMs >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.strayAfterRefusalMs));
            writeRaw(&kOk, 1);
        }
    }
}

// Whether the write frame now complete is to be accepted (as opposed to refused).
bool BootloaderTarget::writeFrameAllowed() {
    if (options_.refuseAll) return false;
    if (framesAcked_ + 1 == options_.refuseFrame &&
        (options_.refuseCount < 0 || refusalsGiven_ < options_.refuseCount)) {
        ++refusalsGiven_;
        return false;
    }
    return true;
}

void BootloaderTarget::handlePing() {
    ++pings_;
    waitForLine(1);
    if (quiet_) return;
    if (pings_ == 1 && options_.pingDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.pingDelayMs));
    }
    if (pings_ <= options_.nakPings) {
        sendBytes(&kNo, 1);
        return;
    }
    sendBytes(&kOk, 1);
    if (pings_ == options_.nakPings + 1 && options_.strayAfterPing > 0) {
        std::vector<std::uint8_t> noise(static_cast<std::size_t>(options_.strayAfterPing));
        for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(0x5A + 37 * i);
        sendBytes(noise.data(), noise.size());
    }
}

void BootloaderTarget::handleReadId() {
    ++identifications_;
    waitForLine(1);
    if (quiet_) return;
    const std::uint8_t reply[8] = {static_cast<std::uint8_t>(options_.chip.deviceId & 0xFF),
                                   static_cast<std::uint8_t>(options_.chip.deviceId >> 8),
                                   0x00,
                                   0x00,
                                   0x00,
                                   static_cast<std::uint8_t>((options_.chip.revision & 0x0F) << 4),
                                   0x00,
                                   0x00};
    sendBytes(reply, static_cast<std::size_t>(std::clamp(options_.idLength, 0, 8)));
    if (options_.hangupInId) hangUp();
    if (options_.strayAfterIdMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.strayAfterIdMs));
        writeRaw(&kOk, 1);
    }
    // Noise a byte every 10 ms, like a line that keeps talking.
    for (int ms = 0; ms < options_.talkAfterIdMs && !stopping_; ms += 10) {
        const std::uint8_t noise = static_cast<std::uint8_t>(0x40 + ms / 10 % 64);
        writeRaw(&noise, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool BootloaderTarget::handleProgramWrite() {
    std::vector<std::uint8_t> frame(3 + memory_.rowInstructions() * 4U);
    if (!readBytes(frame.data(), frame.size())) return false;
    waitForLine(frame.size());
    if (quiet_) return true;
    const std::uint32_t address = wireAddress(frame.data());
    const bool accepted = memory_.programRowAddressValid(address) && writeFrameAllowed();
    if (accepted) memory_.writeProgramRow(address, frame.data() + 3);
    answerWrite(accepted);
    return true;
}

bool BootloaderTarget::handleEepromWrite() {
    std::uint8_t frame[3 + 32];
    if (!readBytes(frame, sizeof frame)) return false;
    waitForLine(sizeof frame);
    if (quiet_) return true;
    const std::uint32_t address = wireAddress(frame);
    const bool accepted = memory_.eepromRowAddressValid(address) && writeFrameAllowed();
    if (accepted) memory_.writeEepromRow(address, frame + 3);
    answerWrite(accepted);
    return true;
}

// The first configuration frame is 0x07 E V0 V1; the continuation frames that follow it are
// E V0 V1 with no command byte. `first` is the byte already read.
bool BootloaderTarget::handleConfig(std::uint8_t first) {
    const bool continuation = configLeft_ > 0;
    std::uint8_t body[3] = {first, 0, 0};
    if (continuation) {
        if (!readBytes(body + 1, 2)) return false;
    } else if (!readBytes(body, 3)) {
        return false;
    }
    waitForLine(continuation ? 3 : 4);
    if (quiet_) return true;
    const bool empty = body[0] != 0;
    if (continuation && empty && options_.ignoreEmptyConfig) {
        --configLeft_;
        ++configIndex_;
        return true;
    }
    const bool accepted = writeFrameAllowed();
    if (accepted) {
        if (!continuation) {
            configIndex_ = 0;
            configLeft_ = memory_.configContinuations() + 1;
        }
        if (!empty) memory_.writeConfigWord(configIndex_, body[1], body[2]);
        ++configIndex_;
        --configLeft_;
    }
    answerWrite(accepted);
    return true;
}

bool BootloaderTarget::handleReadBack() {
    std::uint8_t frame[3];
    if (!readBytes(frame, sizeof frame)) return false;
    waitForLine(4);
    if (quiet_) return true;
    const std::uint32_t address = wireAddress(frame);
    if (!memory_.programRowAddressValid(address) || options_.skipReadback.count(address) != 0) {
        return true;
    }
    const std::uint32_t count = memory_.rowInstructions();
    std::vector<std::uint8_t> reply(count * 4U);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t value = memory_.instruction(address + 2 * i);
        reply[4 * i] = 0x00;  // the unimplemented top byte
        reply[4 * i + 1] = static_cast<std::uint8_t>(value >> 16);
        reply[4 * i + 2] = static_cast<std::uint8_t>(value >> 8);
        reply[4 * i + 3] = static_cast<std::uint8_t>(value);
    }
    const auto flip = options_.flipReadback.find(address);
    if (flip != options_.flipReadback.end() && flip->second >= 0 &&
        static_cast<std::size_t>(flip->second) < reply.size()) {
        reply[static_cast<std::size_t>(flip->second)] ^= 0xFF;
    }
    std::size_t length = reply.size();
    const auto cut = options_.shortReadback.find(address);
    if (cut != options_.shortReadback.end())
        length = std::min<std::size_t>(length, static_cast<std::size_t>(cut->second));
    sendBytes(reply.data(), length);
    return true;
}

bool BootloaderTarget::run() {
    if (options_.flood) flooder_ = std::thread([this] { floodLine(); });
    const bool dropping = options_.dropLineAfterMs >= 0 && deadlineNs_ == 0;
    if (dropping) deadlineNs_ = nowNs() + static_cast<std::int64_t>(options_.dropLineAfterMs) * 1000000;
    bool reset = serve();
    if (dropping) {
        // Pulled out while the host waits: the line goes away.
        deadlineNs_ = 0;
        if (!reset && !stopping_) hangUp();
    }
    if (flooder_.joinable()) {
        const bool stopping = stopping_;
        stopping_ = true;
        flooder_.join();
        stopping_ = stopping;
    }
    if (reset) ++resets_;
    return reset;
}

bool BootloaderTarget::runFor(int ms) {
    deadlineNs_ = nowNs() + static_cast<std::int64_t>(ms) * 1000000;
    const bool reset = run();
    deadlineNs_ = 0;
    return reset;
}

void BootloaderTarget::stayQuiet(int ms) {
    deadlineNs_ = nowNs() + static_cast<std::int64_t>(ms) * 1000000;
    std::uint8_t ignored[256];
    while (readBytes(ignored, 1)) {
    }
    deadlineNs_ = 0;
}

bool BootloaderTarget::serve() {
    std::uint8_t command = 0;
    while (readBytes(&command, 1)) {
        if (options_.echo) {
            writeRaw(&command, 1);
            if (command == kReset) return true;
            continue;
        }
        const bool writeFrame =
            configLeft_ > 0 || command == kWriteProgram || command == kWriteEeprom || command == kWriteConfig;
        if (writeFrame && options_.hangupAfterFrame >= 0 && framesAcked_ >= options_.hangupAfterFrame) {
            // Drop the line in the middle of the frame.
            std::uint8_t part[3];
            readBytes(part, sizeof part);
            hangUp();
            return false;
        }
        bool going = true;
        if (configLeft_ > 0) {
            going = handleConfig(command);
        } else {
            switch (command) {
                case kPing: handlePing(); break;
                case kReadId: handleReadId(); break;
                case kWriteProgram: going = handleProgramWrite(); break;
                case kWriteEeprom: going = handleEepromWrite(); break;
                case kWriteConfig: going = handleConfig(command); break;
                case kReadProgram: going = handleReadBack(); break;
                case kReset: return true;
                default: break;  // not a command: ignored
            }
        }
        if (!going) return false;
    }
    return false;
}

}  // namespace kelvosim
