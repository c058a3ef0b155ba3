#include "acquisition/MeteoDatabase.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "acquisition/ODBCConnection.h"
#include "service/Log.h"

namespace {

#if defined(__GNUC__)
#define PELMORA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define PELMORA_PRINTF(f, a)
#endif

// The server's error number for a statement chosen as a deadlock victim.
constexpr SQLINTEGER DeadlockVictim = 1205;
constexpr const char *ServerMarker = "[SQL Server]";

// Formats a whole line, however long, and writes it when logging is on.
PELMORA_PRINTF(1, 2) void LogF(const char *pszFormat, ...)
{
    if (TraceLevel == 0) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(&line[0], line.size() + 1, pszFormat, again);
    }
    va_end(again);
    WriteLog(line);
}

// Takes the next diagnostic record of the statement (or, without one, the connection).
// Returns true when the statement was chosen as a deadlock victim and may simply be executed
// again; text is then empty. Otherwise text is the message from the server marker on, or the
// whole message when it has none; empty when there is no record.
bool GetODBCError(SQLHDBC hdbc, SQLHSTMT hstmt, std::string &text, std::string *state = nullptr)
{
    text.clear();
    if (state) {
        state->clear();
    }
    SQLCHAR szState[6] = "";
    SQLINTEGER nNative = 0;
    SQLCHAR szMessage[512] = "";
    SQLSMALLINT cbMessage = 0;
    const SQLRETURN rc = OdbcCalls.Error(SQL_NULL_HENV, hdbc, hstmt, szState, &nNative, szMessage,
                                         static_cast<SQLSMALLINT>(sizeof(szMessage)), &cbMessage);
    if (rc != SQL_SUCCESS) {
        return false;
    }
    if (state) {
        *state = reinterpret_cast<const char *>(szState);
    }
    if (nNative == DeadlockVictim) {
        return true;
    }
    szMessage[sizeof(szMessage) - 1] = '\0';
    const std::string message(reinterpret_cast<const char *>(szMessage));
    const size_t marker = message.find(ServerMarker);
    text = marker == std::string::npos ? message : message.substr(marker);
    return false;
}

}  // namespace

CMeteoDatabase::CMeteoDatabase(DWORD nStationID, const char *pszFNINI)
    : m_nStationID(nStationID), m_szFNINI(pszFNINI)
{
}

CMeteoDatabase::~CMeteoDatabase() { Disconnect(); }

void CMeteoDatabase::SetUp()
{
    const char *ini = m_szFNINI.c_str();
    GetPrivateProfileStringA("odbc", "driver", "", szDriver, sizeof(szDriver), ini);
    GetPrivateProfileStringA("odbc", "server", "", szServer, sizeof(szServer), ini);
    GetPrivateProfileStringA("odbc", "database", "", szDatabase, sizeof(szDatabase), ini);
    GetPrivateProfileStringA("odbc", "uid", "", szUID, sizeof(szUID), ini);
    GetPrivateProfileStringA("odbc", "pwd", "", szPWD, sizeof(szPWD), ini);
    GetPrivateProfileStringA("odbc", "proc", "prwr_insert_wendrake", szProc, sizeof(szProc), ini);
    nTrustedConnection =
        static_cast<int>(GetPrivateProfileIntA("odbc", "trusted_connection", 0, ini));

    // The log shows the string with the password masked; the password goes only to the driver.
    auto build = [this](const char *pszPWD) {
        char szText[2048];
        if (nTrustedConnection == 1) {
            std::snprintf(
                szText, sizeof(szText),
                "driver=%s;server=%s;database=%s;UID=%s;PWD=%s;trusted_connection=%i;dsn=;",
                szDriver, szServer, szDatabase, szUID, pszPWD, 1);
        } else {
            std::snprintf(szText, sizeof(szText),
                          "driver=%s;server=%s;database=%s;UID=%s;PWD=%s;dsn=;", szDriver, szServer,
                          szDatabase, szUID, pszPWD);
        }
        return std::string(szText);
    };
    const std::string dsn = build(szPWD);
    const std::string shown = build(szPWD[0] != '\0' ? "***" : "");
    m_bDSN = dsn.size() < sizeof(szDSN);
    if (m_bDSN) {
        std::memcpy(szDSN, dsn.c_str(), dsn.size() + 1);
    }
    LogF("ThreadMeteoConnector(Station-ID=%lu): ODBC-DSN=%s",
         static_cast<unsigned long>(m_nStationID), shown.c_str());

    const std::string query = std::string("{ call ") + szProc + " (?,?,?,?,?,?,?,?,?,?,?,?) }";
    m_bQuery = query.size() < sizeof(szQuery);
    if (m_bQuery) {
        std::memcpy(szQuery, query.c_str(), query.size() + 1);
    }

    if (szServer[0] != '\0') {
        Connect();
    }
}

