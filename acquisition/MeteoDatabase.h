// The database writer of one connector thread: its own ODBC connection, one stored-procedure
// call per accepted reading. Used only by the thread that owns it.
//
// A failed call drops the connection; the next reading connects again. A call that finds its
// connection dead is made once more on a new one. Readings that arrive while no connection can
// be made are lost for the database (the measurement file has them).
#pragma once

#include <memory>
#include <string>

#include "acquisition/StationTable.h"
#include "driver/MeteoData.h"
#include "platform/win32.h"

class CODBCConnection;

class CMeteoDatabase {
public:
    CMeteoDatabase(DWORD nStationID, const char *pszFNINI);
    ~CMeteoDatabase();

    CMeteoDatabase(const CMeteoDatabase &) = delete;
    CMeteoDatabase &operator=(const CMeteoDatabase &) = delete;

    // Thread start: reads the [odbc] settings, builds the connection string and the call text,
    // and makes the first connection attempt unless [odbc] server is empty.
    void SetUp();

    // One accepted reading, under the read hold of MeteoDataGuard, after the measurement file
    // and before the debug file. slot1 is the station's 10-minute window after the reading.
    // True when the reading was stored.
    bool Call(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1);

    // Thread end: disconnects an existing connection.
    void Disconnect();

    bool Connected() const { return m_pConnection != nullptr; }

    // How often a call chosen as a deadlock victim is executed again before it counts as
    // failed.
    static constexpr int MaxDeadlockRetries = 5;

private:
    void Connect();
    void Drop();
    // One execution of the call; a failure drops the connection. bConnectionLost tells a
    // failure of the connection itself.
    bool Attempt(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1,
                 bool &bConnectionLost);
    bool Execute(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1,
                 bool &bDeadlocked);
    void LogError(const std::string &text);

    DWORD m_nStationID;
    std::string m_szFNINI;

    char szDriver[261] = "";
    char szServer[261] = "";
    char szDatabase[261] = "";
    char szUID[261] = "";
    char szPWD[261] = "";
    char szProc[261] = "";
    int nTrustedConnection = 0;

    // Both are refused, never cut, when they do not fit.
    char szDSN[260] = "";
    bool m_bDSN = false;
    char szQuery[260] = "";
    bool m_bQuery = false;

    std::unique_ptr<CODBCConnection> m_pConnection;
    void *hstmt = nullptr;
    char szErrMsg[260] = "";
    // The SQLSTATE of the last execution's first diagnostic.
    std::string m_lastState;
};
