// The database writer of one connector thread: its own connection, one stored-procedure call
// per accepted reading. Used only by the thread that owns it.
#pragma once

#include <string>

#include "acquisition/StationTable.h"
#include "driver/MeteoData.h"
#include "platform/win32.h"

class CMeteoDatabase {
public:
    CMeteoDatabase(DWORD nStationID, const char *pszFNINI);
    ~CMeteoDatabase();

    CMeteoDatabase(const CMeteoDatabase &) = delete;
    CMeteoDatabase &operator=(const CMeteoDatabase &) = delete;

    // Thread start: reads the [odbc] settings and makes the first connection attempt.
    void SetUp();

    // One accepted reading, under the read hold of MeteoDataGuard, after the measurement file
    // and before the debug file. slot1 is the station's 10-minute window after the reading.
    void Call(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1);

    // Thread end: disconnects an existing connection.
    void Disconnect();

private:
    DWORD m_nStationID;
    std::string m_szFNINI;
};
