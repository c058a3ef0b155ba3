// The database goes away under a running Pelmora: a PostgreSQL server of the test's own is
// stopped at once (its connections die with it) and started again on the same socket while a
// station delivers a reading every 100 ms. Every accepted reading is in the measurement file;
// every reading accepted while the server was reachable is in the table exactly once; only
// those accepted while it was down are missing there.
#include <gtest/gtest.h>

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

// Pelmora with the fault driver (a reading every 100 ms, the long cycle as short) writing to
// `db`; its measurement
// files in `data`.
void Configure(Pelmora &pelmora, const CPostgresServer &db, const std::string &data)
{
    pelmora.InstallDriver(FAULT_DRIVER_FILE, "station/" FAULT_DRIVER_FILE);
    std::filesystem::create_directories(data);
    pelmora.Configure(
        "Log=1\r\nCycleTime=100\r\nCycleBreakTime=100\r\nStations=1\r\nStationIDs=1\r\nLogPath=" +
            data + "\r\n",
        "[1]\r\nDriver=station/" FAULT_DRIVER_FILE "\r\n[odbc]\r\ndriver=" + db.Driver() +
            "\r\nserver=" + db.Server() + "\r\ndatabase=" + CPostgresServer::Database() +
            "\r\nuid=" + CPostgresServer::User() + "\r\npwd=" + CPostgresServer::Password() +
            "\r\n");
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

    ASSERT_TRUE(WaitUntil([&] { return TableReadings(*db).size() >= 10; }, 30000)) << pelmora.Log();

    // The newest reading in the table before the kill; readings up to it were accepted while
    // the server was reachable.
    const long lastBeforeKill = TableReadings(*db).rbegin()->first;
    db->Kill();
    const size_t atKill = FileReadings(data).size();
    // Readings go on while it is down.
    ASSERT_TRUE(WaitUntil([&] { return FileReadings(data).size() >= atKill + 5; }, 30000));
    db->Start();
    // Readings after the newest one in the file now are accepted with the server up again.
    const std::vector<long> atRestart = FileReadings(data);
    ASSERT_FALSE(atRestart.empty());
    const long lastWhileDown = atRestart.back();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto rows = TableReadings(*db);
            return !rows.empty() && rows.rbegin()->first >= lastWhileDown + 20;
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
    // The five readings waited for while it was down cannot have reached it.
    EXPECT_GE(missingWhileDown, 5);
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
    // Ten readings, then a pause of 6 s without one, then readings again.
    std::string script;
    for (int i = 1; i <= 10; ++i)
        script += "record 64 1 5 180 10 50 0 1013 " + std::to_string(i) + "\n";
    for (int i = 0; i < 60; ++i)
        script += "getdata 0\n";
    WriteFile(pelmora.Folder() + "/station/FaultDriver.txt", script);
    ASSERT_TRUE(pelmora.Start());

    ASSERT_TRUE(WaitUntil([&] { return TableReadings(*db).count(10) != 0; }, 30000))
        << pelmora.Log();
    // The connection the writer holds dies with the server; the next reading comes once the
    // server is back.
    db->Kill();
    db->Start();
    ASSERT_EQ(10, FileReadings(data).back()) << "a reading came while the server was down";
    ASSERT_TRUE(WaitUntil([&] { return FileReadings(data).size() >= 15; }, 30000));
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
