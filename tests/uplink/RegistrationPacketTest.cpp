// The registration packet: enciphered here with the cipher library, checked
// and deciphered by the code under test.
#include "rtu/uplink/RegistrationPacket.h"

#include "rtu/protocol/HexText.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>

namespace rtu {
namespace {

// Enciphers a plaintext (padded with zero bytes to 24) and returns the
// 48-character packet.
std::string Packet(std::string plain)
{
    plain.resize(24, '\0');
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, "kP3807#?-+.,!*@%", 16), 0u);
    std::uint8_t cipher[24];
    EXPECT_EQ(gcry_cipher_encrypt(h, cipher, sizeof cipher, plain.data(), plain.size()), 0u);
    gcry_cipher_close(h);
    return BytesToHexText(std::string_view(reinterpret_cast<const char*>(cipher), sizeof cipher));
}

const std::string kHeader12("\x68\x12\x68\x02", 4);
const std::string kHeader13("\x68\x13\x68\x02", 4);

TEST(RegistrationPacket, DeciphersStationAddressAndFreshStart)
{
    Registration reg = DecodeRegistrationPacket(Packet(kHeader12 + "0012345678" + "1" + "ABCDEFGHI"));
    EXPECT_EQ(reg.check, RegistrationCheck::kAccepted);
    EXPECT_EQ(reg.Station(), "0012345678");
    EXPECT_STREQ(reg.station, "0012345678");
    EXPECT_TRUE(reg.freshStart);

    std::string lower = Packet(kHeader13 + "9876543210" + "0");
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    reg = DecodeRegistrationPacket(lower);
    EXPECT_EQ(reg.check, RegistrationCheck::kAccepted);
    EXPECT_EQ(reg.Station(), "9876543210");
    EXPECT_FALSE(reg.freshStart);
}

TEST(RegistrationPacket, RefusesWrongLengthHexAndHeader)
{
    const std::string good = Packet(kHeader12 + "0012345678" + "1");
    EXPECT_EQ(DecodeRegistrationPacket(good.substr(0, 47)).check, RegistrationCheck::kLengthError);
    EXPECT_EQ(DecodeRegistrationPacket(good + "0").check, RegistrationCheck::kLengthError);
    EXPECT_EQ(DecodeRegistrationPacket("").check, RegistrationCheck::kLengthError);

    std::string notHex = good;
    notHex[7] = 'G';
    EXPECT_EQ(DecodeRegistrationPacket(notHex).check, RegistrationCheck::kRegError);
    std::string withZero = good;
    withZero[7] = '\0';
    EXPECT_EQ(DecodeRegistrationPacket(withZero).check, RegistrationCheck::kRegError);

    for (const std::string& header : {std::string("\x68\x14\x68\x02", 4), std::string("\x67\x12\x68\x02", 4),
                                      std::string("\x68\x12\x68\x03", 4)}) {
        EXPECT_EQ(DecodeRegistrationPacket(Packet(header + "0012345678" + "1")).check,
                  RegistrationCheck::kRegError);
    }
    // Ciphertext that was not enciphered with the key.
    EXPECT_EQ(DecodeRegistrationPacket(std::string(48, '0')).check, RegistrationCheck::kRegError);
}

TEST(RegistrationPacket, RefusesPlaintextTooShortForAddressAndFlag)
{
    // Cut by a zero byte inside the station address.
    EXPECT_EQ(DecodeRegistrationPacket(Packet(kHeader12 + "00123")).check, RegistrationCheck::kRegError);
    // Exactly the header and the address, no flag.
    EXPECT_EQ(DecodeRegistrationPacket(Packet(kHeader12 + "0012345678")).check,
              RegistrationCheck::kRegError);
    // Trailing blanks are stripped before the length counts.
    EXPECT_EQ(DecodeRegistrationPacket(Packet(kHeader12 + "12345" + std::string(15, ' '))).check,
              RegistrationCheck::kRegError);
    // A blank flag after a full address is stripped too.
    EXPECT_EQ(DecodeRegistrationPacket(Packet(kHeader12 + "0012345678 ")).check,
              RegistrationCheck::kRegError);
    // The shortest plaintext accepted: header, address, flag.
    const Registration reg = DecodeRegistrationPacket(Packet(kHeader12 + "0012345678" + "2"));
    EXPECT_EQ(reg.check, RegistrationCheck::kAccepted);
    EXPECT_FALSE(reg.freshStart);
}

}  // namespace
}  // namespace rtu
