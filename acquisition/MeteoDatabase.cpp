#include "acquisition/MeteoDatabase.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acquisition/Backlog.h"
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
    m_bBacklog = (szServer[0] != '\0' || szDriver[0] != '\0') &&
                 GetPrivateProfileIntA("odbc", "Backlog", 1, ini) != 0;
    m_dwRetryMs = 1000 * GetPrivateProfileIntA("odbc", "RetrySeconds", 30, ini);
    m_nBacklogDays = GetPrivateProfileIntA("odbc", "BacklogDays", 31, ini);

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
        if (m_bBacklog && !m_pConnection) {
            m_bPause = true;
            m_dwPauseStart = GetTickCount();
        }
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

namespace {

std::string RowTimeText(const SYSTEMTIME &st)
{
    char szTime[40];
    std::snprintf(szTime, sizeof(szTime), "%04hu-%02hu-%01hu %02hu:%02hu:%02hu", st.wYear,
                  st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
    return szTime;
}

}  // namespace

DbRow DbRow::Of(DWORD nStationID, const SYSTEMTIME &st, const MeteoData &data,
                const AverageSlot &slot1)
{
    DbRow row;
    row.nStationID = static_cast<long>(nStationID);
    row.time = RowTimeText(st);
    char szTime[40];
    std::snprintf(szTime, sizeof(szTime), "%02hu.%02hu.%04hu %02hu:%02hu:%02hu", st.wDay, st.wMonth,
                  st.wYear, st.wHour, st.wMinute, st.wSecond);
    row.timeLocal = szTime;
    // Parameters 10 and 11 carry pressure before rain.
    const double values[9] = {data.dWindSpeed,   data.dWindDir,     slot1.dWindMeanDir,
                              slot1.dWindStdDir, data.dOutsideTemp, data.dHumidity,
                              data.dPressure,    data.dRain,        data.dSolar};
    std::memcpy(row.values, values, sizeof(values));
    return row;
}

std::string DbRow::Text() const
{
    std::string text = std::to_string(nStationID) + "\t" + time + "\t" + timeLocal;
    for (const double v : values) {
        // The shortest of the two texts that reads back as the same value.
        char szValue[40];
        std::snprintf(szValue, sizeof(szValue), "\t%.15g", v);
        if (std::strtod(szValue + 1, nullptr) != v && !std::isnan(v)) {
            std::snprintf(szValue, sizeof(szValue), "\t%.17g", v);
        }
        text += szValue;
    }
    return text;
}

bool DbRow::FromText(const std::string &text, DbRow &row)
{
    std::vector<std::string> fields;
    size_t begin = 0;
    for (;;) {
        const size_t tab = text.find('\t', begin);
        fields.push_back(text.substr(begin, tab - begin));
        if (tab == std::string::npos) {
            break;
        }
        begin = tab + 1;
    }
    if (fields.size() != 12 || fields[0].empty()) {
        return false;
    }
    char *end = nullptr;
    row.nStationID = std::strtol(fields[0].c_str(), &end, 10);
    if (*end != '\0') {
        return false;
    }
    row.time = fields[1];
    row.timeLocal = fields[2];
    for (size_t i = 0; i < 9; ++i) {
        row.values[i] = std::strtod(fields[i + 3].c_str(), &end);
        if (fields[i + 3].empty() || *end != '\0') {
            return false;
        }
    }
    return true;
}

bool IsDataFailure(const std::string &state)
{
    static const char *const DataClasses[] = {"01", "21", "22", "23", "42", "44"};
    for (const char *c : DataClasses) {
        if (state.size() == 5 && state.compare(0, 2, c) == 0) {
            return true;
        }
    }
    return false;
}

void CMeteoDatabase::SetReportFolder(const std::string &report)
{
    if (!m_bBacklog || (m_pBacklog && report == m_szReport)) {
        return;
    }
    m_szReport = report;
    m_pBacklog.reset(new CBacklog(report + std::to_string(m_nStationID) + "_Backlog.txt"));
    m_nLoggedDecade = -2;
    m_bExpireDue = true;
}

size_t CMeteoDatabase::Waiting()
{
    if (m_bBacklog && !m_pBacklog) {
        SetReportFolder(m_szReport);
    }
    return m_pBacklog ? m_pBacklog->Count() : 0;
}

bool CMeteoDatabase::Pausing() const
{
    return m_bPause && GetTickCount() - m_dwPauseStart < m_dwRetryMs;
}

// True when the reading reached the database now (not kept back, not refused).
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
    const DbRow row = DbRow::Of(m_nStationID, st, data, slot1);
    if (!m_bBacklog) {
        return Send(row) == Outcome::Sent;
    }
    // Rows waiting go first, and a database that failed a moment ago is not asked again yet.
    if (Waiting() > 0 || Pausing()) {
        Keep(row);
        return false;
    }
    switch (Send(row)) {
    case Outcome::Sent: return true;
    case Outcome::Rejected: Reject(row.Text(), m_lastState + "\t" + m_lastText); break;
    case Outcome::Failed: Keep(row); break;
    }
    return false;
}

