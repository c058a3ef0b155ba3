// The database writer against a real PostgreSQL server started by the test: a connector over
// the scripted driver inserts one row per accepted reading, and survives a database that is
// down at start or dies while it runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>

#include "DbTestSupport.h"
#include "PostgresServer.h"
#include "TestFiles.h"
#include "acquisition/MeteoDatabase.h"
#include "acquisition/ODBCConnection.h"
#include "acquisition/StationTable.h"
#include "service/Log.h"

namespace {

using namespace acqtest;

constexpr LONG Block = 2;
constexpr DWORD StationID = 7;
const char *const OkLine = "OK ODBC Calling prwr_insert_wendrake";
const char *const ConnectFailure =
    "ERROR ODBC ThreadMeteoConnector(Station-ID=7): Kann Verbindung "
    "zu Datenbank pelmora nicht aufbauen. Fehler: ";
const char *const CallFailure = "ERROR ODBC ThreadMeteoConnector(Station-ID=7): ";

std::vector<std::string> Split(const std::string &row)
{
    std::vector<std::string> fields;
    std::istringstream in(row);
    std::string field;
    while (std::getline(in, field, '|')) {
        fields.push_back(field);
    }
    return fields;
}

int CountStartingWith(const std::vector<std::string> &texts, const std::string &prefix)
{
    int n = 0;
    for (const auto &t : texts) {
        n += t.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
}

// Values go to the database as single-precision reals.
void ExpectReal(const std::string &field, double expected, const char *what)
{
    EXPECT_NEAR(std::stod(field), expected, std::fabs(expected) * 2e-7 + 1e-5) << what;
}

class PostgresWriterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA"));
        try {
            server = new CPostgresServer;
        } catch (const std::exception &e) {
            FAIL() << "cannot start the test's PostgreSQL server: " << e.what();
        }
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
        Delete(&MeteoDataGuard);
    }

    void SetUp() override
    {
        ASSERT_NE(server, nullptr) << "no PostgreSQL server";
        if (!server->Running()) {
            server->Start();
        }
        server->Query("TRUNCATE wendrake_readings");
        ShutdownFlag = 0;
        StartFreshLog();
        TraceLevel = 1;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        folder = FreshFolder("out_" + name);
        ini = (folder / "Pelmora.ini").string();
        savedClock = ReadingTimeSource;
        ReadingTimeSource = TestClock;
        SetClock({start});
        ResetStation(Block);
    }
    void TearDown() override
    {
        ReadingTimeSource = savedClock;
        ShutdownFlag = 0;
        TraceLevel = 0;
        ResetStation(Block);
    }

    void WriteIni(const std::string &odbc = "",
                  const std::string &pwd = CPostgresServer::Password())
    {
        WriteWholeFile(ini,
                       "[General]\r\nStartDelay=0\r\nCycleTime=1\r\nDebug=1\r\nLog=1\r\n"
                       "LogPath=" +
                           folder.string() +
                           "\r\n"
                           "[7]\r\nDriver=" SCRIPT_DRIVER
                           "\r\n"
                           "[odbc]\r\ndriver=" +
                           server->Driver() + "\r\nserver=" + server->Server() +
                           "\r\ndatabase=" + CPostgresServer::Database() +
                           "\r\nuid=" + CPostgresServer::User() + "\r\npwd=" + pwd + "\r\n" + odbc);
    }

    // Runs a connector on this thread, one reading per cycle; between(n) runs after cycle n.
    // Returns slot 1 of the station as each cycle left it.
    std::vector<AverageSlot> Run(const std::vector<Reading> &readings,
                                 std::function<void(DWORD)> between = nullptr)
    {
        std::vector<ScriptStep> steps;
        for (const Reading &r : readings) {
            steps.push_back(Step(r));
        }
        driver.load(steps.data(), int32_t(steps.size()), 0);
        ThreadStartParameter p{};
        p.nIndex = Block;
        p.nStationID = StationID;
        std::snprintf(p.szDriver, sizeof(p.szDriver), "%s", SCRIPT_DRIVER);
        std::snprintf(p.szFNINI, sizeof(p.szFNINI), "%s", ini.c_str());
        std::snprintf(p.szID, sizeof(p.szID), "%lu", static_cast<unsigned long>(StationID));
        std::vector<AverageSlot> slots;
        TestConnector connector(p);
        connector.stopAfter = DWORD(readings.size());
        connector.between = [&](DWORD n) {
            slots.push_back(StationTable[Block][1]);
            if (between) {
                between(n);
            }
        };
        connector.ThreadMeteoConnector();
        return slots;
    }