void CMeteoDatabase::Connect()
{
    const unsigned long id = m_nStationID;
    if (!m_bDSN) {
        // A cut connection string would name another server, database or password.
        LogF(
            "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): ODBC-DSN is longer than %u "
            "characters; no connection is made.",
            id, static_cast<unsigned>(sizeof(szDSN) - 1));
        return;
    }
    try {
        m_pConnection.reset(new CODBCConnection);
        if (m_pConnection->Connect(szDSN)) {
            OdbcCalls.SetConnectOption(m_pConnection->hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
        } else {
            SQLCHAR szState[6] = "";
            SQLINTEGER nNative = 0;
            SQLCHAR szMessage[260] = "";
            SQLSMALLINT cbMessage = 0;
            const SQLRETURN rc = OdbcCalls.GetDiagRec(
                SQL_HANDLE_DBC, m_pConnection->hdbc, 1, szState, &nNative, szMessage,
                static_cast<SQLSMALLINT>(sizeof(szMessage)), &cbMessage);
            std::string message;
            if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
                szMessage[sizeof(szMessage) - 1] = '\0';
                message = reinterpret_cast<const char *>(szMessage);
                if (cbMessage >= static_cast<SQLSMALLINT>(sizeof(szMessage))) {
                    LogF(
                        "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): diagnostic text of "
                        "%i characters, cut to %u.",
                        id, static_cast<int>(cbMessage),
                        static_cast<unsigned>(sizeof(szMessage) - 1));
                }
            }
            LogF(
                "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): Kann Verbindung zu Datenbank "
                "%s nicht aufbauen. Fehler: %s",
                id, szDatabase, message.c_str());
            m_pConnection.reset();
        }
    } catch (...) {
        LogF("ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): CATCH", id);
        m_pConnection.reset();
    }
}

bool CMeteoDatabase::Call(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1)
{
    const unsigned long id = m_nStationID;
    if (!m_bQuery) {
        LogF(
            "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): the call of %s is longer than %u "
            "characters; no call is made.",
            id, szProc, static_cast<unsigned>(sizeof(szQuery) - 1));
        return false;
    }
    const bool bHadConnection = m_pConnection != nullptr;
    if (!m_pConnection) {
        Connect();
    }
    if (!m_pConnection) {
        return false;
    }
    bool bConnectionLost = false;
    if (Attempt(st, data, slot1, bConnectionLost)) {
        return true;
    }
    if (!bHadConnection || !bConnectionLost) {
        return false;
    }
    // A connection that died since the last reading (the server restarted meanwhile) shows
    // only when it is used: the reading gets one new connection at once instead of being lost.
    Connect();
    return m_pConnection && Attempt(st, data, slot1, bConnectionLost);
}

bool CMeteoDatabase::Attempt(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1,
                             bool &bConnectionLost)
{
    const unsigned long id = m_nStationID;
    bConnectionLost = false;
    hstmt = SQL_NULL_HSTMT;
    try {
        bool bDeadlocked = false;
        m_lastState.clear();
        if (Execute(st, data, slot1, bDeadlocked)) {
            OdbcCalls.FreeStmt(hstmt, SQL_DROP);
            hstmt = SQL_NULL_HSTMT;
            LogF("OK ODBC Calling %s", szProc);
            return true;
        }
        if (bDeadlocked) {
            LogF(
                "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): chosen as deadlock victim "
                "%i times in a row; the call is given up.",
                id, MaxDeadlockRetries + 1);
        }
        std::string text;
        std::string state;
        GetODBCError(m_pConnection->hdbc, hstmt, text, &state);
        LogError(text);
        // The execution's first diagnostic was taken by its deadlock test; its state counts.
        if (!m_lastState.empty()) {
            state = m_lastState;
        }
        // Class 08: the connection failed; 57P01 and 57P02: the server ended it (a shut-down
        // or a crash).
        bConnectionLost = state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02";
        if (hstmt != SQL_NULL_HSTMT) {
            OdbcCalls.FreeStmt(hstmt, SQL_DROP);
            hstmt = SQL_NULL_HSTMT;
        }
        Drop();
    } catch (...) {
        LogF("ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): Catch", id);
        // Disconnecting frees the statement with the connection.
        hstmt = SQL_NULL_HSTMT;
        Drop();
    }
    return false;
}

