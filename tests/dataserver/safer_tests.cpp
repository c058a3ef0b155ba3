#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "dataserver/Safer.h"

using namespace pelmora;

namespace {

using Block = std::array<BYTE, SAFER_BLOCK_LENGTH>;

Block Encipher(const Block &plain, const SaferKey &key)
{
    Block out{};
    SaferEncipherBlock(plain.data(), key, out.data());
    return out;
}

Block Decipher(const Block &cipher, const SaferKey &key)
{
    Block out{};
    SaferDecipherBlock(cipher.data(), key, out.data());
    return out;
}

}  // namespace

// The tables are finished by the compiler: no thread can ever see them half built.
static_assert(saferTables.exp[1] == 45 && saferTables.exp[128] == 0 && saferTables.log[0] == 128,
              "tables are compile-time constants");

TEST(SaferTables, exponent_and_logarithm_tables_are_inverse_permutations)
{
    const auto &t = saferTables;
    EXPECT_EQ(1, t.exp[0]);
    EXPECT_EQ(45, t.exp[1]);
    EXPECT_EQ(0, t.exp[128]);  // 45^128 mod 257 = 256, kept as 0
    EXPECT_EQ(128, t.log[0]);
    bool seen[256] = {};
    for (int i = 0; i < 256; ++i) {
        EXPECT_FALSE(seen[t.exp[i]]) << i;
        seen[t.exp[i]] = true;
        EXPECT_EQ(i, t.log[t.exp[i]]) << i;
    }
}

TEST(SaferSk128, published_test_vector)
{
    const BYTE a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const BYTE b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    SaferKey key;
    SaferExpandKey(a, b, 10, true, key);

    const Block plain = {1, 2, 3, 4, 5, 6, 7, 8};
    const Block expected = {0xff, 0x78, 0x11, 0xe4, 0xb3, 0xa7, 0x2e, 0x71};
    EXPECT_EQ(expected, Encipher(plain, key));
    EXPECT_EQ(plain, Decipher(expected, key));

    // The same vector set, with the key halves the other way round.
    SaferKey swapped;
    SaferExpandKey(b, a, 10, true, swapped);
    const Block expectedSwapped = {0x49, 0xc9, 0x9d, 0x98, 0xa5, 0xbc, 0x59, 0x08};
    EXPECT_EQ(expectedSwapped, Encipher(plain, swapped));
    EXPECT_EQ(plain, Decipher(expectedSwapped, swapped));
}

TEST(SaferSk128, strengthened_schedule_differs_from_the_plain_one)
{
    const BYTE a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const BYTE b[8] = {9, 10, 11, 12, 13, 14, 15, 16};
    SaferKey strengthened;
    SaferKey plain;
    SaferExpandKey(a, b, 10, true, strengthened);
    SaferExpandKey(a, b, 10, false, plain);
    // Both start with the round count and B itself; the round keys after it differ.
    EXPECT_EQ(0, std::memcmp(strengthened.bytes, plain.bytes, 9));
    EXPECT_NE(0, std::memcmp(strengthened.bytes + 9, plain.bytes + 9, 8 * 20));
}

TEST(SaferSk128, a_round_count_above_13_is_taken_as_13)
{
    const BYTE a[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
    const BYTE b[8] = {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01};
    SaferKey thirteen;
    SaferExpandKey(a, b, 13, true, thirteen);
    EXPECT_EQ(13, thirteen.bytes[0]);

    for (unsigned rounds : {14u, 20u, 255u, 1000u}) {
        SaferKey key;
        SaferExpandKey(a, b, rounds, true, key);
        EXPECT_EQ(0, std::memcmp(thirteen.bytes, key.bytes, SAFER_KEY_LENGTH)) << rounds;
    }

    // A schedule whose count byte says more than 13 is run with 13 rounds.
    SaferKey overstated = thirteen;
    overstated.bytes[0] = 200;
    const Block plain = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(Encipher(plain, thirteen), Encipher(plain, overstated));
    EXPECT_EQ(plain, Decipher(Encipher(plain, overstated), overstated));
}

TEST(SaferSk128, ten_rounds_fill_169_schedule_bytes_and_leave_the_rest)
{
    const BYTE a[8] = {1, 1, 2, 3, 5, 8, 13, 21};
    const BYTE b[8] = {34, 55, 89, 144, 233, 121, 98, 219};
    SaferKey zeros;
    SaferKey ones;
    std::memset(zeros.bytes, 0x00, sizeof zeros.bytes);
    std::memset(ones.bytes, 0xFF, sizeof ones.bytes);
    SaferExpandKey(a, b, 10, true, zeros);
    SaferExpandKey(a, b, 10, true, ones);

    EXPECT_EQ(10, zeros.bytes[0]);
    EXPECT_EQ(0, std::memcmp(zeros.bytes + 1, b, 8));
    EXPECT_EQ(0, std::memcmp(zeros.bytes, ones.bytes, 169));
    for (size_t i = 169; i < SAFER_KEY_LENGTH; ++i) {
        EXPECT_EQ(0x00, zeros.bytes[i]) << i;
        EXPECT_EQ(0xFF, ones.bytes[i]) << i;
    }
}

TEST(SaferSk128, decipher_inverts_encipher_for_random_keys_blocks_and_round_counts)
{
    std::mt19937 random(1321);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int trial = 0; trial < 2000; ++trial) {
        BYTE a[8];
        BYTE b[8];
        Block plain;
        for (int i = 0; i < 8; ++i) {
            a[i] = BYTE(byte(random));
            b[i] = BYTE(byte(random));
            plain[i] = BYTE(byte(random));
        }
        const unsigned rounds = unsigned(trial % 14);
        const bool strengthened = trial % 3 != 0;
        SaferKey key;
        SaferExpandKey(a, b, rounds, strengthened, key);
        const Block cipher = Encipher(plain, key);
        if (rounds > 0) {
            EXPECT_NE(plain, cipher) << "trial " << trial;
        }
        ASSERT_EQ(plain, Decipher(cipher, key)) << "trial " << trial;
        ASSERT_EQ(cipher, Encipher(Decipher(cipher, key), key)) << "trial " << trial;
    }
}

TEST(SaferSk128, enciphering_in_place_is_allowed)
{
    const BYTE a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const BYTE b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    SaferKey key;
    SaferExpandKey(a, b, 10, true, key);
    BYTE block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    SaferEncipherBlock(block, key, block);
    const BYTE expected[8] = {0xff, 0x78, 0x11, 0xe4, 0xb3, 0xa7, 0x2e, 0x71};
    EXPECT_EQ(0, std::memcmp(expected, block, 8));
    SaferDecipherBlock(block, key, block);
    const BYTE plain[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(plain, block, 8));
}
