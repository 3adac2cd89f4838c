#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

// The client side of a Telnet connection to a device server with the COM port control option of
// RFC 2217 (COM-PORT-OPTION, 44). It does no I/O: the port hands it what the server sent and
// sends what it produces, so that it can be tested on bytes alone.
//
// The session offers binary transmission both ways (so that no byte is translated), suppressed
// go-ahead and the COM port control, refuses every other option, and asks the server's port for
// `baud` baud, 8 data bits, odd parity, 1 stop bit, no flow control, DTR and RTS off. Each answer
// is checked against what was asked for; a server that has no DTR or RTS line may leave those two
// unanswered, as a local port without modem lines is not an error either.
class TelnetSession {
public:
    enum class Settings {
        pending,      // not every setting has been answered yet
        accepted,     // every setting answered as asked
        refused,      // a setting answered otherwise: refusedSetting() names it
        unsupported,  // the server does not do COM port control
    };

    // Appends the opening to output(): the option offers and the line settings.
    void start(std::uint32_t baud);
    // Data for the server: every 0xFF doubled (and a CR followed by NUL while binary transmission
    // is not agreed), appended to `out`.
    void encode(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& out) const;
    // Bytes from the server, in any pieces: the data is appended to `data`, commands are handled
    // and their answers appended to output().
    void decode(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data);
    // Appends a request to discard what the server has received from the device and not yet sent
    // on (PURGE-DATA); `both` discards what it still has to send to the device as well.
    void requestPurge(bool both);

    // What is to be sent to the server; the port sends it and clears it.
    std::vector<std::uint8_t>& output() { return output_; }

    Settings settings() const;
    // The setting the server answered otherwise ("odd parity"), for Settings::refused.
    std::string refusedSetting() const;

private:
    enum class Parse { data, command, option, subnegotiation, subnegotiationCommand };
    enum class Option : std::uint8_t { no, yes, wantYes };

    void command(std::uint8_t byte, std::vector<std::uint8_t>& data);
    void negotiate(std::uint8_t verb, std::uint8_t option);
    void subnegotiation();
    void sendCommand(std::uint8_t verb, std::uint8_t option);
    void sendComPort(std::uint8_t command, const std::vector<std::uint8_t>& value);

    std::uint32_t baud_ = 0;
    std::vector<std::uint8_t> output_;
    Parse parse_ = Parse::data;
    std::uint8_t verb_ = 0;
    bool afterCarriageReturn_ = false;
    std::vector<std::uint8_t> sub_;
    std::array<Option, 256> us_{};    // the options we perform
    std::array<Option, 256> them_{};  // the options the server performs
    bool comPortRefused_ = false;
    // The answers to the settings, in the order of the settings table.
    std::array<std::optional<std::uint32_t>, 7> answers_{};
};

}  // namespace kelvo
