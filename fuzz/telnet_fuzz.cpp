// libFuzzer target: the Telnet layer of an rfc2217:// port on whatever a server may send, in
// pieces of any size (the first byte), and the data's escaping, which must come back unchanged.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "link/telnet.h"

namespace {

// The server agrees to binary transmission both ways.
const std::vector<std::uint8_t> kBinary = {255, 253, 0, 255, 251, 0};

kelvo::TelnetSession binarySession() {
    kelvo::TelnetSession session;
    session.start(9600);
    std::vector<std::uint8_t> none;
    session.decode(kBinary.data(), kBinary.size(), none);
    return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 16 + 1;
    kelvo::TelnetSession session;
    session.start(9600);
    std::vector<std::uint8_t> decoded;
    for (std::size_t at = 1; at < size; at += piece)
        session.decode(data + at, std::min(piece, size - at), decoded);
    if (decoded.size() > size) __builtin_trap();
    (void)session.settings();
    (void)session.refusedSetting();

    kelvo::TelnetSession sender = binarySession();
    kelvo::TelnetSession receiver = binarySession();
    std::vector<std::uint8_t> wire;
    sender.encode(data + 1, size - 1, wire);
    std::vector<std::uint8_t> back;
    for (std::size_t at = 0; at < wire.size(); at += piece)
        receiver.decode(wire.data() + at, std::min(piece, wire.size() - at), back);
    if (!std::equal(back.begin(), back.end(), data + 1, data + size) || back.size() != size - 1)
        __builtin_trap();
    return 0;
}
