// The database writer of one connector thread: its own ODBC connection, one stored-procedure
// call per accepted reading. Used only by the thread that owns it.
//
// A failed call drops the connection; the next reading connects again. A call that finds its
// connection dead is made once more on a new one.
//
// With a database configured and [odbc] Backlog not 0, a reading whose call fails for the
// connection or the server goes to the station's backlog file, and so does every reading while
// rows wait there; the backlog is sent oldest first outside the station guard, and a new
// connection is tried at most every [odbc] RetrySeconds. A reading the database refuses for
// its data goes to the station's rejected file. With Backlog=0, readings that arrive while no
// connection can be made are lost for the database (the measurement file has them).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "acquisition/StationTable.h"
#include "driver/MeteoData.h"
#include "platform/win32.h"

class CODBCConnection;
class CBacklog;

// The twelve values of one call as they are bound.
struct DbRow {
    long nStationID = 0;
    std::string time;       // yyyy-mm-d hh:mm:ss
    std::string timeLocal;  // dd.mm.yyyy hh:mm:ss
    double values[9] = {};  // parameters 4 to 12

    static DbRow Of(DWORD nStationID, const SYSTEMTIME &st, const MeteoData &data,
                    const AverageSlot &slot1);
    // Tab-separated, the reals with enough digits to come back the same.
    std::string Text() const;
    static bool FromText(const std::string &text, DbRow &row);
};

// What a failed call's SQLSTATE says about the row: true when sending it again cannot help,
// since the data itself was refused (classes 21, 22, 23, 42 and 44) or the call ended with a
// warning (class 01), which it would do again.
bool IsDataFailure(const std::string &state);

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

    // The folder of the backlog and rejected files, before each Call.
    void SetReportFolder(const std::string &report);

    // After Call, outside the station guard: sends backlog rows oldest first, for about
    // ReplaySliceMs at most; now is the reading's time, against which rows age.
    void Replay(const SYSTEMTIME &now);

    // Thread end: disconnects an existing connection.
    void Disconnect();

    bool Connected() const { return m_pConnection != nullptr; }

    // How often a call chosen as a deadlock victim is executed again before it counts as
    // failed.
    static constexpr int MaxDeadlockRetries = 5;
    static constexpr DWORD ReplaySliceMs = 2000;
    static constexpr size_t ReplayMaxRows = 1000;

    bool BacklogOn() const { return m_bBacklog; }
    // The rows waiting in the backlog.
    size_t Waiting();

private:
    enum class Outcome { Sent, Rejected, Failed };

    void Connect();
    void Drop();
    // The call with a connection made when there is none, and once more on a new connection
    // when the old one turns out dead.
    Outcome Send(const DbRow &row);
    // One execution of the call; a failure drops the connection. bConnectionLost tells a
    // failure of the connection itself; state is the failure's SQLSTATE.
    bool Attempt(const DbRow &row, bool &bConnectionLost, std::string &state);
    bool Execute(const DbRow &row, bool &bDeadlocked);
    void LogError(const std::string &text);

    bool Pausing() const;
    void Keep(const DbRow &row);
    void Reject(const std::string &record, const std::string &reason);
    void Expire(const SYSTEMTIME &now);
    void LogWaiting();

    bool m_bBacklog = false;
    DWORD m_dwRetryMs = 30000;
    DWORD m_nBacklogDays = 31;
    std::string m_szReport;
    std::unique_ptr<CBacklog> m_pBacklog;
    // A failed connection or call starts a pause of m_dwRetryMs without network use.
    bool m_bPause = false;
    DWORD m_dwPauseStart = 0;
    bool m_bExpireDue = true;
    DWORD m_dwLastExpire = 0;
    // The power of ten of the waiting rows last logged; -1 for none waiting, -2 before the
    // first look.
    int m_nLoggedDecade = -2;
    std::string m_lastText;   // the diagnostic of the last failed execution
    std::string m_firstText;  // the text of its first record

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