bool CMeteoDatabase::Execute(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1,
                             bool &bDeadlocked)
{
    const SQLHDBC hdbc = m_pConnection->hdbc;
    char szTime[40];
    std::snprintf(szTime, sizeof(szTime), "%02hu.%02hu.%04hu %02hu:%02hu:%02hu", st.wDay, st.wMonth,
                  st.wYear, st.wHour, st.wMinute, st.wSecond);
    SQLHSTMT hNew = SQL_NULL_HSTMT;
    if (OdbcCalls.AllocStmt(hdbc, &hNew) != SQL_SUCCESS) {
        return false;
    }
    hstmt = hNew;

    // The bound values must stay put until the statement has run.
    SQLINTEGER intStationID = static_cast<SQLINTEGER>(m_nStationID);
    SQLLEN cbintStationID = 4;
    char szTime1[40];
    SQLLEN cbszTime = SQL_NTS;
    double dWindSpeed = data.dWindSpeed;
    double dWindDir = data.dWindDir;
    double dWindMeanDir = slot1.dWindMeanDir;
    double dWindStdDir = slot1.dWindStdDir;
    double dOutsideTemp = data.dOutsideTemp;
    double dHumidity = data.dHumidity;
    double dPressure = data.dPressure;
    double dRain = data.dRain;
    double dSolar = data.dSolar;
    SQLLEN cbdWindSpeed = 8, cbdWindDir = 8, cbdWindMeanDir = 8, cbdWindStdDir = 8,
           cbdOutsideTemp = 8, cbdHumidity = 8, cbdPressure = 8, cbdRain = 8, cbdSolar = 8;

    auto bind = [this](SQLUSMALLINT n, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN size,
                       void *value, SQLLEN length, SQLLEN *indicator) {
        return OdbcCalls.BindParameter(hstmt, n, SQL_PARAM_INPUT, cType, sqlType, size, 0, value,
                                       length, indicator) == SQL_SUCCESS;
    };
    auto bindDouble = [&bind](SQLUSMALLINT n, double *value, SQLLEN *indicator) {
        return bind(n, SQL_C_DOUBLE, SQL_REAL, 0, value, 0, indicator);
    };

    if (!bind(1, SQL_C_LONG, SQL_INTEGER, 0, &intStationID, 0, &cbintStationID)) {
        return false;
    }
    std::snprintf(szTime1, sizeof(szTime1), "%04hu-%02hu-%01hu %02hu:%02hu:%02hu", st.wYear,
                  st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
    const SQLULEN cchTime1 = std::strlen(szTime1);
    const SQLULEN cchTime = std::strlen(szTime);
    // Parameters 10 and 11 carry pressure before rain.
    if (!bind(2, SQL_C_CHAR, SQL_CHAR, cchTime1, szTime1, static_cast<SQLLEN>(cchTime1),
              &cbszTime) ||
        !bind(3, SQL_C_CHAR, SQL_CHAR, cchTime, szTime, static_cast<SQLLEN>(cchTime), &cbszTime) ||
        !bindDouble(4, &dWindSpeed, &cbdWindSpeed) || !bindDouble(5, &dWindDir, &cbdWindDir) ||
        !bindDouble(6, &dWindMeanDir, &cbdWindMeanDir) ||
        !bindDouble(7, &dWindStdDir, &cbdWindStdDir) ||
        !bindDouble(8, &dOutsideTemp, &cbdOutsideTemp) ||
        !bindDouble(9, &dHumidity, &cbdHumidity) || !bindDouble(10, &dPressure, &cbdPressure) ||
        !bindDouble(11, &dRain, &cbdRain) || !bindDouble(12, &dSolar, &cbdSolar)) {
        return false;
    }

    // A deadlock victim's work was rolled back, so it is executed again at once; an execution
    // that did not fail is never repeated, whatever its diagnostics say.
    SQLRETURN rc = SQL_ERROR;
    for (int nRetries = 0;; ++nRetries) {
        rc = OdbcCalls.ExecDirect(hstmt, reinterpret_cast<SQLCHAR *>(szQuery), SQL_NTS);
        std::string ignored;
        const bool bRetry = GetODBCError(hdbc, hstmt, ignored, &m_lastState);
        if (!bRetry || rc != SQL_ERROR) {
            break;
        }
        if (nRetries == MaxDeadlockRetries) {
            bDeadlocked = true;
            return false;
        }
    }
    return rc == SQL_SUCCESS;
}

void CMeteoDatabase::LogError(const std::string &text)
{
    const unsigned long id = m_nStationID;
    if (text.size() >= sizeof(szErrMsg)) {
        LogF(
            "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): diagnostic text of %u characters, "
            "cut to %u.",
            id, static_cast<unsigned>(text.size()), static_cast<unsigned>(sizeof(szErrMsg) - 1));
    }
    std::snprintf(szErrMsg, sizeof(szErrMsg), "%s", text.c_str());
    LogF("ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): %s", id, szErrMsg);
}

void CMeteoDatabase::Drop()
{
    if (m_pConnection) {
        m_pConnection->Disconnect();
        m_pConnection.reset();
    }
}

void CMeteoDatabase::Disconnect() { Drop(); }
