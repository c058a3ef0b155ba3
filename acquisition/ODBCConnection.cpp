#include "acquisition/ODBCConnection.h"

#include <cstring>

#include "win32/CriticalSection.h"

namespace {

using Tarnwick::Win32::CCriticalSection;
using Tarnwick::Win32::CCriticalSectionGuard;

// The driver manager fills process-wide state of its own, without a lock, while it makes an
// environment, and a driver may change the process's locale while it connects (the PostgreSQL
// driver does): station threads make, connect and free theirs one at a time. Connects are rare
// (a failed one waits RetrySeconds), so the calls themselves stay parallel. Never destroyed: a
// station thread still ending may free its environment while the program's statics are torn
// down.
CCriticalSection &EnvironmentLock()
{
    static CCriticalSection *lock = new CCriticalSection;
    return *lock;
}

}  // namespace

CODBCConnection::CODBCConnection()
{
    CCriticalSectionGuard guard(EnvironmentLock());
    OdbcCalls.AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv);
    OdbcCalls.SetEnvAttr(henv, SQL_ATTR_ODBC_VERSION,
                         reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(SQL_OV_ODBC3)), 0);
    OdbcCalls.AllocHandle(SQL_HANDLE_DBC, henv, &hdbc);
}

CODBCConnection::~CODBCConnection()
{
    Disconnect();
    nLoginTimeout = 0;
    nConnectionTimeout = 0;
    bConnected = 0;
    nRowCount = 0;
}

bool CODBCConnection::Connect(const char *pszConnection)
{
    if (nConnectionTimeout > 0) {
        OdbcCalls.SetConnectAttr(
            hdbc, SQL_ATTR_CONNECTION_TIMEOUT,
            reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(nConnectionTimeout)), 0);
    }
    OdbcCalls.SetConnectAttr(hdbc, SQL_ATTR_LOGIN_TIMEOUT,
                             reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(nLoginTimeout)), 0);
    SQLCHAR szCompleted[260];
    SQLSMALLINT cbCompleted = 0;
    CCriticalSectionGuard guard(EnvironmentLock());
    const SQLRETURN rc = OdbcCalls.DriverConnect(
        hdbc, nullptr, reinterpret_cast<SQLCHAR *>(const_cast<char *>(pszConnection)),
        static_cast<SQLSMALLINT>(std::strlen(pszConnection)), szCompleted,
        static_cast<SQLSMALLINT>(sizeof(szCompleted)), &cbCompleted, SQL_DRIVER_NOPROMPT);
    bConnected = (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) ? 1 : 0;
    return bConnected != 0;
}

void CODBCConnection::Disconnect()
{
    bConnected = 0;
    if (hdbc != SQL_NULL_HDBC) {
        CCriticalSectionGuard guard(EnvironmentLock());
        OdbcCalls.Disconnect(hdbc);
        OdbcCalls.FreeHandle(SQL_HANDLE_DBC, hdbc);
        OdbcCalls.FreeHandle(SQL_HANDLE_ENV, henv);
        hdbc = SQL_NULL_HDBC;
        henv = SQL_NULL_HENV;
    }
}
