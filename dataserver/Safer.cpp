#include "dataserver/Safer.h"

namespace pelmora {
namespace {

constexpr const BYTE *E = saferTables.exp;
constexpr const BYTE *L = saferTables.log;

inline BYTE RotateLeft(BYTE x, unsigned n) { return BYTE((x << n) | (x >> (8 - n))); }

inline unsigned RoundsOf(const SaferKey &key)
{
    return key.bytes[0] > SAFER_MAX_ROUNDS ? SAFER_MAX_ROUNDS : key.bytes[0];
}

// Inverse of the Pseudo-Hadamard transform PHT(x, y): y += x, x += y.
inline void IPHT(BYTE &x, BYTE &y)
{
    x = BYTE(x - y);
    y = BYTE(y - x);
}

}  // namespace

void SaferExpandKey(const BYTE userkey1[SAFER_BLOCK_LENGTH],
                    const BYTE userkey2[SAFER_BLOCK_LENGTH], unsigned rounds, bool strengthened,
                    SaferKey &key)
{
    if (rounds > SAFER_MAX_ROUNDS)
        rounds = SAFER_MAX_ROUNDS;
    BYTE *k = key.bytes;
    *k++ = BYTE(rounds);

    BYTE ka[SAFER_BLOCK_LENGTH + 1];
    BYTE kb[SAFER_BLOCK_LENGTH + 1];
    ka[SAFER_BLOCK_LENGTH] = 0;
    kb[SAFER_BLOCK_LENGTH] = 0;
    for (size_t j = 0; j < SAFER_BLOCK_LENGTH; ++j) {
        ka[j] = RotateLeft(userkey1[j], 5);
        kb[j] = userkey2[j];
        ka[SAFER_BLOCK_LENGTH] ^= ka[j];
        kb[SAFER_BLOCK_LENGTH] ^= kb[j];
        *k++ = kb[j];
    }

    for (size_t i = 1; i <= rounds; ++i) {
        for (size_t j = 0; j < SAFER_BLOCK_LENGTH + 1; ++j) {
            ka[j] = RotateLeft(ka[j], 6);
            kb[j] = RotateLeft(kb[j], 6);
        }
        for (size_t j = 0; j < SAFER_BLOCK_LENGTH; ++j) {
            BYTE base = strengthened ? ka[(j + 2 * i - 1) % (SAFER_BLOCK_LENGTH + 1)] : ka[j];
            *k++ = BYTE(base + E[E[18 * i + j + 1]]);
        }
        for (size_t j = 0; j < SAFER_BLOCK_LENGTH; ++j) {
            BYTE base = strengthened ? kb[(j + 2 * i) % (SAFER_BLOCK_LENGTH + 1)] : kb[j];
            *k++ = BYTE(base + E[E[18 * i + j + 10]]);
        }
    }

    for (size_t j = 0; j < SAFER_BLOCK_LENGTH + 1; ++j) {
        ka[j] = 0;
        kb[j] = 0;
    }
}

void SaferEncipherBlock(const BYTE in[SAFER_BLOCK_LENGTH], const SaferKey &key,
                        BYTE out[SAFER_BLOCK_LENGTH])
{
    // Wide registers, reduced to a byte only where a table is indexed and on output: addition
    // and XOR give the same low byte either way, and the compiler avoids partial-register work.
    unsigned a = in[0], b = in[1], c = in[2], d = in[3], e = in[4], f = in[5], g = in[6], h = in[7];
    const unsigned rounds = RoundsOf(key);
    const BYTE *k = key.bytes + 1;

    // The eight byte lanes stay side by side, one row per step.
    // clang-format off
    for (unsigned round = 0; round < rounds; ++round, k += 2 * SAFER_BLOCK_LENGTH) {
        a = E[(a ^ k[0]) & 0xFF]; b = L[(b + k[1]) & 0xFF];
        c = L[(c + k[2]) & 0xFF]; d = E[(d ^ k[3]) & 0xFF];
        e = E[(e ^ k[4]) & 0xFF]; f = L[(f + k[5]) & 0xFF];
        g = L[(g + k[6]) & 0xFF]; h = E[(h ^ k[7]) & 0xFF];

        a += k[8];  b ^= k[9];  c ^= k[10]; d += k[11];
        e += k[12]; f ^= k[13]; g ^= k[14]; h += k[15];

        b += a; a += b; d += c; c += d; f += e; e += f; h += g; g += h;  // PHT (a,b) (c,d) (e,f) (g,h)
        c += a; a += c; g += e; e += g; d += b; b += d; h += f; f += h;  // PHT (a,c) (e,g) (b,d) (f,h)
        e += a; a += e; f += b; b += f; g += c; c += g; h += d; d += h;  // PHT (a,e) (b,f) (c,g) (d,h)

        // (a, b, c, d, e, f, g, h) <- (a, e, b, f, c, g, d, h)
        unsigned t = b; b = e; e = c; c = t;
        t = d; d = f; f = g; g = t;
    }

    out[0] = BYTE(a ^ k[0]); out[1] = BYTE(b + k[1]);
    out[2] = BYTE(c + k[2]); out[3] = BYTE(d ^ k[3]);
    out[4] = BYTE(e ^ k[4]); out[5] = BYTE(f + k[5]);
    out[6] = BYTE(g + k[6]); out[7] = BYTE(h ^ k[7]);
    // clang-format on
}

void SaferDecipherBlock(const BYTE in[SAFER_BLOCK_LENGTH], const SaferKey &key,
                        BYTE out[SAFER_BLOCK_LENGTH])
{
    BYTE a = in[0], b = in[1], c = in[2], d = in[3], e = in[4], f = in[5], g = in[6], h = in[7];
    const unsigned rounds = RoundsOf(key);
    const BYTE *k = key.bytes + 1 + 2 * SAFER_BLOCK_LENGTH * rounds;  // the last round key

    // The eight byte lanes stay side by side, one row per step.
    // clang-format off
    a ^= k[0]; b = BYTE(b - k[1]); c = BYTE(c - k[2]); d ^= k[3];
    e ^= k[4]; f = BYTE(f - k[5]); g = BYTE(g - k[6]); h ^= k[7];

    for (unsigned round = 0; round < rounds; ++round) {
        k -= 2 * SAFER_BLOCK_LENGTH;

        // (a, e, b, f, c, g, d, h) <- (a, b, c, d, e, f, g, h)
        BYTE t = e; e = b; b = c; c = t;
        t = f; f = d; d = g; g = t;

        IPHT(a, e); IPHT(b, f); IPHT(c, g); IPHT(d, h);
        IPHT(a, c); IPHT(e, g); IPHT(b, d); IPHT(f, h);
        IPHT(a, b); IPHT(c, d); IPHT(e, f); IPHT(g, h);

        a = BYTE(a - k[8]);  b ^= k[9];  c ^= k[10]; d = BYTE(d - k[11]);
        e = BYTE(e - k[12]); f ^= k[13]; g ^= k[14]; h = BYTE(h - k[15]);

        a = L[a]; b = E[b]; c = E[c]; d = L[d];
        e = L[e]; f = E[f]; g = E[g]; h = L[h];

        a ^= k[0]; b = BYTE(b - k[1]); c = BYTE(c - k[2]); d ^= k[3];
        e ^= k[4]; f = BYTE(f - k[5]); g = BYTE(g - k[6]); h ^= k[7];
    }

    out[0] = a; out[1] = b; out[2] = c; out[3] = d;
    out[4] = e; out[5] = f; out[6] = g; out[7] = h;
    // clang-format on
}

}  // namespace pelmora
