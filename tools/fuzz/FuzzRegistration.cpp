// The registration packet of a new connection.
//
// Input: byte 0 chooses the mode, the rest is the data.
//   even  the data are the block as received
//   odd   the data are a plaintext (up to 24 bytes, zero-padded) that is
//         enciphered under the stations' key and written as hexadecimal text
//         (lower case when bit 1 is set), so the plaintext checks are reached
// Checks besides the sanitizers: an accepted packet is 48 bytes, and for an
// enciphered plaintext the station address is taken from bytes 4..13 and the
// fresh-start flag from byte 14.
#include "rtu/uplink/RegistrationPacket.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kRegistrationKey[] = "kP3807#?-+.,!*@%";
constexpr std::size_t kCipherBytes = 24;

bool Encipher(const std::uint8_t* plain, std::uint8_t* cipher)
{
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0) != 0) return false;
    const bool ok = gcry_cipher_setkey(handle, kRegistrationKey, sizeof kRegistrationKey - 1) == 0 &&
                    gcry_cipher_encrypt(handle, cipher, kCipherBytes, plain, kCipherBytes) == 0;
    gcry_cipher_close(handle);
    return ok;
}

std::string HexText(const std::uint8_t* bytes, std::size_t count, bool lower)
{
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

// The cipher library is set up once, as the program does at start-up.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const unsigned mode = data[0];
    if ((mode & 1) == 0) {
        const std::string_view block(reinterpret_cast<const char*>(data) + 1, size - 1);
        const rtu::Registration reg = rtu::DecodeRegistrationPacket(block);
        if (reg.check == rtu::RegistrationCheck::kAccepted && block.size() != rtu::kRegistrationPacketBytes)
            std::abort();
        if (reg.check == rtu::RegistrationCheck::kLengthError && block.size() == rtu::kRegistrationPacketBytes)
            std::abort();
        if (reg.station[10] != '\0') std::abort();
        return 0;
    }

    std::uint8_t plain[kCipherBytes] = {};
    std::memcpy(plain, data + 1, std::min(size - 1, kCipherBytes));
    std::uint8_t cipher[kCipherBytes];
    if (!Encipher(plain, cipher)) return 0;
    const rtu::Registration reg = rtu::DecodeRegistrationPacket(HexText(cipher, kCipherBytes, (mode & 2) != 0));
    if (reg.check == rtu::RegistrationCheck::kLengthError) std::abort();
    if (reg.check == rtu::RegistrationCheck::kAccepted) {
        if (std::memcmp(reg.station, plain + 4, 10) != 0 || reg.station[10] != '\0') std::abort();
        if (reg.freshStart != (plain[14] == '1')) std::abort();
        if (plain[0] != 0x68 || plain[2] != 0x68 || plain[3] != 0x02) std::abort();
    }
    return 0;
}
