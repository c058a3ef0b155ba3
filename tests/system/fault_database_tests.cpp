// The database goes away under a running Pelmora: a PostgreSQL server of the test's own is
// stopped at once (its connections die with it) and started again on the same socket while a
// station delivers a reading every second (a station has one row per second of time). Every
// accepted reading is in the measurement file; every reading accepted while the server was
// reachable is in the table exactly once; only those accepted while it was down are missing there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/acquisition/PostgresServer.h"
#include "tests/system/fault_support.h"

namespace {

using namespace fault;
using acqtest::CPostgresServer;

// The solar values of the measurement file's lines, which count the driver's readings.
std::vector<long> FileReadings(const std::string &data)
{
    std::vector<long> solar;
    for (const std::string &line : MeasurementLines(data, 1))
        solar.push_back(long(Column(line, 10)));
    return solar;
}

// How often each solar value is in the table.
std::map<long, int> TableReadings(const CPostgresServer &db)
{
    std::map<long, int> rows;
    for (const std::string &row :
         db.Query("SELECT solar, count(*) FROM wendrake_readings WHERE station_id = 1 "
                  "GROUP BY solar")) {
        const size_t bar = row.find('|');
        rows[std::stol(row.substr(0, bar))] = std::stoi(row.substr(bar + 1));
    }
    return rows;
}

// Pelmora with the fault driver (a reading every second, the long cycle as short) writing to
// `db` without a backlog; its measurement files in `data`.
void Configure(Pelmora &pelmora, const CPostgresServer &db, const std::string &data,
               const std::string &odbc = "Backlog=0\r\n")
{
    pelmora.InstallDriver(FAULT_DRIVER_FILE, "station/" FAULT_DRIVER_FILE);
    std::filesystem::create_directories(data);
    pelmora.Configure(
        "Log=1\r\nCycleTime=1000\r\nCycleBreakTime=1000\r\nStations=1\r\nStationIDs=1\r\nLogPath=" +
            data + "\r\n",
        "[1]\r\nDriver=station/" FAULT_DRIVER_FILE "\r\n[odbc]\r\ndriver=" + db.Driver() +
            "\r\nserver=" + db.Server() + "\r\ndatabase=" + CPostgresServer::Database() +
            "\r\nuid=" + CPostgresServer::User() + "\r\npwd=" + CPostgresServer::Password() +
            "\r\n" + odbc);
}

class FaultDatabase : public ::testing::Test {
protected:
    void SetUp() override
    {
        try {
            db = std::make_unique<CPostgresServer>();
        } catch (const std::exception &e) {
            FAIL() << "cannot start the test's PostgreSQL server: " << e.what();
        }
        data = pelmora.Folder() + "/data";
        Configure(pelmora, *db, data);
    }

    std::unique_ptr<CPostgresServer> db;
    Pelmora pelmora;
    std::string data;
};

TEST_F(FaultDatabase, killed_and_restarted_while_readings_flow_loses_only_what_came_while_down)
{
    ASSERT_TRUE(pelmora.Start());

    ASSERT_TRUE(WaitUntil([&] { return TableReadings(*db).size() >= 3; }, 30000)) << pelmora.Log();

    // The newest reading in the table before the kill; readings up to it were accepted while
    // the server was reachable.
    const long lastBeforeKill = TableReadings(*db).rbegin()->first;
    db->Kill();
    const size_t atKill = FileReadings(data).size();
    // Readings go on while it is down.
    ASSERT_TRUE(WaitUntil([&] { return FileReadings(data).size() >= atKill + 3; }, 30000));
    db->Start();
    // Readings after the newest one in the file now are accepted with the server up again.
    const std::vector<long> atRestart = FileReadings(data);
    ASSERT_FALSE(atRestart.empty());
    const long lastWhileDown = atRestart.back();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto rows = TableReadings(*db);
            return !rows.empty() && rows.rbegin()->first >= lastWhileDown + 3;
        },
        30000))
        << pelmora.Log();
    ASSERT_TRUE(pelmora.Stop());

    // Every accepted reading is in the file, once and in order.
    const std::vector<long> file = FileReadings(data);
    const std::string log = pelmora.Log();
    EXPECT_EQ(CountLines(log, "Data Retrieved"), file.size());
    for (size_t i = 0; i < file.size(); ++i)
        ASSERT_EQ(1000 + long(i), file[i]) << "line " << i + 1;

    const std::map<long, int> table = TableReadings(*db);
    int rows = 0;
    int duplicated = 0;
    for (const auto &[solar, count] : table) {
        rows += count;
        duplicated += count > 1 ? 1 : 0;
        EXPECT_TRUE(solar >= 1000 && solar <= file.back()) << "a row of no reading: " << solar;
    }
    EXPECT_EQ(0, duplicated);

    int acceptedWhileDown = 0;
    int missingWhileDown = 0;
    int lost = 0;
    for (long solar : file) {
        const bool inTable = table.count(solar) != 0;
        if (solar > lastBeforeKill && solar <= lastWhileDown) {
            ++acceptedWhileDown;
            missingWhileDown += inTable ? 0 : 1;
        } else if (!inTable) {
            ++lost;
            ADD_FAILURE() << "reading " << solar << " accepted while the server was reachable "
                          << "is not in the table";
        }
    }
    EXPECT_EQ(0, lost);
    // The three readings waited for while it was down cannot have reached it.
    EXPECT_GE(missingWhileDown, 3);
    EXPECT_GE(CountLines(log, "Kann Verbindung zu Datenbank pelmora nicht aufbauen"), 1u);

    RecordProperty("readings_accepted", int(file.size()));
    RecordProperty("rows", rows);
    RecordProperty("readings_accepted_while_down", acceptedWhileDown);
    RecordProperty("readings_missing_while_down", missingWhileDown);
    RecordProperty("readings_lost", lost);
}

}  // namespace

