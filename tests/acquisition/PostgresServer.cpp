#include "PostgresServer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace acqtest {

namespace fs = std::filesystem;

namespace {

constexpr const char *ServerUser = "nobody";

// The newest installed server's programs: Debian keeps them per version, outside the PATH.
std::string FindServerPrograms()
{
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const fs::path initdb = entry.path() / "bin" / "initdb";
        if (!fs::exists(initdb)) {
            continue;
        }
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion) {
            bestVersion = version;
            best = (entry.path() / "bin").string();
        }
    }
    if (best.empty()) {
        for (const char *folder : {"/usr/local/pgsql/bin", "/usr/local/bin", "/usr/bin"}) {
            if (fs::exists(fs::path(folder) / "initdb") &&
                fs::exists(fs::path(folder) / "pg_ctl")) {
                return folder;
            }
        }
        throw std::runtime_error(
            "no PostgreSQL server programs (initdb, pg_ctl) installed; "
            "scripts/install-deps installs them");
    }
    return best;
}

std::string FindOdbcDriver()
{
    for (const char *path :
         {"/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so",
          "/usr/lib/aarch64-linux-gnu/odbc/psqlodbca.so", "/usr/lib/odbc/psqlodbca.so",
          "/usr/lib64/psqlodbca.so", "/usr/local/lib/psqlodbca.so"}) {
        if (fs::exists(path)) {
            return path;
        }
    }
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/usr/lib", ec)) {
        const fs::path candidate = entry.path() / "odbc" / "psqlodbca.so";
        if (fs::exists(candidate)) {
            return candidate.string();
        }
    }
    throw std::runtime_error(
        "no PostgreSQL ODBC driver (psqlodbca.so) installed; "
        "scripts/install-deps installs it");
}

void Own(const std::string &path, const passwd *user)
{
    if (user != nullptr && chown(path.c_str(), user->pw_uid, user->pw_gid) != 0) {
        throw std::runtime_error("cannot hand " + path + " to " + ServerUser);
    }
}

}  // namespace

CPostgresServer::CPostgresServer()
{
    m_bin = FindServerPrograms();
    m_driver = FindOdbcDriver();
    m_bRoot = geteuid() == 0;

    // Short, so the socket's path stays within the limit of a Unix socket name.
    char szTemplate[] = "/tmp/pelmora-pg.XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder for the server");
    }
    m_folder = szTemplate;
    const passwd *user = nullptr;
    if (m_bRoot) {
        user = getpwnam(ServerUser);
        if (user == nullptr) {
            throw std::runtime_error(std::string("PostgreSQL refuses to run as root and there is "
                                                 "no user ") +
                                     ServerUser);
        }
    }
    Own(m_folder, user);
    const std::string pwfile = m_folder + "/pwfile";
    {
        std::ofstream out(pwfile, std::ios::trunc);
        out << Password() << "\n";
    }
    Own(pwfile, user);

    Run(AsServerUser(m_bin + "/initdb -D " + m_folder + "/data -U " + User() +
                     " --pwfile=" + pwfile + " -A scram-sha-256 -E UTF8 --locale=C --no-sync"),
        "initdb");
    std::ofstream conf(m_folder + "/data/postgresql.conf", std::ios::app);
    conf << "listen_addresses = ''\n"
         << "unix_socket_directories = '" << m_folder << "'\n"
         << "fsync = off\n";
    conf.close();

    Start();
    Query(std::string("CREATE DATABASE ") + Database());
    Run("PGPASSWORD='" + std::string(Password()) + "' " + m_bin +
            "/psql -X -q -v ON_ERROR_STOP=1 -h " + m_folder + " -U " + User() + " -d " +
            Database() + " -f " PELMORA_SOURCE_DIR "/db/postgresql.sql",
        "loading db/postgresql.sql");
}

CPostgresServer::~CPostgresServer()
{
    try {
        if (m_bRunning) {
            Stop();
        }
    } catch (const std::exception &) {
        Kill();
    }
    std::error_code ec;
    fs::remove_all(m_folder, ec);
}

std::string CPostgresServer::AsServerUser(const std::string &command) const
{
    // The server user may not enter the test's own folder.
    const std::string inFolder = "cd " + m_folder + " && " + command;
    if (!m_bRoot) {
        return inFolder;
    }
    return std::string("runuser -u ") + ServerUser + " -- /bin/sh -c '" + inFolder + "'";
}

std::string CPostgresServer::Run(const std::string &command, const char *what) const
{
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error(std::string("cannot run ") + what);
    }
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (status != 0) {
        throw std::runtime_error(std::string(what) + " failed (" + command + "):\n" + output);
    }
    return output;
}

void CPostgresServer::Start()
{
    try {
        Run(AsServerUser(m_bin + "/pg_ctl -D " + m_folder + "/data -l " + m_folder +
                         "/server.log -w -t 60 start"),
            "starting the server");
    } catch (const std::runtime_error &e) {
        std::ifstream log(m_folder + "/server.log");
        std::ostringstream text;
        text << log.rdbuf();
        throw std::runtime_error(std::string(e.what()) + "\nserver log:\n" + text.str());
    }
    m_bRunning = true;
}

void CPostgresServer::Stop()
{
    Run(AsServerUser(m_bin + "/pg_ctl -D " + m_folder + "/data -w -t 60 -m fast stop"),
        "stopping the server");
    m_bRunning = false;
}

void CPostgresServer::Kill()
{
    Run(AsServerUser(m_bin + "/pg_ctl -D " + m_folder + "/data -w -t 60 -m immediate stop"),
        "killing the server");
    m_bRunning = false;
}

std::vector<std::string> CPostgresServer::Query(const std::string &sql) const
{
    const std::string database = sql.rfind("CREATE DATABASE", 0) == 0 ? "postgres" : Database();
    const std::string output =
        Run("PGPASSWORD='" + std::string(Password()) + "' " + m_bin + "/psql -X -q -A -t -F '|' " +
                "-v ON_ERROR_STOP=1 -h " + m_folder + " -U " + User() + " -d " + database +
                " -c \"" + sql + "\"",
            "psql");
    std::vector<std::string> rows;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        rows.push_back(line);
    }
    return rows;
}

}  // namespace acqtest
