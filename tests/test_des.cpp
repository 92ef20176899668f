// DES against published known-answer vectors, and the VNC key convention of
// the authentication response.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vnc_des.h"

namespace {

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string des_hex(const std::string &key, const std::string &plain) {
    std::vector<uint8_t> k = from_hex(key), p = from_hex(plain);
    uint8_t out[8];
    vnc_des_encrypt_block_with_key(k.data(), p.data(), out);
    return to_hex(out, 8);
}

// Bit i moves to bit 7 - i.
uint8_t reverse_bits(uint8_t b) {
    uint8_t r = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (b & (0x80 >> bit)) r |= static_cast<uint8_t>(1 << bit);
    return r;
}

// The VNC key derived here, independently of the library.
std::array<uint8_t, 8> vnc_key(const char *password) {
    std::array<uint8_t, 8> key{};
    for (size_t i = 0; password && password[i] && i < 8; ++i)
        key[i] = reverse_bits(static_cast<uint8_t>(password[i]));
    return key;
}

std::array<uint8_t, 16> response(const uint8_t challenge[16], const char *password) {
    std::array<uint8_t, 16> out{};
    vnc_des_encrypt_challenge(challenge, password, out.data());
    return out;
}

std::array<uint8_t, 16> plain_des_pair(const uint8_t key[8], const uint8_t challenge[16]) {
    std::array<uint8_t, 16> out{};
    vnc_des_encrypt_block_with_key(key, challenge, out.data());
    vnc_des_encrypt_block_with_key(key, challenge + 8, out.data() + 8);
    return out;
}

struct Kat {
    const char *key;
    const char *plain;
    const char *cipher;
};

// Vectors from the published DES literature: the textbook worked example,
// the NBS validation tables (variable plaintext, inverse permutation,
// variable key, permutation operation, substitution tables) and the ECB
// example of the DES modes-of-operation standard ("Now is the time for all ").
const Kat kKnownAnswers[] = {
    // Worked example.
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    // Variable plaintext, key 0101010101010101 (all key bits 0).
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"0101010101010101", "1000000000000000", "4BD388FF6CD81D4F"},
    {"0101010101010101", "0800000000000000", "20B9E767B2FB1456"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    // Inverse permutation: the ciphertexts above come back to single bits.
    {"0101010101010101", "95F8A5E5DD31D900", "8000000000000000"},
    {"0101010101010101", "DD7F121CA5015619", "4000000000000000"},
    // Variable key, plaintext 0.
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
    {"1001010101010101", "0000000000000000", "D3746294CA6A6CF3"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    // Permutation operation.
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    // Substitution tables.
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    // Extremes and patterned keys.
    {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58"},
    {"3000000000000000", "1000000000000001", "958E6E627A05557B"},
    {"1111111111111111", "1111111111111111", "F40379AB9E0EC533"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "ED39D950FA74BCC4"},
    // ECB example, three blocks of "Now is the time for all ".
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9"},
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53"},
};

TEST(DesBlock, PublishedKnownAnswers) {
    for (const Kat &k : kKnownAnswers)
        EXPECT_EQ(des_hex(k.key, k.plain), k.cipher) << "key " << k.key << " plain " << k.plain;
}

TEST(DesBlock, ParityBitsOfTheKeyAreIgnored) {
    // Bit 0 of every key byte is a parity bit that PC1 drops.
    for (const Kat &k : kKnownAnswers) {
        std::vector<uint8_t> key = from_hex(k.key), plain = from_hex(k.plain);
        for (uint8_t &b : key) b ^= 0x01;
        uint8_t out[8];
        vnc_des_encrypt_block_with_key(key.data(), plain.data(), out);
        EXPECT_EQ(to_hex(out, 8), k.cipher) << "key " << k.key << " with parity bits flipped";
    }
}

TEST(DesBlock, EveryKeyBitAndPlaintextBitMatters) {
    // Flipping any non-parity key bit or any plaintext bit changes the block.
    const std::vector<uint8_t> key = from_hex("133457799BBCDFF1");
    const std::vector<uint8_t> plain = from_hex("0123456789ABCDEF");
    uint8_t base[8];
    vnc_des_encrypt_block_with_key(key.data(), plain.data(), base);
    for (int bit = 0; bit < 64; ++bit) {
        uint8_t out[8];
        std::vector<uint8_t> p = plain;
        p[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        vnc_des_encrypt_block_with_key(key.data(), p.data(), out);
        EXPECT_NE(0, std::memcmp(out, base, 8)) << "plaintext bit " << bit;
        if (bit % 8 == 7) continue;  // parity
        std::vector<uint8_t> k = key;
        k[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        vnc_des_encrypt_block_with_key(k.data(), plain.data(), out);
        EXPECT_NE(0, std::memcmp(out, base, 8)) << "key bit " << bit;
    }
}

const uint8_t kCountingChallenge[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                        0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};

TEST(VncResponse, IsPlainDesUnderTheBitReversedKey) {
    const char *passwords[] = {
        "password", "a", "Secret", "12345678", "longer than eight", "\xE9\xFF\x80\x01", "ab\x7F"};
    for (const char *pw : passwords) {
        const std::array<uint8_t, 8> key = vnc_key(pw);
        EXPECT_EQ(response(kCountingChallenge, pw), plain_des_pair(key.data(), kCountingChallenge))
            << "password \"" << pw << "\"";
    }
}

TEST(VncResponse, DiffersFromDesUnderTheUnreversedKey) {
    // Reversal must apply to the key: the raw password bytes as a DES key
    // give a different answer ('p' = 0x70 reversed is 0x0E, and so on).
    const char *pw = "password";
    uint8_t raw_key[8];
    std::memcpy(raw_key, pw, 8);
    EXPECT_NE(response(kCountingChallenge, pw), plain_des_pair(raw_key, kCountingChallenge));
}

TEST(VncResponse, ChallengeBytesAreNotReversed) {
    // Reversing the challenge bytes too (a plausible mistake) gives another answer.
    const std::array<uint8_t, 8> key = vnc_key("password");
    uint8_t reversed_challenge[16];
    for (int i = 0; i < 16; ++i) reversed_challenge[i] = reverse_bits(kCountingChallenge[i]);
    EXPECT_NE(response(kCountingChallenge, "password"),
              plain_des_pair(key.data(), reversed_challenge));
}

TEST(VncResponse, FixedVectors) {
    // Derived outside this library: "password" -> key bytes 0E 86 CE CE EE F6
    // 4E 26, "Secret" -> CA A6 C6 4E A6 2E 00 00, each challenge half then
    // encrypted with a separate DES implementation.
    EXPECT_EQ(to_hex(response(kCountingChallenge, "password").data(), 16),
              "B866924125C8EEBB9DEBC1DB61C538E2");
    const std::vector<uint8_t> challenge = from_hex("FFEEDDCCBBAA99887766554433221100");
    EXPECT_EQ(to_hex(response(challenge.data(), "Secret").data(), 16),
              "B31988AB6C16CE268375E7AD133DA418");
    // The independent key derivation agrees with those key bytes.
    EXPECT_EQ(to_hex(vnc_key("password").data(), 8), "0E86CECEEEF64E26");
    EXPECT_EQ(to_hex(vnc_key("Secret").data(), 8), "CAA6C64EA62E0000");
}

TEST(VncResponse, OnlyTheFirstEightCharactersCount) {
    const auto base = response(kCountingChallenge, "password");
    EXPECT_EQ(response(kCountingChallenge, "password1"), base);
    EXPECT_EQ(response(kCountingChallenge, "passwordXYZ and more text"), base);
    // ... but each of the eight does, including the eighth.
    EXPECT_NE(response(kCountingChallenge, "passwore"), base);
    EXPECT_NE(response(kCountingChallenge, "passwor"), base);
    EXPECT_NE(response(kCountingChallenge, "Password"), base);
}

TEST(VncResponse, NullAndEmptyPasswordUseTheAllZeroKey) {
    const uint8_t zero_key[8] = {0};
    const auto expected = plain_des_pair(zero_key, kCountingChallenge);
    EXPECT_EQ(response(kCountingChallenge, nullptr), expected);
    EXPECT_EQ(response(kCountingChallenge, ""), expected);
    // A password cut short by a NUL is the shorter password.
    EXPECT_EQ(response(kCountingChallenge, "ab\0cdefgh"), response(kCountingChallenge, "ab"));
    EXPECT_NE(response(kCountingChallenge, "ab"), expected);
}

TEST(VncResponse, HalvesAreEncryptedIndependently) {
    uint8_t challenge[16];
    for (int i = 0; i < 8; ++i)
        challenge[i] = challenge[i + 8] = static_cast<uint8_t>(0x5A ^ (i * 37));
    auto r = response(challenge, "halves");
    EXPECT_EQ(0, std::memcmp(r.data(), r.data() + 8, 8)) << "equal halves, no chaining";

    // Changing the second half leaves the first response half alone.
    const auto before = response(kCountingChallenge, "halves");
    uint8_t changed[16];
    std::memcpy(changed, kCountingChallenge, 16);
    changed[15] ^= 0xFF;
    const auto after = response(changed, "halves");
    EXPECT_EQ(0, std::memcmp(before.data(), after.data(), 8));
    EXPECT_NE(0, std::memcmp(before.data() + 8, after.data() + 8, 8));
}

}  // namespace