namespace {

TEST_F(FaultDatabase, restarted_between_two_readings_loses_none)
{
    // Four readings, then a pause of 6 s without one, then readings again.
    std::string script;
    for (int i = 1; i <= 4; ++i)
        script += "record 64 1 5 180 10 50 0 1013 " + std::to_string(i) + "\n";
    for (int i = 0; i < 6; ++i)
        script += "getdata 0\n";
    WriteFile(pelmora.Folder() + "/station/FaultDriver.txt", script);
    ASSERT_TRUE(pelmora.Start());

    ASSERT_TRUE(WaitUntil([&] { return TableReadings(*db).count(4) != 0; }, 30000))
        << pelmora.Log();
    // The connection the writer holds dies with the server; the next reading comes once the
    // server is back.
    db->Kill();
    db->Start();
    ASSERT_EQ(4, FileReadings(data).back()) << "a reading came while the server was down";
    ASSERT_TRUE(WaitUntil([&] { return FileReadings(data).size() >= 7; }, 30000));
    ASSERT_TRUE(pelmora.Stop());

    const std::vector<long> file = FileReadings(data);
    const std::map<long, int> table = TableReadings(*db);
    int lost = 0;
    for (long solar : file) {
        const auto row = table.find(solar);
        if (row == table.end())
            ++lost;
        else
            EXPECT_EQ(1, row->second) << "reading " << solar;
        EXPECT_TRUE(row != table.end()) << "reading " << solar << " is not in the table";
    }
    EXPECT_EQ(file.size(), table.size());
    RecordProperty("readings_accepted", int(file.size()));
    RecordProperty("rows", int(table.size()));
    RecordProperty("readings_lost", lost);
}

}  // namespace

namespace {

// Two Pelmora instances with stations of their own, writing into one PostgreSQL: A with
// stations 1 and 2, B with station 5, a reading every 1.5 s each. The server is stopped for
// 30 s and started again; A is killed with SIGKILL during the outage and started again. Once
// the backlogs are sent, every line of every measurement file has exactly one row with its
// values, and the backlogs are empty.
class FaultDatabaseBacklog : public ::testing::Test {
protected:
    void SetUp() override
    {
        try {
            db = std::make_unique<CPostgresServer>();
        } catch (const std::exception &e) {
            FAIL() << "cannot start the test's PostgreSQL server: " << e.what();
        }
        Setup(a, "2\r\nStationIDs=1", {1, 2});
        Setup(b, "1\r\nStationIDs=5", {5});
    }

    void Setup(Pelmora &pelmora, const std::string &stations, const std::vector<int> &ids)
    {
        pelmora.InstallDriver(FAULT_DRIVER_FILE, "station/" FAULT_DRIVER_FILE);
        const std::string data = pelmora.Folder() + "/data";
        std::filesystem::create_directories(data);
        std::string sections;
        for (int id : ids) {
            sections += "[" + std::to_string(id) + "]\r\nDriver=station/" FAULT_DRIVER_FILE "\r\n";
            folders[id] = data;
        }
        pelmora.Configure("Log=1\r\nCycleTime=1500\r\nCycleBreakTime=1500\r\nStations=" + stations +
                              "\r\nLogPath=" + data + "\r\n",
                          sections + "[odbc]\r\ndriver=" + db->Driver() + "\r\nserver=" +
                              db->Server() + "\r\ndatabase=" + CPostgresServer::Database() +
                              "\r\nuid=" + CPostgresServer::User() +
                              "\r\npwd=" + CPostgresServer::Password() + "\r\nRetrySeconds=3\r\n");
    }

