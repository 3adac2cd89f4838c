#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvo {

// SHA-256 (FIPS 180-4) over bytes given in pieces: the identity of a firmware file.
class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    // The digest as 64 lowercase hex digits. Ends the hash: call once.
    std::string hexDigest();

private:
    void block(const std::uint8_t* bytes);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace kelvo
