// One ODBC environment and one connection on it, connected with a connection string. The
// database writer creates one whenever it needs a connection, uses hdbc directly for all that
// follows, and destroys it when the connection fails. Used by one thread only.
#pragma once

#include "acquisition/Odbc.h"

class CODBCConnection {
public:
    // Allocates the environment (ODBC 3) and the connection handle; failures show only as a
    // failing Connect.
    CODBCConnection();
    ~CODBCConnection();

    CODBCConnection(const CODBCConnection &) = delete;
    CODBCConnection &operator=(const CODBCConnection &) = delete;

    // Connects without prompting, after setting the login (and, when positive, the connection)
    // time-out. True when the driver returned SQL_SUCCESS or SQL_SUCCESS_WITH_INFO; the
    // diagnostics of a failure stay on hdbc.
    bool Connect(const char *pszConnection);

    // Disconnects and frees both handles. The object cannot connect again afterwards.
    void Disconnect();

    SQLHDBC hdbc = SQL_NULL_HDBC;
    LONG nLoginTimeout = 5;       // seconds, set before every connect
    LONG nConnectionTimeout = 0;  // seconds, set before connecting only when above 0
    LONG bConnected = 0;
    SQLHENV henv = SQL_NULL_HENV;
    LONG nRowCount = 0;
};