    // The rows' first time texts, in insertion order.
    std::vector<std::string> RowTimes() const
    {
        return server->Query("SELECT time_text FROM wendrake_readings ORDER BY reading_id");
    }

    std::vector<std::string> MeasurementLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(ReadWholeFile(folder / "7_Meteo20240305.txt"));
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

    static CPostgresServer *server;
    ScriptedDriver driver;
    std::filesystem::path folder;
    std::string ini;
    SYSTEMTIME start = Time(2024, 3, 5, 7, 8, 9);
    ReadingClock savedClock = nullptr;
};

CPostgresServer *PostgresWriterTest::server = nullptr;

TEST_F(PostgresWriterTest, connector_inserts_one_row_per_accepted_reading_with_its_values)
{
    WriteIni();
    SetClock({start, Later(start, 20), Later(start, 40), Time(2024, 12, 15, 23, 59, 5)});
    Reading a{12.3, 270, 18.4, 64, 0.2, 1013.2, 455};
    Reading b{8.0, 180, 18.6, 66, 0.4, 1013.4, 460};
    Reading invalid;
    invalid.speed = -9999;
    Reading c{3.5, 45, -2.5, 99, 1.8, 998.7, 0};
    const std::vector<AverageSlot> slots = Run({a, b, invalid, c});

    const auto rows = server->Query(
        "SELECT station_id, time_text, time_text_local, wind_speed, wind_dir, wind_mean_dir, "
        "wind_std_dir, outside_temp, humidity, pressure, rain, solar, reading_time "
        "FROM wendrake_readings ORDER BY reading_id");
    ASSERT_EQ(rows.size(), 3u);
    const struct {
        const char *time;
        const char *local;
        const char *timestamp;
        const Reading &r;
        const AverageSlot &slot1;
    } expected[] = {
        {"2024-03-5 07:08:09", "05.03.2024 07:08:09", "2024-03-05 07:08:09", a, slots[0]},
        {"2024-03-5 07:08:29", "05.03.2024 07:08:29", "2024-03-05 07:08:29", b, slots[1]},
        {"2024-12-15 23:59:05", "15.12.2024 23:59:05", "2024-12-15 23:59:05", c, slots[3]},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i]);
        const auto f = Split(rows[i]);
        ASSERT_EQ(f.size(), 13u);
        const auto &e = expected[i];
        EXPECT_EQ(f[0], "7");
        EXPECT_EQ(f[1], e.time);
        EXPECT_EQ(f[2], e.local);
        ExpectReal(f[3], e.r.speed, "wind speed");
        ExpectReal(f[4], e.r.dir, "wind direction");
        ExpectReal(f[5], e.slot1.dWindMeanDir, "slot 1 mean direction");
        ExpectReal(f[6], e.slot1.dWindStdDir, "slot 1 spread");
        ExpectReal(f[7], e.r.temp, "temperature");
        ExpectReal(f[8], e.r.humidity, "humidity");
        ExpectReal(f[9], e.r.pressure, "pressure");
        ExpectReal(f[10], e.r.rain, "rain");
        ExpectReal(f[11], e.r.solar, "solar");
        EXPECT_EQ(f[12], e.timestamp);
    }
    // The statistics are those of the table, not of the reading alone.
    EXPECT_NEAR(slots[1].dWindMeanDir, 225.0, 1e-9);
    EXPECT_NEAR(slots[1].dWindStdDir, 45.0, 1e-9);

    const auto log = LogTexts();
    EXPECT_EQ(CountOf(log, OkLine), 3);
    EXPECT_EQ(CountStartingWith(log, "ERROR ODBC"), 0);
    // The password reaches the server but not the log.
    const std::string dsn =
        "ThreadMeteoConnector(Station-ID=7): ODBC-DSN=driver=" + server->Driver() +
        ";server=" + server->Server() + ";database=pelmora;UID=pelmora;PWD=***;dsn=;";
    EXPECT_EQ(CountOf(log, dsn), 1);
    for (const auto &line : log) {
        EXPECT_EQ(line.find(CPostgresServer::Password()), std::string::npos) << line;
    }
}