    std::string Backlog(int id) const
    {
        return ReadFile(folders.at(id) + "/" + std::to_string(id) + "_Backlog.txt");
    }
    size_t Rows(int id) const
    {
        return std::stoul(db->Query("SELECT count(*) FROM wendrake_readings WHERE station_id = " +
                                    std::to_string(id))
                              .at(0));
    }
    // The time stamp of a station's newest measurement line, "yyyymmdd hh:mm:ss".
    std::string LastStamp(int id) const
    {
        const std::vector<std::string> lines = MeasurementLines(folders.at(id), id);
        return lines.empty() ? "" : lines.back().substr(0, 17);
    }
    static std::string UtcStamp()
    {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char szStamp[32];
        std::strftime(szStamp, sizeof(szStamp), "%Y%m%d %H:%M:%S", &utc);
        return szStamp;
    }
    // Every station has all its file lines in the table and nothing waits.
    bool AllSent() const
    {
        for (const auto &[id, folder] : folders) {
            if (!Backlog(id).empty() || Rows(id) != MeasurementLines(folder, id).size())
                return false;
        }
        return true;
    }

    std::unique_ptr<CPostgresServer> db;
    Pelmora a, b;
    std::map<int, std::string> folders;
};

TEST_F(FaultDatabaseBacklog, outage_and_a_killed_instance_lose_no_reading_and_duplicate_none)
{
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(WaitUntil([&] { return Rows(1) >= 2 && Rows(2) >= 2 && Rows(5) >= 2; }, 30000))
        << a.Log();

    db->Stop();
    const auto stopped = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Backlog(1).size() > 0 && Backlog(2).size() > 0; }, 20000))
        << a.Log();
    ASSERT_TRUE(
        WaitUntil([&] { return Clock::now() - stopped >= std::chrono::seconds(8); }, 20000));
    a.Kill();
    // The table keeps one reading per station and second: the restarted instance's first
    // reading must not share the killed one's last second.
    ASSERT_TRUE(
        WaitUntil([&] { return UtcStamp() > LastStamp(1) && UtcStamp() > LastStamp(2); }, 5000));
    ASSERT_TRUE(a.Start());
    // The outage lasts 30 s, as planned.
    ASSERT_TRUE(
        WaitUntil([&] { return Clock::now() - stopped >= std::chrono::seconds(30); }, 40000));
    const std::string backlog = Backlog(1);
    const size_t waiting = size_t(std::count(backlog.begin(), backlog.end(), '\n'));
    EXPECT_GE(waiting, 10u) << "readings of the outage";
    db->Start();
    ASSERT_TRUE(WaitUntil([&] { return AllSent(); }, 40000)) << a.Log();
    ASSERT_TRUE(a.Stop());
    ASSERT_TRUE(b.Stop());

    for (const auto &[id, folder] : folders) {
        SCOPED_TRACE("station " + std::to_string(id));
        EXPECT_EQ("", Backlog(id));
        std::map<std::string, std::vector<std::string>> rows;
        for (const std::string &row :
             db->Query("SELECT to_char(reading_time, 'YYYYMMDD HH24:MI:SS'), wind_speed, wind_dir, "
                       "wind_mean_dir, wind_std_dir, outside_temp, humidity, rain, pressure, solar "
                       "FROM wendrake_readings WHERE station_id = " +
                       std::to_string(id)))
            rows[row.substr(0, row.find('|'))].push_back(row);
        const std::vector<std::string> lines = MeasurementLines(folder, id);
        EXPECT_EQ(lines.size(), rows.size());
        for (const std::string &line : lines) {
            const auto found = rows.find(line.substr(0, line.find('\t')));
            ASSERT_NE(found, rows.end()) << "no row for " << line;
            ASSERT_EQ(1u, found->second.size()) << "rows for " << line;
            // The file has one decimal, the table single-precision reals.
            std::string fields = found->second[0] + "|";
            for (int column = 2; column <= 10; ++column) {
                fields = fields.substr(fields.find('|') + 1);
                const double value = std::stod(fields.substr(0, fields.find('|')));
                EXPECT_NEAR(Column(line, column), value, 0.051 + 1e-6 * std::fabs(value))
                    << line << " column " << column;
            }
        }
    }
    EXPECT_EQ(0u, CountLines(a.Log(), "readings waiting in the backlog: 0"));
    EXPECT_GE(CountLines(a.Log(), "ThreadMeteoConnector(Station-ID=1): the backlog is empty again"),
              1u);
    EXPECT_GE(CountLines(b.Log(), "ThreadMeteoConnector(Station-ID=5): the backlog is empty again"),
              1u);
    RecordProperty("readings_waiting_at_restart", int(waiting));
}

}  // namespace
