#include "bench/WireProtocol.h"

#include <cstring>

#include "dataserver/Records.h"
#include "dataserver/Seal.h"

namespace pelmora::bench {

static_assert(kRequestSize == QUERY_DATA_SIZE, "request size");
static_assert(kResponseSize == METEO_RESPONSE_SIZE, "response size");

namespace {

const SaferKey &Key()
{
    static const SaferKey key = [] {
        SaferKey k;
        ExpandSealKey(k);
        return k;
    }();
    return key;
}

}  // namespace

void MakeRequest(int32_t operation, uint32_t station, uint32_t slot, uint8_t out[kRequestSize])
{
    QueryData q;
    std::memset(&q, 0, sizeof q);
    q.nSize = QUERY_DATA_SIZE;
    q.nOperation = operation;
    q.nStationNumber = station;
    q.nSlot = slot;
    std::memcpy(out, &q, sizeof q);
}

void MakeGreeting(uint8_t out[kResponseSize])
{
    MeteoResponse r;
    std::memset(&r, 0, sizeof r);
    r.nSize = LONG(METEO_RESPONSE_SIZE);
    r.nVersion = GREETING_VERSION;
    std::memcpy(out, &r, sizeof r);
}

bool IsGreeting(const uint8_t record[kResponseSize])
{
    uint8_t greeting[kResponseSize];
    MakeGreeting(greeting);
    return std::memcmp(record, greeting, kResponseSize) == 0;
}

void MakeSealedResponse(uint32_t station, uint8_t out[kResponseSize])
{
    MeteoResponse r;
    std::memset(&r, 0, sizeof r);
    r.nSize = LONG(METEO_RESPONSE_SIZE);
    r.nVersion = METEO_RESPONSE_VERSION;
    r.ftTime.dwLowDateTime = 0x3b9aca00;
    r.ftTime.dwHighDateTime = 0x01dc6a2b;
    r.dWindSpeed = 3.4;
    r.dWindDir = 212.0;
    r.dWindStdDir = 11.5;
    r.dOutsideTemp = 14.2;
    r.dHumidity = 71.0;
    r.dPressure = 1008.4;
    r.dSolar = 220.0;
    r.dCurWindSpeed = 3.9;
    r.dCurWindDir = 215.0;
    r.dCurOutsideTemp = 14.3;
    r.dCurHumidity = 70.0;
    r.dCurPressure = 1008.3;
    r.dCurSolar = 231.0;
    r.nCount = 15;
    r.nStation = LONG(station);
    SealInto(r, Key(), out);
}

ResponseCheck CheckResponse(const uint8_t sealed[kResponseSize], uint32_t station)
{
    MeteoResponse r;
    Unseal(sealed, Key(), r);
    if (!DigestMatches(r))
        return ResponseCheck::DigestMismatch;
    if (r.nSize != LONG(METEO_RESPONSE_SIZE) || r.nVersion != METEO_RESPONSE_VERSION)
        return ResponseCheck::Malformed;
    if (r.nStation != LONG(station) && r.nStation != WINDOW_EMPTY &&
        r.nStation != STATION_NOT_CONFIGURED && r.nStation != SLOT_OUT_OF_RANGE)
        return ResponseCheck::Malformed;
    return ResponseCheck::Good;
}

}  // namespace pelmora::bench
