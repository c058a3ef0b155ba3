// A PostgreSQL server of a test's own: a cluster initialised in a fresh temporary folder,
// listening only on a Unix socket in that folder (no TCP port), with one database loaded from
// db/postgresql.sql and reached through the PostgreSQL ODBC driver. Linux only.
//
// When the tests run as root the server runs as "nobody", since PostgreSQL refuses root.
// Every failure throws std::runtime_error with the server's own output, so a machine without
// the server fails the tests loudly instead of skipping them.
#pragma once

#include <string>
#include <vector>

namespace acqtest {

class CPostgresServer {
public:
    // Initialises the cluster, starts it, creates and loads the database, and leaves it
    // running.
    CPostgresServer();
    // Stops the server and removes the folder.
    ~CPostgresServer();

    CPostgresServer(const CPostgresServer &) = delete;
    CPostgresServer &operator=(const CPostgresServer &) = delete;

    void Start();
    // A clean shutdown.
    void Stop();
    // The server dies at once, its open connections with it (crash recovery on the next start).
    void Kill();
    bool Running() const { return m_bRunning; }

    // Runs SQL in the test database; returns the result rows, fields separated by '|'.
    std::vector<std::string> Query(const std::string &sql) const;

    // The [odbc] values that reach the database.
    const std::string &Driver() const { return m_driver; }
    const std::string &Server() const { return m_folder; }
    static const char *Database() { return "pelmora"; }
    static const char *User() { return "pelmora"; }
    static const char *Password() { return "Wetter.Stat10n"; }

private:
    std::string AsServerUser(const std::string &command) const;
    std::string Run(const std::string &command, const char *what) const;

    std::string m_bin;     // folder of initdb, pg_ctl and psql
    std::string m_driver;  // the ODBC driver's library
    std::string m_folder;  // data in data/, the socket in the folder itself
    bool m_bRoot = false;
    bool m_bRunning = false;
};

}  // namespace acqtest