TEST_F(PostgresWriterTest, database_down_at_start_is_used_from_the_first_reading_after_it_is_back)
{
    WriteIni("Backlog=0\r\n");
    server->Stop();
    Run({{}, {}, {}, {}}, [](DWORD n) {
        if (n == 2) {
            server->Start();
        }
    });

    // Start-up and the first two readings each tried and failed; files went on.
    const auto log = LogTexts();
    EXPECT_EQ(CountStartingWith(log, ConnectFailure), 3);
    EXPECT_EQ(CountOf(log, OkLine), 2);
    EXPECT_EQ(MeasurementLines().size(), 4u);
    EXPECT_EQ(RowTimes(), (std::vector<std::string>{"2024-03-5 07:08:49", "2024-03-5 07:09:09"}));
}

TEST_F(PostgresWriterTest,
       server_killed_mid_run_drops_the_connection_and_a_later_reading_reconnects)
{
    WriteIni("Backlog=0\r\n");
    Run({{}, {}, {}, {}, {}, {}}, [](DWORD n) {
        if (n == 2) {
            server->Kill();
        } else if (n == 4) {
            server->Start();
        }
    });

    const auto log = LogTexts();
    // Reading 3 found the connection dead and the server down when it tried a new one at once,
    // reading 4 the server down, reading 5 reconnected.
    std::vector<std::string> odbc;
    for (const auto &line : log) {
        if (line.find("ODBC") != std::string::npos && line.find("ODBC-DSN") == std::string::npos) {
            odbc.push_back(line.rfind(ConnectFailure, 0) == 0 ? "connect failed"
                           : line == OkLine                   ? "ok"
                           : line.rfind(CallFailure, 0) == 0  ? "call failed"
                                                              : line);
        }
    }
    EXPECT_EQ(odbc, (std::vector<std::string>{"ok", "ok", "call failed", "connect failed",
                                              "connect failed", "ok", "ok"}));
    EXPECT_EQ(MeasurementLines().size(), 6u);
    EXPECT_EQ(RowTimes(), (std::vector<std::string>{"2024-03-5 07:08:09", "2024-03-5 07:08:29",
                                                    "2024-03-5 07:09:29", "2024-03-5 07:09:49"}));
}

TEST_F(PostgresWriterTest, server_restarted_between_two_readings_loses_neither)
{
    WriteIni();
    Run({{}, {}, {}}, [](DWORD n) {
        if (n == 1) {
            server->Kill();
            server->Start();
        }
    });

    // Reading 2 found its connection dead and was made again on a new one.
    const auto log = LogTexts();
    EXPECT_EQ(CountStartingWith(log, CallFailure), 1);
    EXPECT_EQ(CountStartingWith(log, ConnectFailure), 0);
    EXPECT_EQ(CountOf(log, OkLine), 3);
    EXPECT_EQ(RowTimes(), (std::vector<std::string>{"2024-03-5 07:08:09", "2024-03-5 07:08:29",
                                                    "2024-03-5 07:08:49"}));
}

TEST_F(PostgresWriterTest, failing_procedure_drops_the_connection_and_each_reading_connects_anew)
{
    WriteIni("Backlog=0\r\nproc=prwr_no_such_procedure\r\n");
    Run({{}, {}});
    const auto log = LogTexts();
    EXPECT_EQ(CountStartingWith(log, CallFailure), 2);
    EXPECT_EQ(CountStartingWith(log, ConnectFailure), 0);
    EXPECT_EQ(CountOf(log, OkLine), 0);
    EXPECT_TRUE(RowTimes().empty());
    EXPECT_EQ(MeasurementLines().size(), 2u);
}

