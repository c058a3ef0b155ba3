#include "client/Response.h"

#include "dataserver/Md5.h"
#include "dataserver/Seal.h"

#include <cstring>

namespace pelmora {
namespace {

DWORD ReadDword(const BYTE *p)
{
    return DWORD(p[0]) | (DWORD(p[1]) << 8) | (DWORD(p[2]) << 16) | (DWORD(p[3]) << 24);
}

LONG ReadLong(const BYTE *p) { return LONG(ReadDword(p)); }

double ReadDouble(const BYTE *p)
{
    const ULONGLONG bits = ULONGLONG(ReadDword(p)) | (ULONGLONG(ReadDword(p + 4)) << 32);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void WriteDword(BYTE *p, DWORD v)
{
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
    p[2] = BYTE(v >> 16);
    p[3] = BYTE(v >> 24);
}

}  // namespace

QueryData MakeQuery(LONG nOperation, DWORD nStationNumber, DWORD nSlot)
{
    BYTE bytes[QUERY_DATA_SIZE] = {};
    WriteDword(bytes + 0, QUERY_DATA_SIZE);
    WriteDword(bytes + 4, DWORD(nOperation));
    WriteDword(bytes + 8, nStationNumber);
    WriteDword(bytes + 12, nSlot);
    QueryData query;
    std::memcpy(&query, bytes, sizeof query);
    return query;
}

MeteoReading DecodeResponse(const BYTE record[METEO_RESPONSE_SIZE])
{
    MeteoReading r;
    r.nSize = ReadLong(record + 0);
    r.nVersion = ReadLong(record + 4);
    r.ftTime.dwLowDateTime = ReadDword(record + 8);
    r.ftTime.dwHighDateTime = ReadDword(record + 12);
    r.dWindSpeed = ReadDouble(record + 16);
    r.dWindDir = ReadDouble(record + 24);
    r.dWindStdDir = ReadDouble(record + 32);
    r.dOutsideTemp = ReadDouble(record + 56);
    r.dHumidity = ReadDouble(record + 64);
    r.dRain = ReadDouble(record + 72);
    r.dPressure = ReadDouble(record + 80);
    r.dSolar = ReadDouble(record + 88);
    r.dCurWindSpeed = ReadDouble(record + 96);
    r.dCurWindDir = ReadDouble(record + 104);
    r.dCurOutsideTemp = ReadDouble(record + 112);
    r.dCurHumidity = ReadDouble(record + 120);
    r.dCurRain = ReadDouble(record + 128);
    r.dCurPressure = ReadDouble(record + 136);
    r.dCurSolar = ReadDouble(record + 144);
    r.nCount = ReadDword(record + 152);
    r.nStation = ReadLong(record + 156);
    return r;
}

bool IsGreeting(const BYTE record[METEO_RESPONSE_SIZE])
{
    if (ReadLong(record) != LONG(METEO_RESPONSE_SIZE) || ReadLong(record + 4) != GREETING_VERSION)
        return false;
    for (size_t i = 8; i < METEO_RESPONSE_SIZE; ++i)
        if (record[i] != 0)
            return false;
    return true;
}

CResponseReader::CResponseReader() { ExpandSealKey(m_key); }

bool CResponseReader::Open(const BYTE sealed[METEO_RESPONSE_SIZE],
                           BYTE plain[METEO_RESPONSE_SIZE]) const
{
    for (size_t i = 0; i < METEO_RESPONSE_SIZE; i += SAFER_BLOCK_LENGTH)
        SaferDecipherBlock(sealed + i, m_key, plain + i);
    BYTE digest[MD5_DIGEST_LENGTH];
    MD5(plain, METEO_RESPONSE_DATA_SIZE, digest);
    return std::memcmp(digest, plain + METEO_RESPONSE_DATA_SIZE, MD5_DIGEST_LENGTH) == 0;
}

bool CResponseReader::Read(const BYTE sealed[METEO_RESPONSE_SIZE], MeteoReading &reading) const
{
    BYTE plain[METEO_RESPONSE_SIZE];
    if (!Open(sealed, plain))
        return false;
    reading = DecodeResponse(plain);
    return true;
}

}  // namespace pelmora
