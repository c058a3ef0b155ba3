#include "dataserver/Md5.h"

#include <cstring>

namespace pelmora {
namespace {

inline DWORD RotateLeft(DWORD x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline DWORD LoadLittleEndian(const BYTE *p)
{
    return DWORD(p[0]) | (DWORD(p[1]) << 8) | (DWORD(p[2]) << 16) | (DWORD(p[3]) << 24);
}

inline void StoreLittleEndian(BYTE *p, DWORD v)
{
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
    p[2] = BYTE(v >> 16);
    p[3] = BYTE(v >> 24);
}

inline DWORD F(DWORD x, DWORD y, DWORD z) { return (x & y) | (~x & z); }
inline DWORD G(DWORD x, DWORD y, DWORD z) { return (x & z) | (y & ~z); }
inline DWORD H(DWORD x, DWORD y, DWORD z) { return x ^ y ^ z; }
inline DWORD I(DWORD x, DWORD y, DWORD z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, xk, s, t) \
    ((a) = (b) + RotateLeft((a) + f((b), (c), (d)) + (xk) + (t), (s)))

void Transform(DWORD state[4], const BYTE block[64])
{
    DWORD x[16];
    for (size_t i = 0; i < 16; ++i)
        x[i] = LoadLittleEndian(block + 4 * i);

    DWORD a = state[0], b = state[1], c = state[2], d = state[3];

    MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
    MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
    MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db);
    MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
    MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
    MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
    MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
    MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
    MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
    MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
    MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
    MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

    MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562);
    MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340);
    MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aa);
    MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105d);
    MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453);
    MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8);
    MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6);
    MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6);
    MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87);
    MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14ed);
    MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905);
    MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8);
    MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9);
    MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8a);

    MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
    MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
    MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
    MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
    MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
    MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
    MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
    MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
    MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
    MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
    MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

    MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
    MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
    MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
    MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
    MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
    MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
    MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
    MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
    MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
    MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
    MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

#undef MD5_STEP

}  // namespace

void MD5Init(MD5Context &context)
{
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.bitCount = 0;
    std::memset(context.buffer, 0, sizeof context.buffer);
    std::memset(context.digest, 0, sizeof context.digest);
}

void MD5Update(MD5Context &context, const void *data, size_t length)
{
    const BYTE *input = static_cast<const BYTE *>(data);
    size_t used = size_t((context.bitCount >> 3) & 63);
    context.bitCount += ULONGLONG(length) << 3;

    if (used != 0) {
        size_t room = 64 - used;
        if (length < room) {
            std::memcpy(context.buffer + used, input, length);
            return;
        }
        std::memcpy(context.buffer + used, input, room);
        Transform(context.state, context.buffer);
        input += room;
        length -= room;
    }
    for (; length >= 64; input += 64, length -= 64)
        Transform(context.state, input);
    if (length != 0)
        std::memcpy(context.buffer, input, length);
}

void MD5Final(MD5Context &context)
{
    static const BYTE padding[64] = {0x80};
    BYTE bits[8];
    for (int i = 0; i < 8; ++i)
        bits[i] = BYTE(context.bitCount >> (8 * i));

    // Pad to 56 bytes mod 64, then append the original length in bits.
    size_t used = size_t((context.bitCount >> 3) & 63);
    size_t padLength = used < 56 ? 56 - used : 120 - used;
    MD5Update(context, padding, padLength);
    MD5Update(context, bits, sizeof bits);

    for (size_t i = 0; i < 4; ++i)
        StoreLittleEndian(context.digest + 4 * i, context.state[i]);
}

void MD5(const void *data, size_t length, BYTE digest[MD5_DIGEST_LENGTH])
{
    MD5Context context;
    MD5Init(context);
    MD5Update(context, data, length);
    MD5Final(context);
    std::memcpy(digest, context.digest, MD5_DIGEST_LENGTH);
}

}  // namespace pelmora
