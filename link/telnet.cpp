// The Telnet client of a network port: option negotiation, the data's escaping both ways, and the
// COM port control of RFC 2217.
#include "link/telnet.h"

namespace kelvo {

namespace {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;

constexpr std::uint8_t kCarriageReturn = 13;

// COM-PORT-OPTION commands of the client; the server answers each with the command plus 100.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerAnswer = 100;

// PURGE-DATA: the server's buffer of what the device sent (1), or both of its buffers (3).
constexpr std::uint8_t kPurgeReceived = 1;
constexpr std::uint8_t kPurgeBoth = 3;

// The longest subnegotiation kept; anything longer is none of ours and is skipped.
constexpr std::size_t kLongestSubnegotiation = 64;

// A setting of the server's port. SET-CONTROL answers all come as one command: the range of
// values that answers a setting tells which one it is (0-3 outbound flow control, 7-9 DTR, 10-12
// RTS).
struct Setting {
    std::uint8_t command;
    std::uint8_t value;  // for the baud rate: the session's baud
    std::uint8_t answersFrom;
    std::uint8_t answersTo;
    bool required;
    const char* name;  // for the baud rate: its value followed by " baud"
};

constexpr Setting kSettings[] = {
    {kSetBaudRate, 0, 0, 0, true, " baud"},          {kSetDataSize, 8, 0, 0, true, "8 data bits"},
    {kSetParity, 2, 0, 0, true, "odd parity"},       {kSetStopSize, 1, 0, 0, true, "1 stop bit"},
    {kSetControl, 1, 0, 3, true, "no flow control"}, {kSetControl, 9, 7, 9, false, "DTR off"},
    {kSetControl, 12, 10, 12, false, "RTS off"},
};
static_assert(std::size(kSettings) == 7, "one answer for each setting");

bool weOffer(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool weAccept(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead;
}

}  // namespace

void TelnetSession::sendCommand(std::uint8_t verb, std::uint8_t option) {
    output_.insert(output_.end(), {kIac, verb, option});
}

void TelnetSession::sendComPort(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    output_.insert(output_.end(), {kIac, kSb, kComPort, command});
    for (const std::uint8_t byte : value) {
        output_.push_back(byte);
        if (byte == kIac) output_.push_back(kIac);
    }
    output_.insert(output_.end(), {kIac, kSe});
}

void TelnetSession::start(std::uint32_t baud) {
    baud_ = baud;
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
        us_[option] = Option::wantYes;
        sendCommand(kWill, option);
    }
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
        them_[option] = Option::wantYes;
        sendCommand(kDo, option);
    }
    for (const Setting& setting : kSettings) {
        if (setting.command == kSetBaudRate) {
            sendComPort(kSetBaudRate,
                        {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                         static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
        } else {
            sendComPort(setting.command, {setting.value});
        }
    }
}

void TelnetSession::requestPurge(bool both) {
    sendComPort(kPurgeData, {both ? kPurgeBoth : kPurgeReceived});
}

void TelnetSession::encode(const std::uint8_t* bytes, std::size_t count,
                           std::vector<std::uint8_t>& out) const {
    const bool binary = us_[kBinary] == Option::yes;
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) out.push_back(kIac);
        if (bytes[i] == kCarriageReturn && !binary) out.push_back(0);
    }
}

