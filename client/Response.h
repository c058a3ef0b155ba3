// The client's side of the data protocol: requests to send, and the reading of the sealed
// responses that come back (decipher, digest check, field decoding). Uses the records and the
// cipher only, no server code.
//
// Thread safety: a CResponseReader only reads its key schedule after construction, so one
// reader may serve several threads.
#pragma once

#include "dataserver/Records.h"
#include "dataserver/Safer.h"

namespace pelmora {

// A request for window `nSlot` of station `nStationNumber` (1 = first station);
// nOperation 0 asks for the window's averages, any other value for the latest reading.
QueryData MakeQuery(LONG nOperation, DWORD nStationNumber, DWORD nSlot);

// The fields of a response, decoded from their wire offsets.
struct MeteoReading {
    LONG nSize;
    LONG nVersion;
    FILETIME ftTime;
    double dWindSpeed;
    double dWindDir;
    double dWindStdDir;
    double dOutsideTemp;
    double dHumidity;
    double dRain;
    double dPressure;
    double dSolar;
    double dCurWindSpeed;
    double dCurWindDir;
    double dCurOutsideTemp;
    double dCurHumidity;
    double dCurRain;
    double dCurPressure;
    double dCurSolar;
    DWORD nCount;
    LONG nStation;
};

// Decodes the fields of a plain (deciphered or greeting) 304-byte record.
MeteoReading DecodeResponse(const BYTE record[METEO_RESPONSE_SIZE]);

// True for the unsealed record the server sends first on every connection.
bool IsGreeting(const BYTE record[METEO_RESPONSE_SIZE]);

class CResponseReader {
public:
    CResponseReader();

    // Deciphers a sealed response into `plain` and checks its digest; false when the digest
    // does not match the data part (the record was damaged or not sealed with our key).
    bool Open(const BYTE sealed[METEO_RESPONSE_SIZE], BYTE plain[METEO_RESPONSE_SIZE]) const;

    // Open, then decode.
    bool Read(const BYTE sealed[METEO_RESPONSE_SIZE], MeteoReading &reading) const;

private:
    SaferKey m_key;
};

}  // namespace pelmora
