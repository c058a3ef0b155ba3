#include "dataserver/Seal.h"

#include "dataserver/Md5.h"

#include <cstring>

namespace pelmora {

static_assert(METEO_RESPONSE_SIZE % SAFER_BLOCK_LENGTH == 0,
              "a record is whole blocks: no padding");

void ExpandSealKey(SaferKey &key) { SaferExpandKey(userkey_1, userkey_2, SEAL_ROUNDS, true, key); }

void WriteDigest(MeteoResponse &record)
{
    MD5Context mdContext;
    MD5Init(mdContext);
    MD5Update(mdContext, &record, METEO_RESPONSE_DATA_SIZE);
    MD5Final(mdContext);
    std::memcpy(record.digest, mdContext.digest, sizeof record.digest);
}

void SealInto(MeteoResponse &record, const SaferKey &key, BYTE sealed[METEO_RESPONSE_SIZE])
{
    WriteDigest(record);
    const BYTE *plain = reinterpret_cast<const BYTE *>(&record);
    for (size_t i = 0; i < METEO_RESPONSE_SIZE; i += SAFER_BLOCK_LENGTH) {
        BYTE structblockIn[SAFER_BLOCK_LENGTH];
        BYTE structblockToSend[SAFER_BLOCK_LENGTH];
        std::memcpy(structblockIn, plain + i, SAFER_BLOCK_LENGTH);
        SaferEncipherBlock(structblockIn, key, structblockToSend);
        std::memcpy(sealed + i, structblockToSend, SAFER_BLOCK_LENGTH);
    }
}

std::unique_ptr<BYTE[]> Seal(MeteoResponse &record, const SaferKey &key)
{
    std::unique_ptr<BYTE[]> sealed(new BYTE[METEO_RESPONSE_SIZE]);
    SealInto(record, key, sealed.get());
    return sealed;
}

void Unseal(const BYTE sealed[METEO_RESPONSE_SIZE], const SaferKey &key, MeteoResponse &record)
{
    BYTE *plain = reinterpret_cast<BYTE *>(&record);
    for (size_t i = 0; i < METEO_RESPONSE_SIZE; i += SAFER_BLOCK_LENGTH)
        SaferDecipherBlock(sealed + i, key, plain + i);
}

bool DigestMatches(const MeteoResponse &record)
{
    BYTE digest[MD5_DIGEST_LENGTH];
    MD5(&record, METEO_RESPONSE_DATA_SIZE, digest);
    return std::memcmp(digest, record.digest, sizeof digest) == 0;
}

}  // namespace pelmora