CMeteoDatabase::Outcome CMeteoDatabase::Send(const DbRow &row)
{
    const bool bHadConnection = m_pConnection != nullptr;
    if (!m_pConnection) {
        Connect();
    }
    Outcome outcome = Outcome::Failed;
    if (m_pConnection) {
        bool bConnectionLost = false;
        std::string state;
        if (Attempt(row, bConnectionLost, state)) {
            outcome = Outcome::Sent;
        } else if (bHadConnection && bConnectionLost) {
            // A connection that died since the last reading (the server restarted meanwhile)
            // shows only when it is used: the reading gets one new connection at once.
            Connect();
            if (m_pConnection && Attempt(row, bConnectionLost, state)) {
                outcome = Outcome::Sent;
            }
        }
        if (outcome != Outcome::Sent && !bConnectionLost && IsDataFailure(state)) {
            outcome = Outcome::Rejected;
        }
    }
    if (outcome == Outcome::Failed) {
        m_bPause = true;
        m_dwPauseStart = GetTickCount();
    } else {
        m_bPause = false;
    }
    return outcome;
}

void CMeteoDatabase::Keep(const DbRow &row)
{
    if (!m_pBacklog) {
        SetReportFolder(m_szReport);
    }
    if (!m_pBacklog->Append(row.Text())) {
        LogF(
            "ERROR ThreadMeteoConnector(Station-ID=%lu): cannot write the reading of %s to %s "
            "(%lu)",
            static_cast<unsigned long>(m_nStationID), row.time.c_str(), m_pBacklog->Path().c_str(),
            static_cast<unsigned long>(GetLastError()));
        return;
    }
    LogWaiting();
}

void CMeteoDatabase::Reject(const std::string &record, const std::string &reason)
{
    const std::string path = m_szReport + std::to_string(m_nStationID) + "_Rejected.txt";
    const unsigned long id = m_nStationID;
    // One line per row, however many lines the server's message has.
    std::string why = reason;
    for (char &c : why) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    if (AppendDurably(path, record + "\t" + why + "\r\n")) {
        LogF(
            "ERROR ODBC ThreadMeteoConnector(Station-ID=%lu): reading refused by the database, "
            "written to %s: %s",
            id, path.c_str(), record.c_str());
    } else {
        LogF(
            "ERROR ThreadMeteoConnector(Station-ID=%lu): cannot write %s (%lu); reading "
            "refused by the database: %s",
            id, path.c_str(), static_cast<unsigned long>(GetLastError()), record.c_str());
    }
}

void CMeteoDatabase::LogWaiting()
{
    const size_t nWaiting = m_pBacklog ? m_pBacklog->Count() : 0;
    int nDecade = -1;
    for (size_t n = nWaiting; n > 0; n /= 10) {
        ++nDecade;
    }
    const unsigned long id = m_nStationID;
    if (nDecade == -1 && m_nLoggedDecade >= 0) {
        LogF("ThreadMeteoConnector(Station-ID=%lu): the backlog is empty again", id);
    } else if (nDecade >= 0 && nDecade != m_nLoggedDecade) {
        LogF("ThreadMeteoConnector(Station-ID=%lu): readings waiting in the backlog: %lu", id,
             static_cast<unsigned long>(nWaiting));
    }
    m_nLoggedDecade = nDecade;
}

