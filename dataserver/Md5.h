// MD5 message digest (RFC 1321).
// A context belongs to one computation on one thread; there is no shared state.
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace pelmora {

constexpr size_t MD5_DIGEST_LENGTH = 16;

struct MD5Context {
    DWORD state[4];                  // chaining words A, B, C, D
    ULONGLONG bitCount;              // message length so far, in bits (mod 2^64)
    BYTE buffer[64];                 // input not yet forming a whole block
    BYTE digest[MD5_DIGEST_LENGTH];  // set by MD5Final
};

void MD5Init(MD5Context &context);
void MD5Update(MD5Context &context, const void *data, size_t length);
// Pads, finishes and writes the 16 digest bytes (standard byte order) to context.digest.
void MD5Final(MD5Context &context);

// One-shot digest of a whole buffer.
void MD5(const void *data, size_t length, BYTE digest[MD5_DIGEST_LENGTH]);

}  // namespace pelmora
