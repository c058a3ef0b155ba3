// The ODBC API as this program reaches it: the driver manager's headers, made to sit beside
// platform/win32.h, and the table of ODBC functions through which the database code calls it.
#pragma once

#include "platform/win32.h"

#ifndef _WIN32
// unixODBC's headers bring their own Windows-like types unless told that we have them; ours
// (platform/posix/types.h) have the Windows widths, theirs follow the host's long. Keep ours,
// and give the headers the few ODBC-only names they still expect.
#define ALREADY_HAVE_WINDOWS_TYPE 1
#ifndef SQL_API
#define SQL_API
#endif
#ifndef FAR
#define FAR
#endif
typedef signed char SCHAR;
typedef SCHAR SQLSCHAR;
typedef int32_t SDWORD;
typedef uint32_t UDWORD;
typedef int16_t SWORD;
typedef uint16_t UWORD;
typedef long SLONG;
typedef int16_t SSHORT;
typedef double SDOUBLE;
typedef double LDOUBLE;
typedef float SFLOAT;
typedef void *PTR;
typedef int16_t RETCODE;
typedef void *SQLHWND;
typedef char TCHAR;
typedef unsigned short WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef TCHAR *LPTSTR;
#endif

#include <sql.h>
#include <sqlext.h>

// Every ODBC call of the database writer and of CODBCConnection goes through this table. It
// holds the driver manager's functions; tests replace entries to produce what a real server
// cannot (a deadlock victim, a success with information). Change it only while no connector
// runs.
struct OdbcApi {
    // The longer signatures are named here, so that each entry below reads as one line.
    using SetEnvAttrCall = SQLRETURN(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value,
                                     SQLINTEGER length);
    using SetConnectAttrCall = SQLRETURN(SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value,
                                         SQLINTEGER length);
    using DriverConnectCall = SQLRETURN(SQLHDBC hdbc, SQLHWND hwnd, SQLCHAR *in,
                                        SQLSMALLINT inLength, SQLCHAR *out, SQLSMALLINT outMax,
                                        SQLSMALLINT *outLength, SQLUSMALLINT completion);
    using GetDiagRecCall = SQLRETURN(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record,
                                     SQLCHAR *state, SQLINTEGER *native, SQLCHAR *message,
                                     SQLSMALLINT messageMax, SQLSMALLINT *messageLength);
    using ErrorCall = SQLRETURN(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR *state,
                                SQLINTEGER *native, SQLCHAR *message, SQLSMALLINT messageMax,
                                SQLSMALLINT *messageLength);
    using BindParameterCall = SQLRETURN(SQLHSTMT hstmt, SQLUSMALLINT number, SQLSMALLINT ioType,
                                        SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN columnSize,
                                        SQLSMALLINT decimalDigits, SQLPOINTER value,
                                        SQLLEN bufferLength, SQLLEN *indicator);

    SQLRETURN (*AllocHandle)(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE *output);
    SetEnvAttrCall *SetEnvAttr;
    SetConnectAttrCall *SetConnectAttr;
    DriverConnectCall *DriverConnect;
    SQLRETURN (*Disconnect)(SQLHDBC hdbc);
    SQLRETURN (*FreeHandle)(SQLSMALLINT type, SQLHANDLE handle);
    SQLRETURN (*SetConnectOption)(SQLHDBC hdbc, SQLUSMALLINT option, SQLULEN value);
    GetDiagRecCall *GetDiagRec;
    ErrorCall *Error;
    SQLRETURN (*AllocStmt)(SQLHDBC hdbc, SQLHSTMT *hstmt);
    BindParameterCall *BindParameter;
    SQLRETURN (*ExecDirect)(SQLHSTMT hstmt, SQLCHAR *text, SQLINTEGER length);
    SQLRETURN (*FreeStmt)(SQLHSTMT hstmt, SQLUSMALLINT option);
};

// The driver manager's functions.
const OdbcApi &DriverManagerApi();

// The table in use; DriverManagerApi() unless a test replaced it.
extern OdbcApi OdbcCalls;
