// The client's reading of responses on arbitrary 304 bytes: decoding takes every field from
// its wire offset, the greeting test is exact, opening never accepts a record whose digest does
// not match, and a record sealed by the server's side always opens to the same bytes while
// any damaged byte makes it fail.
#include <cstdint>
#include <cstring>

#include "client/Response.h"
#include "dataserver/Seal.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void CheckDecoded(const pelmora::MeteoReading &d, const MeteoResponse &r)
{
    FUZZ_CHECK(d.nSize == r.nSize);
    FUZZ_CHECK(d.nVersion == r.nVersion);
    FUZZ_CHECK(std::memcmp(&d.ftTime, &r.ftTime, sizeof d.ftTime) == 0);
    FUZZ_CHECK(SameBits(d.dWindSpeed, r.dWindSpeed));
    FUZZ_CHECK(SameBits(d.dWindDir, r.dWindDir));
    FUZZ_CHECK(SameBits(d.dWindStdDir, r.dWindStdDir));
    FUZZ_CHECK(SameBits(d.dOutsideTemp, r.dOutsideTemp));
    FUZZ_CHECK(SameBits(d.dHumidity, r.dHumidity));
    FUZZ_CHECK(SameBits(d.dRain, r.dRain));
    FUZZ_CHECK(SameBits(d.dPressure, r.dPressure));
    FUZZ_CHECK(SameBits(d.dSolar, r.dSolar));
    FUZZ_CHECK(SameBits(d.dCurWindSpeed, r.dCurWindSpeed));
    FUZZ_CHECK(SameBits(d.dCurWindDir, r.dCurWindDir));
    FUZZ_CHECK(SameBits(d.dCurOutsideTemp, r.dCurOutsideTemp));
    FUZZ_CHECK(SameBits(d.dCurHumidity, r.dCurHumidity));
    FUZZ_CHECK(SameBits(d.dCurRain, r.dCurRain));
    FUZZ_CHECK(SameBits(d.dCurPressure, r.dCurPressure));
    FUZZ_CHECK(SameBits(d.dCurSolar, r.dCurSolar));
    FUZZ_CHECK(d.nCount == r.nCount);
    FUZZ_CHECK(d.nStation == r.nStation);
}

const pelmora::CResponseReader &Reader()
{
    static const pelmora::CResponseReader reader;
    return reader;
}

const pelmora::SaferKey &Key()
{
    static const pelmora::SaferKey key = [] {
        pelmora::SaferKey k;
        pelmora::ExpandSealKey(k);
        return k;
    }();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BYTE record[METEO_RESPONSE_SIZE] = {};
    std::memcpy(record, data, size < sizeof record ? size : sizeof record);
    MeteoResponse laid;
    std::memcpy(&laid, record, sizeof laid);

    CheckDecoded(pelmora::DecodeResponse(record), laid);

    bool zeroTail = true;
    for (size_t i = 8; i < METEO_RESPONSE_SIZE; ++i)
        zeroTail = zeroTail && record[i] == 0;
    FUZZ_CHECK(pelmora::IsGreeting(record) == (laid.nSize == LONG(METEO_RESPONSE_SIZE) &&
                                               laid.nVersion == GREETING_VERSION && zeroTail));

    // The input taken as a sealed record: opened only when its digest matches.
    BYTE plain[METEO_RESPONSE_SIZE];
    const bool opened = Reader().Open(record, plain);
    MeteoResponse plainRecord;
    std::memcpy(&plainRecord, plain, sizeof plainRecord);
    FUZZ_CHECK(opened == pelmora::DigestMatches(plainRecord));
    pelmora::MeteoReading reading{};
    FUZZ_CHECK(Reader().Read(record, reading) == opened);
    if (opened)
        CheckDecoded(reading, plainRecord);

    // The input taken as a plain record: sealed by the server's side, it opens to itself.
    MeteoResponse toSeal = laid;
    BYTE sealed[METEO_RESPONSE_SIZE];
    pelmora::SealInto(toSeal, Key(), sealed);
    FUZZ_CHECK(Reader().Open(sealed, plain));
    FUZZ_CHECK(std::memcmp(plain, record, METEO_RESPONSE_DATA_SIZE) == 0);
    FUZZ_CHECK(Reader().Read(sealed, reading));
    CheckDecoded(reading, laid);

    // One damaged byte, chosen by the input, spoils the digest.
    const size_t at = size > METEO_RESPONSE_SIZE ? data[METEO_RESPONSE_SIZE] : 0;
    const BYTE flip = size > METEO_RESPONSE_SIZE + 1 ? BYTE(data[METEO_RESPONSE_SIZE + 1] | 1) : 1;
    sealed[at % METEO_RESPONSE_SIZE] ^= flip;
    FUZZ_CHECK(!Reader().Open(sealed, plain));
    return 0;
}
