#include "acquisition/Odbc.h"

// Adapters from the table's signatures to the driver manager's, whose exact parameter types
// differ a little between the Windows and unixODBC headers.
const OdbcApi &DriverManagerApi()
{
    static const OdbcApi api = {
        [](SQLSMALLINT type, SQLHANDLE input, SQLHANDLE *output) {
            return SQLAllocHandle(type, input, output);
        },
        [](SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
            return SQLSetEnvAttr(henv, attribute, value, length);
        },
        [](SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
            return SQLSetConnectAttr(hdbc, attribute, value, length);
        },
        [](SQLHDBC hdbc, SQLHWND hwnd, SQLCHAR *in, SQLSMALLINT inLength, SQLCHAR *out,
           SQLSMALLINT outMax, SQLSMALLINT *outLength, SQLUSMALLINT completion) {
            return SQLDriverConnect(hdbc, hwnd, in, inLength, out, outMax, outLength, completion);
        },
        [](SQLHDBC hdbc) { return SQLDisconnect(hdbc); },
        [](SQLSMALLINT type, SQLHANDLE handle) { return SQLFreeHandle(type, handle); },
        [](SQLHDBC hdbc, SQLUSMALLINT option, SQLULEN value) {
            return SQLSetConnectOption(hdbc, option, value);
        },
        [](SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR *state,
           SQLINTEGER *native, SQLCHAR *message, SQLSMALLINT messageMax,
           SQLSMALLINT *messageLength) {
            return SQLGetDiagRec(type, handle, record, state, native, message, messageMax,
                                 messageLength);
        },
        [](SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR *state, SQLINTEGER *native,
           SQLCHAR *message, SQLSMALLINT messageMax, SQLSMALLINT *messageLength) {
            return SQLError(henv, hdbc, hstmt, state, native, message, messageMax, messageLength);
        },
        [](SQLHDBC hdbc, SQLHSTMT *hstmt) { return SQLAllocStmt(hdbc, hstmt); },
        [](SQLHSTMT hstmt, SQLUSMALLINT number, SQLSMALLINT ioType, SQLSMALLINT cType,
           SQLSMALLINT sqlType, SQLULEN columnSize, SQLSMALLINT decimalDigits, SQLPOINTER value,
           SQLLEN bufferLength, SQLLEN *indicator) {
            return SQLBindParameter(hstmt, number, ioType, cType, sqlType, columnSize,
                                    decimalDigits, value, bufferLength, indicator);
        },
        [](SQLHSTMT hstmt, SQLCHAR *text, SQLINTEGER length) {
            return SQLExecDirect(hstmt, text, length);
        },
        [](SQLHSTMT hstmt, SQLUSMALLINT option) { return SQLFreeStmt(hstmt, option); },
    };
    return api;
}

OdbcApi OdbcCalls = DriverManagerApi();
