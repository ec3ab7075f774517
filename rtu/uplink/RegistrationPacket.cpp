#include "rtu/uplink/RegistrationPacket.h"

#include "rtu/protocol/HexText.h"

#include <gcrypt.h>

#include <cstdint>
#include <cstring>
#include <mutex>

namespace rtu {
namespace {

// The key every station enciphers its registration with.
constexpr char kRegistrationKey[] = "kP3807#?-+.,!*@%";
constexpr std::size_t kKeyBytes = sizeof kRegistrationKey - 1;
constexpr std::size_t kCipherBytes = kRegistrationPacketBytes / 2;  // 24: three cipher blocks
constexpr std::size_t kMinPlaintextBytes = 15;  // header (4), station address (10), flag (1)

// The cipher library must be initialised once per process before use; when
// the program has already done so this changes nothing.
void EnsureCipherLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) == 0) {
            gcry_check_version(nullptr);
            gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
            gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        }
    });
}

bool Decipher(const std::uint8_t* cipher, std::uint8_t* plain)
{
    EnsureCipherLibrary();
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0) != 0) {
        return false;
    }
    const bool ok = gcry_cipher_setkey(handle, kRegistrationKey, kKeyBytes) == 0 &&
                    gcry_cipher_decrypt(handle, plain, kCipherBytes, cipher, kCipherBytes) == 0;
    gcry_cipher_close(handle);
    return ok;
}

}  // namespace

Registration DecodeRegistrationPacket(std::string_view block)
{
    Registration reg;
    if (block.size() != kRegistrationPacketBytes) {
        reg.check = RegistrationCheck::kLengthError;
        return reg;
    }
    // A zero byte or any other character that is no hexadecimal digit fails.
    if (!IsHexText(block)) {
        return reg;
    }
    std::uint8_t cipher[kCipherBytes];
    HexTextToBytes(block, cipher, sizeof cipher);
    std::uint8_t plain[kCipherBytes];
    if (!Decipher(cipher, plain)) {
        return reg;
    }

    // The plaintext runs to its first zero byte, without trailing blanks.
    std::size_t length = 0;
    while (length < kCipherBytes && plain[length] != 0) {
        ++length;
    }
    while (length > 0 && plain[length - 1] == ' ') {
        --length;
    }
    // Too short to hold the station address and the flag.
    if (length < kMinPlaintextBytes) {
        return reg;
    }
    if (plain[0] != 0x68 || (plain[1] != 0x12 && plain[1] != 0x13) || plain[2] != 0x68 ||
        plain[3] != 0x02) {
        return reg;
    }
    std::memcpy(reg.station, plain + 4, 10);
    reg.station[10] = '\0';
    reg.freshStart = plain[14] == '1';
    reg.check = RegistrationCheck::kAccepted;
    return reg;
}

}  // namespace rtu
