// The registration packet a station sends first on a connection in
// registration mode: 48 characters, the hexadecimal text of 24 bytes of
// Blowfish-ECB ciphertext under the program's key. The plaintext begins
// 0x68, 0x12 or 0x13, 0x68, 0x02, then the 10-character station address and
// the fresh-start flag ("1": the station starts afresh).
#pragma once

#include <cstddef>
#include <string_view>

namespace rtu {

inline constexpr std::size_t kRegistrationPacketBytes = 48;

enum class RegistrationCheck {
    kAccepted,
    kLengthError,  // the block is not 48 bytes ("Reg Length Error")
    kRegError,     // not hexadecimal, cannot be deciphered, or the plaintext is wrong ("Reg Error")
};

struct Registration {
    RegistrationCheck check = RegistrationCheck::kRegError;
    char station[11] = {};    // station address, 10 characters and a terminating zero
    bool freshStart = false;  // plaintext byte 14 is "1"

    std::string_view Station() const { return {station, 10}; }
};

// Checks and deciphers the first block of a connection.
Registration DecodeRegistrationPacket(std::string_view block);

}  // namespace rtu