namespace {

// The reading's time of a row as 100-ns units; 0 when it cannot be read.
unsigned long long RowTime(const std::string &time)
{
    SYSTEMTIME st{};
    WORD *const parts[] = {&st.wYear, &st.wMonth, &st.wDay, &st.wHour, &st.wMinute, &st.wSecond};
    const char separators[] = "-- ::";
    const char *p = time.c_str();
    for (size_t i = 0; i < 6; ++i) {
        char *end = nullptr;
        const unsigned long value = std::strtoul(p, &end, 10);
        if (end == p || value > 0xFFFF || (i < 5 && *end != separators[i])) {
            return 0;
        }
        *parts[i] = static_cast<WORD>(value);
        p = end + (i < 5 ? 1 : 0);
    }
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) {
        return 0;
    }
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

void CMeteoDatabase::Expire(const SYSTEMTIME &now)
{
    // Each look reads the file's start and may rewrite it, so it is done once a retry period.
    if (!m_bExpireDue && GetTickCount() - m_dwLastExpire < m_dwRetryMs) {
        return;
    }
    m_bExpireDue = false;
    m_dwLastExpire = GetTickCount();
    const unsigned long long limit = RowTime(RowTimeText(now));
    const unsigned long long age = 10000000ULL * 86400ULL * m_nBacklogDays;
    if (limit <= age) {
        return;
    }
    // Rows are in time order, so the old ones are the first.
    size_t nOld = 0;
    for (;;) {
        const std::vector<CBacklog::Line> lines = m_pBacklog->Head(ReplayMaxRows);
        size_t n = 0;
        for (const CBacklog::Line &line : lines) {
            DbRow row;
            if (!line.valid || !DbRow::FromText(line.text, row) ||
                RowTime(row.time) >= limit - age) {
                break;
            }
            Reject(line.text, "-\tolder than BacklogDays");
            ++n;
        }
        if (n == 0 || !m_pBacklog->RemoveHead(n)) {
            break;
        }
        nOld += n;
        if (n < lines.size()) {
            break;
        }
    }
    if (nOld > 0) {
        LogF(
            "ERROR ThreadMeteoConnector(Station-ID=%lu): %lu readings older than %lu days "
            "moved from the backlog to %s%lu_Rejected.txt",
            static_cast<unsigned long>(m_nStationID), static_cast<unsigned long>(nOld),
            static_cast<unsigned long>(m_nBacklogDays), m_szReport.c_str(),
            static_cast<unsigned long>(m_nStationID));
        LogWaiting();
    }
}

void CMeteoDatabase::Replay(const SYSTEMTIME &now)
{
    if (!m_bBacklog || !m_bQuery || Waiting() == 0) {
        if (m_nLoggedDecade == -2 && m_pBacklog) {
            m_nLoggedDecade = -1;
        }
        return;
    }
    if (m_nLoggedDecade == -2) {
        LogWaiting();
    }
    Expire(now);
    if (Pausing()) {
        return;
    }
    const DWORD dwStart = GetTickCount();
    size_t nDone = 0;
    for (const CBacklog::Line &line : m_pBacklog->Head(ReplayMaxRows)) {
        DbRow row;
        if (!line.valid || !DbRow::FromText(line.text, row)) {
            Reject(line.text, "-\tdamaged line of the backlog");
        } else {
            const Outcome outcome = Send(row);
            if (outcome == Outcome::Failed) {
                break;
            }
            if (outcome == Outcome::Rejected) {
                Reject(line.text, m_lastState + "\t" + m_lastText);
            }
        }
        ++nDone;
        if (GetTickCount() - dwStart >= ReplaySliceMs) {
            break;
        }
    }
    // Only rows whose call succeeded (or that were set aside) leave the backlog.
    if (nDone > 0 && !m_pBacklog->RemoveHead(nDone)) {
        LogF("ERROR ThreadMeteoConnector(Station-ID=%lu): cannot replace %s (%lu)",
             static_cast<unsigned long>(m_nStationID), m_pBacklog->Path().c_str(),
             static_cast<unsigned long>(GetLastError()));
    }
    LogWaiting();
}

bool CMeteoDatabase::Attempt(const DbRow &row, bool &bConnectionLost, std::string &state)
{
    const unsigned long id = m_nStationID;
    bConnectionLost = false;
    state.clear();
    hstmt = SQL_NULL_HSTMT;
    try {
        bool bDeadlocked = false;
        m_lastState.clear();
        m_firstText.clear();
        if (Execute(row, bDeadlocked)) {
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
        GetODBCError(m_pConnection->hdbc, hstmt, text, &state);
        LogError(text);
        m_lastText = text.empty() ? m_firstText : text;
        // The execution's first diagnostic was taken by its deadlock test; its state counts.
        if (!m_lastState.empty()) {
            state = m_lastState;
        }
        m_lastState = state;
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

bool CMeteoDatabase::Execute(const DbRow &row, bool &bDeadlocked)
{
    const SQLHDBC hdbc = m_pConnection->hdbc;
    SQLHSTMT hNew = SQL_NULL_HSTMT;
    if (OdbcCalls.AllocStmt(hdbc, &hNew) != SQL_SUCCESS) {
        return false;
    }
    hstmt = hNew;

    // The bound values must stay put until the statement has run.
    SQLINTEGER intStationID = static_cast<SQLINTEGER>(row.nStationID);
    SQLLEN cbintStationID = 4;
    char szTime1[40];
    char szTime[40];
    std::snprintf(szTime1, sizeof(szTime1), "%s", row.time.c_str());
    std::snprintf(szTime, sizeof(szTime), "%s", row.timeLocal.c_str());
    SQLLEN cbszTime = SQL_NTS;
    double values[9];
    std::memcpy(values, row.values, sizeof(values));
    SQLLEN cbValues[9] = {8, 8, 8, 8, 8, 8, 8, 8, 8};

    auto bind = [this](SQLUSMALLINT n, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN size,
                       void *value, SQLLEN length, SQLLEN *indicator) {
        return OdbcCalls.BindParameter(hstmt, n, SQL_PARAM_INPUT, cType, sqlType, size, 0, value,
                                       length, indicator) == SQL_SUCCESS;
    };

    if (!bind(1, SQL_C_LONG, SQL_INTEGER, 0, &intStationID, 0, &cbintStationID)) {
        return false;
    }
    const SQLULEN cchTime1 = std::strlen(szTime1);
    const SQLULEN cchTime = std::strlen(szTime);
    if (!bind(2, SQL_C_CHAR, SQL_CHAR, cchTime1, szTime1, static_cast<SQLLEN>(cchTime1),
              &cbszTime) ||
        !bind(3, SQL_C_CHAR, SQL_CHAR, cchTime, szTime, static_cast<SQLLEN>(cchTime), &cbszTime)) {
        return false;
    }
    for (SQLUSMALLINT i = 0; i < 9; ++i) {
        if (!bind(static_cast<SQLUSMALLINT>(i + 4), SQL_C_DOUBLE, SQL_REAL, 0, &values[i], 0,
                  &cbValues[i])) {
            return false;
        }
    }

    // A deadlock victim's work was rolled back, so it is executed again at once; an execution
    // that did not fail is never repeated, whatever its diagnostics say.
    SQLRETURN rc = SQL_ERROR;
    for (int nRetries = 0;; ++nRetries) {
        rc = OdbcCalls.ExecDirect(hstmt, reinterpret_cast<SQLCHAR *>(szQuery), SQL_NTS);
        const bool bRetry = GetODBCError(hdbc, hstmt, m_firstText, &m_lastState);
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
