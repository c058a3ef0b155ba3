// SAFER SK-128 block cipher: 64-bit blocks, 128-bit key given as two 8-byte halves, with the
// strengthened key schedule; byte arithmetic modulo 256 throughout.
//
// Thread safety: the exponent and logarithm tables are constants built by the compiler, so
// they are complete before any thread runs and are only ever read. A key schedule belongs to
// its caller; enciphering and deciphering only read it.
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace pelmora {

constexpr size_t SAFER_BLOCK_LENGTH = 8;
constexpr unsigned SAFER_MAX_ROUNDS = 13;
// Round count, then the first round key and two round keys per round.
constexpr size_t SAFER_KEY_LENGTH = 1 + SAFER_BLOCK_LENGTH * (1 + 2 * SAFER_MAX_ROUNDS);

struct SaferTables {
    BYTE exp[256];  // 45^i mod 257, with 256 (i = 128) kept as 0
    BYTE log[256];  // inverse of exp
};

constexpr SaferTables MakeSaferTables()
{
    SaferTables tables{};
    unsigned power = 1;
    for (unsigned i = 0; i < 256; ++i) {
        tables.exp[i] = BYTE(power & 0xFF);
        tables.log[power & 0xFF] = BYTE(i);
        power = power * 45 % 257;
    }
    return tables;
}

inline constexpr SaferTables saferTables = MakeSaferTables();

// The expanded key schedule. Bytes past the rounds in use are left as they were.
struct SaferKey {
    BYTE bytes[SAFER_KEY_LENGTH];
};

// Expands userkey1 (A) and userkey2 (B) for `rounds` rounds (more than 13 are taken as 13);
// `strengthened` selects the SK schedule.
void SaferExpandKey(const BYTE userkey1[SAFER_BLOCK_LENGTH],
                    const BYTE userkey2[SAFER_BLOCK_LENGTH], unsigned rounds, bool strengthened,
                    SaferKey &key);

void SaferEncipherBlock(const BYTE in[SAFER_BLOCK_LENGTH], const SaferKey &key,
                        BYTE out[SAFER_BLOCK_LENGTH]);

// The inverse of SaferEncipherBlock under the same schedule.
void SaferDecipherBlock(const BYTE in[SAFER_BLOCK_LENGTH], const SaferKey &key,
                        BYTE out[SAFER_BLOCK_LENGTH]);

}  // namespace pelmora