TEST_F(PostgresWriterTest, wrong_password_is_logged_with_the_servers_reason)
{
    WriteIni("Backlog=0\r\n", "not-the-password");
    Run({{}});
    const auto log = LogTexts();
    ASSERT_EQ(CountStartingWith(log, ConnectFailure), 2);
    for (const auto &line : log) {
        if (line.rfind(ConnectFailure, 0) == 0) {
            EXPECT_NE(line.find("password authentication failed"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(RowTimes().empty());
}

TEST_F(PostgresWriterTest,
       success_with_information_counts_as_failure_and_the_next_reading_reconnects)
{
    // A procedure that inserts and then raises a notice: the driver returns success with
    // information.
    server->Query(
        "CREATE OR REPLACE FUNCTION prwr_insert_noisy(a integer, b varchar, c varchar, "
        "d double precision, e double precision, f double precision, g double precision, "
        "h double precision, i double precision, j double precision, k double precision, "
        "l double precision) RETURNS void LANGUAGE plpgsql AS \\$\\$ BEGIN "
        "PERFORM prwr_insert_wendrake(a, b, c, d, e, f, g, h, i, j, k, l); "
        "RAISE NOTICE 'inserted %', b; END \\$\\$");
    WriteIni("Backlog=0\r\nproc=prwr_insert_noisy\r\n");
    Run({{}, {}});
    const auto log = LogTexts();
    EXPECT_EQ(CountStartingWith(log, CallFailure), 2);
    EXPECT_EQ(CountOf(log, "OK ODBC Calling prwr_insert_noisy"), 0);
    // The rows were committed before the notice came back; each reading has its one row.
    EXPECT_EQ(RowTimes(), (std::vector<std::string>{"2024-03-5 07:08:09", "2024-03-5 07:08:29"}));
}

TEST_F(PostgresWriterTest, connection_class_connects_with_the_right_password_only)
{
    auto dsn = [](const char *pwd) {
        return "driver=" + server->Driver() + ";server=" + server->Server() +
               ";database=pelmora;UID=pelmora;PWD=" + pwd + ";dsn=;";
    };
    CODBCConnection good;
    EXPECT_EQ(good.nLoginTimeout, 5);
    EXPECT_TRUE(good.Connect(dsn(CPostgresServer::Password()).c_str()));
    EXPECT_EQ(good.bConnected, 1);
    good.Disconnect();
    EXPECT_EQ(good.bConnected, 0);
    EXPECT_EQ(good.hdbc, nullptr);
    EXPECT_EQ(good.henv, nullptr);

    CODBCConnection bad;
    EXPECT_FALSE(bad.Connect(dsn("wrong").c_str()));
    EXPECT_EQ(bad.bConnected, 0);
    SQLCHAR state[6] = "";
    SQLINTEGER native = 0;
    SQLCHAR message[260] = "";
    SQLSMALLINT length = 0;
    ASSERT_EQ(SQLGetDiagRec(SQL_HANDLE_DBC, bad.hdbc, 1, state, &native, message, sizeof(message),
                            &length),
              SQL_SUCCESS);
    EXPECT_NE(std::string(reinterpret_cast<char *>(message)).find("password"), std::string::npos);
}

TEST_F(PostgresWriterTest, procedure_inserts_a_stations_reading_once_and_a_repeat_changes_nothing)
{
    const std::string call =
        "SELECT prwr_insert_wendrake(7, '2024-03-5 07:08:09', "
        "'05.03.2024 07:08:09', 1, 2, 3, 4, 5, 6, 7, 8, ";
    server->Query(call + "9)");
    server->Query(call + "10)");
    server->Query(
        "SELECT prwr_insert_wendrake(8, '2024-03-5 07:08:09', '05.03.2024 07:08:09', "
        "1, 2, 3, 4, 5, 6, 7, 8, 11)");
    EXPECT_EQ(server->Query("SELECT station_id, solar FROM wendrake_readings ORDER BY station_id"),
              (std::vector<std::string>{"7|9", "8|11"}));
}

TEST_F(PostgresWriterTest, reading_the_procedure_refuses_is_set_aside_and_the_next_ones_go_on)
{
    // Humidity 99 is refused as a value out of range.
    server->Query(
        "CREATE OR REPLACE FUNCTION prwr_insert_picky(a integer, b varchar, c varchar, "
        "d double precision, e double precision, f double precision, g double precision, "
        "h double precision, i double precision, j double precision, k double precision, "
        "l double precision) RETURNS void LANGUAGE plpgsql AS \\$\\$ BEGIN "
        "IF i = 99 THEN RAISE EXCEPTION 'humidity % refused', i USING ERRCODE = '22003'; "
        "END IF; PERFORM prwr_insert_wendrake(a, b, c, d, e, f, g, h, i, j, k, l); END \\$\\$");
    WriteIni("proc=prwr_insert_picky\r\n");
    Reading wet;
    wet.humidity = 99;
    Run({{}, wet, {}, {}});
    EXPECT_EQ(RowTimes(), (std::vector<std::string>{"2024-03-5 07:08:09", "2024-03-5 07:08:49",
                                                    "2024-03-5 07:09:09"}));
    const std::string rejected = ReadWholeFile(folder / "7_Rejected.txt");
    EXPECT_EQ(rejected.find("7\t2024-03-5 07:08:29\t05.03.2024 07:08:29\t5.2\t90\t90\t0\t11.4\t99\t"
                            "1012.6\t0.2\t120\t22003\tERROR: humidity 99 refused"),
              0u)
        << rejected;
    EXPECT_EQ(std::count(rejected.begin(), rejected.end(), '\n'), 1);
    EXPECT_EQ(ReadWholeFile(folder / "7_Backlog.txt"), "");
}

}  // namespace