void TelnetSession::decode(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (parse_) {
            case Parse::data:
                if (byte == kIac) {
                    parse_ = Parse::command;
                } else if (!(afterCarriageReturn_ && byte == 0 && them_[kBinary] != Option::yes)) {
                    data.push_back(byte);  // a NUL after CR is the padding of a text line end
                }
                afterCarriageReturn_ = byte == kCarriageReturn;
                break;
            case Parse::command: command(byte, data); break;
            case Parse::option:
                negotiate(verb_, byte);
                parse_ = Parse::data;
                break;
            case Parse::subnegotiation:
                if (byte == kIac) {
                    parse_ = Parse::subnegotiationCommand;
                } else if (sub_.size() < kLongestSubnegotiation) {
                    sub_.push_back(byte);
                }
                break;
            case Parse::subnegotiationCommand:
                if (byte == kIac) {
                    if (sub_.size() < kLongestSubnegotiation) sub_.push_back(kIac);
                    parse_ = Parse::subnegotiation;
                    break;
                }
                // IAC SE ends it; any other command ends it as well and is taken as it stands.
                subnegotiation();
                parse_ = Parse::data;
                if (byte != kSe) command(byte, data);
                break;
        }
    }
}

// The byte after an IAC.
void TelnetSession::command(std::uint8_t byte, std::vector<std::uint8_t>& data) {
    parse_ = Parse::data;
    if (byte == kIac) {
        data.push_back(kIac);
    } else if (byte >= kWill && byte <= kDont) {
        verb_ = byte;
        parse_ = Parse::option;
    } else if (byte == kSb) {
        sub_.clear();
        parse_ = Parse::subnegotiation;
    }
    // Any other command (NOP, go-ahead, data mark, ...) carries nothing for us.
}

// The option negotiation without loops (RFC 1143): an answer is sent only for a change of state.
void TelnetSession::negotiate(std::uint8_t verb, std::uint8_t option) {
    if (verb == kDo || verb == kDont) {
        Option& state = us_[option];
        if (verb == kDo && weOffer(option)) {
            if (state == Option::no) sendCommand(kWill, option);
            state = Option::yes;
        } else if (verb == kDo) {
            sendCommand(kWont, option);
        } else {
            if (state == Option::yes) sendCommand(kWont, option);
            state = Option::no;
            if (option == kComPort) comPortRefused_ = true;
        }
        return;
    }
    Option& state = them_[option];
    if (verb == kWill && weAccept(option)) {
        if (state == Option::no) sendCommand(kDo, option);
        state = Option::yes;
    } else if (verb == kWill) {
        sendCommand(kDont, option);
    } else {
        if (state == Option::yes) sendCommand(kDont, option);
        state = Option::no;
    }
}

void TelnetSession::subnegotiation() {
    if (sub_.size() < 3 || sub_[0] != kComPort || sub_[1] <= kServerAnswer) return;
    const std::uint8_t answered = sub_[1] - kServerAnswer;
    std::uint32_t value = 0;
    if (answered == kSetBaudRate) {
        if (sub_.size() < 6) return;
        value = static_cast<std::uint32_t>(sub_[2]) << 24 | static_cast<std::uint32_t>(sub_[3]) << 16 |
                static_cast<std::uint32_t>(sub_[4]) << 8 | sub_[5];
    } else {
        value = sub_[2];
    }
    for (std::size_t i = 0; i < std::size(kSettings); ++i) {
        const Setting& setting = kSettings[i];
        if (setting.command != answered) continue;
        if (answered == kSetControl && (value < setting.answersFrom || value > setting.answersTo)) continue;
        answers_[i] = value;
    }
}

TelnetSession::Settings TelnetSession::settings() const {
    if (comPortRefused_) return Settings::unsupported;
    if (!refusedSetting().empty()) return Settings::refused;
    for (std::size_t i = 0; i < std::size(kSettings); ++i) {
        if (kSettings[i].required && !answers_[i]) return Settings::pending;
    }
    return Settings::accepted;
}

std::string TelnetSession::refusedSetting() const {
    for (std::size_t i = 0; i < std::size(kSettings); ++i) {
        const Setting& setting = kSettings[i];
        const bool baud = setting.command == kSetBaudRate;
        const std::uint32_t wanted = baud ? baud_ : setting.value;
        if (!answers_[i] || *answers_[i] == wanted) continue;
        return baud ? std::to_string(baud_) + setting.name : setting.name;
    }
    return "";
}

}  // namespace kelvo
