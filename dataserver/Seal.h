// Sealing of response records: the MD5 digest of the data part goes into the record's last 16
// bytes, then the whole record is enciphered block by block (ECB, 38 blocks) with SAFER SK-128
// under the program's fixed key.
//
// Thread safety: every call works on its caller's record, schedule and output only.
#pragma once

#include "dataserver/Records.h"
#include "dataserver/Safer.h"

#include <memory>

namespace pelmora {

// The two halves of the fixed 128-bit key, first byte first.
inline constexpr BYTE userkey_1[SAFER_BLOCK_LENGTH] = {0x9C, 0x47, 0x5A, 0x28,
                                                       0x61, 0x7E, 0x33, 0x00};
inline constexpr BYTE userkey_2[SAFER_BLOCK_LENGTH] = {0x5D, 0x2B, 0x71, 0x3F,
                                                       0x48, 0x6A, 0x26, 0x00};
constexpr unsigned SEAL_ROUNDS = 10;

// The schedule of the fixed key: 10 rounds, strengthened.
void ExpandSealKey(SaferKey &key);

// Writes the MD5 of bytes 0-287 into record.digest; nothing else of the record changes.
void WriteDigest(MeteoResponse &record);

// Digests the record, then enciphers all 304 bytes of it into `sealed`.
void SealInto(MeteoResponse &record, const SaferKey &key, BYTE sealed[METEO_RESPONSE_SIZE]);

// As SealInto, into a new 304-byte buffer that the caller owns.
std::unique_ptr<BYTE[]> Seal(MeteoResponse &record, const SaferKey &key);

// Deciphers all 38 blocks of a sealed record; the inverse of the enciphering step of Seal.
void Unseal(const BYTE sealed[METEO_RESPONSE_SIZE], const SaferKey &key, MeteoResponse &record);

// True when record.digest is the MD5 of the record's bytes 0-287.
bool DigestMatches(const MeteoResponse &record);

}  // namespace pelmora
