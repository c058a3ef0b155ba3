// The connector thread against a scripted driver: binding, pacing, the checks of each reading,
// the table, the files and the log; and the start-up block that starts one thread per station.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectorHarness.h"
#include "ScriptDriver.h"
#include "TestFiles.h"
#include "acquisition/MeteoConnector.h"
#include "acquisition/StationTable.h"
#include "service/Globals.h"
#include "service/Log.h"

namespace {

using namespace acqtest;

template <class F>
F Export(HMODULE h, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(h, name)));
}

// The scripted driver, loaded by the test as by the connector: one module for both.
struct Driver {
    Driver()
    {
        h = LoadLibraryA((ExecutableFolder() + SCRIPT_DRIVER).c_str());
        load = Export<PFN_SCRIPTLOAD>(h, "ScriptLoad");
        counts = Export<PFN_SCRIPTCOUNTS>(h, "ScriptGetCounts");
        times = Export<PFN_SCRIPTGETTIMES>(h, "ScriptGetTimes");
        waitThreads = Export<PFN_SCRIPTWAITTHREADS>(h, "ScriptWaitThreads");
        waitOpens = Export<PFN_SCRIPTWAITOPENS>(h, "ScriptWaitOpens");
    }
    ScriptCounts Counts() const
    {
        ScriptCounts c{};
        counts(&c);
        return c;
    }
    HMODULE h;
    PFN_SCRIPTLOAD load;
    PFN_SCRIPTCOUNTS counts;
    PFN_SCRIPTGETTIMES times;
    PFN_SCRIPTWAITTHREADS waitThreads;
    PFN_SCRIPTWAITOPENS waitOpens;
};

struct R {
    double speed = 5.2;
    double dir = 90;
    double temp = 11.4;
    double humidity = 70;
    double rain = 0.2;
    double pressure = 1012.6;
    double solar = 120;
    int32_t version = 1;
    uint32_t sequence = 0;
    int32_t result = 1;
};

ScriptStep Step(const R &r)
{
    ScriptStep step{};
    step.nResult = r.result;
    MeteoData &d = step.record.Data;
    d.nSize = r.version > 1 ? 68 : 64;
    d.nVersion = r.version;
    d.dWindSpeed = r.speed;
    d.dWindDir = r.dir;
    d.dOutsideTemp = r.temp;
    d.dHumidity = r.humidity;
    d.dRain = r.rain;
    d.dPressure = r.pressure;
    d.dSolar = r.solar;
    step.record.nSequence = r.sequence;
    return step;
}

constexpr LONG Block = 3;
constexpr DWORD StationID = 7;

class ConnectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA")); }
    static void TearDownTestSuite() { Delete(&MeteoDataGuard); }

    void SetUp() override
    {
        ShutdownFlag = 0;
        StartFreshLog();
        TraceLevel = 1;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        folder = FreshFolder("out_" + name);
        ini = (folder / "Pelmora.ini").string();
        ReadingTimeSource = TestClock;
        SetClock({start});
        for (LONG b = 0; b < STATION_BLOCKS; ++b) {
            ResetStation(b);
        }
    }
    void TearDown() override
    {
        ReadingTimeSource = savedClock;
        ShutdownFlag = 0;
        TraceLevel = 0;
        for (LONG b = 0; b < STATION_BLOCKS; ++b) {
            ResetStation(b);
        }
    }

    std::string General(const std::string &extra = "") const
    {
        return "[General]\r\nStartDelay=0\r\nCycleTime=1\r\nDebug=1\r\nLog=1\r\nLogPath=" +
               folder.string() + "\r\n" + extra;
    }
    std::string Station(const std::string &extra = "") const
    {
        return "[7]\r\nDriver=" SCRIPT_DRIVER "\r\nDebug=1\r\n" + extra;
    }
    void WriteIni(const std::string &text) { WriteWholeFile(ini, text); }

    ThreadStartParameter Start(const char *szDriver = SCRIPT_DRIVER) const
    {
        ThreadStartParameter p{};
        p.nIndex = Block;
        p.nStationID = StationID;
        std::snprintf(p.szDriver, sizeof(p.szDriver), "%s", szDriver);
        std::snprintf(p.szFNINI, sizeof(p.szFNINI), "%s", ini.c_str());
        std::snprintf(p.szID, sizeof(p.szID), "%lu", static_cast<unsigned long>(StationID));
        return p;
    }

    // Runs a connector on this thread over the steps, one cycle each.
    DWORD Run(const std::vector<R> &readings, std::function<void(DWORD)> between = nullptr)
    {
        std::vector<ScriptStep> steps;
        steps.reserve(readings.size());
        for (const R &r : readings) {
            steps.push_back(Step(r));
        }
        driver.load(steps.data(), int32_t(steps.size()), 0);
        TestConnector connector(Start());
        connector.stopAfter = DWORD(readings.size());
        connector.between = std::move(between);
        connector.ThreadMeteoConnector();
        return connector.cycles;
    }

    std::string File(const char *kind, const SYSTEMTIME &st) const
    {
        char name[64];
        std::snprintf(name, sizeof(name), "7_%s%04hu%02hu%02hu.txt", kind, st.wYear, st.wMonth,
                      st.wDay);
        return ReadWholeFile(folder / name);
    }
    const AverageSlot &Slot(int v) const { return StationTable[Block][v]; }

    Driver driver;
    std::filesystem::path folder;
    std::string ini;
    SYSTEMTIME start = Time(2024, 3, 5, 7, 8, 9);
    ReadingClock savedClock = ReadingTimeSource;
};

TEST_F(ConnectorTest, accepted_readings_reach_the_table_and_both_files_exactly)
{
    WriteIni(General() + Station());
    const DWORD cycles =
        Run({{12.3, 270, 18.4, 64, 0.2, 1013.2, 455}, {8.0, 180, 18.6, 66, 0.2, 1013.4, 460}});
    EXPECT_EQ(cycles, 2u);

    EXPECT_EQ(File("Meteo", start),
              "20240305 07:08:09\t12.3\t270.0\t270.0\t0.0\t18.4\t64.0\t0.2\t1013.2\t455.0\r\n"
              "20240305 07:08:29\t8.0\t180.0\t225.0\t45.0\t18.6\t66.0\t0.2\t1013.4\t460.0\r\n");

    std::string debug;
    for (int v = 0; v < USED_SLOTS; ++v) {
        debug += "20240305 07:08:09\t" + std::to_string(v) +
                 "\t1\t270.0\t0.0\t12.30\t-0.000\t-1.000\t18.4\t64\t0.2\t1013.2\t455.0\r\n";
    }
    for (int v = 0; v < USED_SLOTS; ++v) {
        debug += "20240305 07:08:29\t" + std::to_string(v) +
                 "\t2\t225.0\t45.0\t10.15\t-0.500\t-0.500\t18.5\t65\t0.2\t1013.3\t457.5\r\n";
    }
    EXPECT_EQ(File("Debug", start), debug);

    for (int v = 0; v < USED_SLOTS; ++v) {
        EXPECT_EQ(Slot(v).nCount, 2u);
        EXPECT_DOUBLE_EQ(Slot(v).dSumWindSpeed, 20.3);
        EXPECT_NEAR(Slot(v).dWindMeanDir, 225.0, 1e-9);
    }
    FILETIME ft;
    const SYSTEMTIME second = Later(start, 20);
    SystemTimeToFileTime(&second, &ft);
    EXPECT_EQ(Slot(0).ftLast.dwLowDateTime, ft.dwLowDateTime);
    EXPECT_EQ(Slot(0).ftLast.dwHighDateTime, ft.dwHighDateTime);
    // Other blocks stay untouched.
    EXPECT_EQ(StationTable[Block + 1][0].nCount, 0u);
}

TEST_F(ConnectorTest, log_tells_the_start_and_every_step_of_a_cycle)
{
    WriteIni(General() + Station());
    Run({{}});
    const std::vector<std::string> expected = {
        "ThreadMeteoConnector(Station-ID=7): Starting Thread...",
        "ThreadMeteoConnector: Cycle-Time=1 ms",
        "ThreadMeteoConnector: Driver-Path=" + ExecutableFolder() + SCRIPT_DRIVER,
        "ThreadMeteoConnector(Station-ID=7): Starting Loop...",
        "OpenPort Start",
        "OpenPort OK",
        "GetData Start",
        "GetData OK",
        "ClosePort Start",
        "ClosePort OK",
        "ThreadMeteoConnector(Station-ID=7): Data Retrieved",
        "ThreadMeteoConnector(Station-ID=7): Exit",
    };
    EXPECT_EQ(WithoutDatabaseLines(LogTexts()), expected);
    const ScriptCounts c = driver.Counts();
    EXPECT_EQ(c.nOpenPort, 1);
    EXPECT_EQ(c.nGetData, 1);
    EXPECT_EQ(c.nClosePort, 1);
}

TEST_F(ConnectorTest, repeated_sequence_of_a_version_2_driver_is_dropped_silently)
{
    WriteIni(General() + Station());
    R a;
    a.version = 2;
    a.sequence = 0;  // the first reading passes whatever its count
    R b = a;
    b.speed = 9.9;  // same count: the same reading again
    R c = a;
    c.sequence = 1;
    c.speed = 3.3;
    Run({a, b, c});
    EXPECT_EQ(Slot(0).nCount, 2u);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 5.2 + 3.3);
    EXPECT_EQ(File("Meteo", start),
              "20240305 07:08:09\t5.2\t90.0\t90.0\t0.0\t11.4\t70.0\t0.2\t1012.6\t120.0\r\n"
              "20240305 07:08:49\t3.3\t90.0\t90.0\t0.0\t11.4\t70.0\t0.2\t1012.6\t120.0\r\n");
    for (const auto &text : WithoutDatabaseLines(LogTexts())) {
        EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    }
}

TEST_F(ConnectorTest, repeated_sequence_of_a_version_1_driver_is_kept)
{
    WriteIni(General() + Station());
    R a;
    a.sequence = 5;
    Run({a, a, a});
    EXPECT_EQ(Slot(0).nCount, 3u);
}

TEST_F(ConnectorTest, negative_wind_speed_is_logged_as_invalid_and_changes_nothing)
{
    WriteIni(General() + Station());
    R bad;
    bad.speed = -9999.0;
    R slightly;
    slightly.speed = -0.004;
    Run({bad, slightly});
    EXPECT_EQ(Slot(0).nCount, 0u);
    EXPECT_FALSE(std::filesystem::exists(folder / "7_Meteo20240305.txt"));
    EXPECT_FALSE(std::filesystem::exists(folder / "7_Debug20240305.txt"));
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts,
                      "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=7): "
                      "Windspeed=-9999.00"),
              1);
    EXPECT_EQ(CountOf(texts,
                      "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=7): "
                      "Windspeed=-0.00"),
              1);
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=7): Data Retrieved"), 0);
}

TEST_F(ConnectorTest, wind_speed_that_is_not_a_number_is_stored_and_written_as_zero)
{
    WriteIni(General() + Station());
    R nan;
    nan.speed = std::numeric_limits<double>::quiet_NaN();
    Run({nan});
    EXPECT_EQ(Slot(0).nCount, 1u);
    EXPECT_EQ(Slot(0).dSumWindSpeed, 0.0);
    EXPECT_EQ(File("Meteo", start),
              "20240305 07:08:09\t0.0\t90.0\t90.0\t0.0\t11.4\t70.0\t0.2\t1012.6\t120.0\r\n");
}

TEST_F(ConnectorTest, storm_at_near_saturation_enters_the_table_as_calm_but_the_file_as_read)
{
    WriteIni(General() + Station());
    R storm;
    storm.speed = 120;
    storm.humidity = 99;
    Run({storm});
    EXPECT_EQ(Slot(0).dSumWindSpeed, 0.0);
    EXPECT_EQ(File("Meteo", start),
              "20240305 07:08:09\t120.0\t90.0\t90.0\t0.0\t11.4\t99.0\t0.2\t1012.6\t120.0\r\n");
}

TEST_F(ConnectorTest, storm_correction_needs_more_than_100_and_at_least_98_percent)
{
    WriteIni(General() + Station());
    R a;
    a.speed = 100;
    a.humidity = 99;  // not above 100: kept
    R b;
    b.speed = 100.5;
    b.humidity = 97.9;  // too dry: kept
    R c;
    c.speed = 100.5;
    c.humidity = 98;  // corrected
    Run({a, b, c});
    EXPECT_EQ(Slot(0).nCount, 3u);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 200.5);
}

TEST_F(ConnectorTest, failed_read_closes_the_port_and_drops_the_reading)
{
    WriteIni(General() + Station());
    R failed;
    failed.result = -1;
    R zero;
    zero.result = 0;
    R good;
    good.speed = 4.4;
    Run({failed, zero, good});
    EXPECT_EQ(Slot(0).nCount, 1u);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 4.4);
    const ScriptCounts c = driver.Counts();
    EXPECT_EQ(c.nClosePort, 3);
    EXPECT_EQ(c.nNullClose, 0);
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "GetData Error ret=-1"), 1);
    EXPECT_EQ(CountOf(texts, "GetData Error ret=0"), 1);
    EXPECT_EQ(CountOf(texts, "GetData OK"), 1);
}

TEST_F(ConnectorTest, readings_across_midnight_utc_land_in_two_days_files)
{
    WriteIni(General() + Station());
    const SYSTEMTIME before = Time(2023, 12, 31, 23, 59, 59);
    const SYSTEMTIME after = Time(2024, 1, 1, 0, 0, 19);
    SetClock({before, after});
    Run({{1.1}, {2.2}});
    EXPECT_EQ(File("Meteo", before),
              "20231231 23:59:59\t1.1\t90.0\t90.0\t0.0\t11.4\t70.0\t0.2\t1012.6\t120.0\r\n");
    EXPECT_EQ(File("Meteo", after),
              "20240101 00:00:19\t2.2\t90.0\t90.0\t0.0\t11.4\t70.0\t0.2\t1012.6\t120.0\r\n");
    const std::string debugBefore = File("Debug", before);
    const std::string debugAfter = File("Debug", after);
    EXPECT_EQ(debugBefore.substr(0, 20), "20231231 23:59:59\t0\t");
    EXPECT_EQ(debugAfter.substr(0, 20), "20240101 00:00:19\t0\t");
    // Twelve lines each; the windows run on across midnight.
    EXPECT_EQ(std::count(debugBefore.begin(), debugBefore.end(), '\n'), 12);
    EXPECT_EQ(std::count(debugAfter.begin(), debugAfter.end(), '\n'), 12);
    EXPECT_NE(debugAfter.find("\t0\t2\t"), std::string::npos);
}

TEST_F(ConnectorTest, no_files_without_log_and_station_debug)
{
    WriteIni("[General]\r\nStartDelay=0\r\nCycleTime=1\r\nLogPath=" + folder.string() +
             "\r\n[7]\r\nDriver=" SCRIPT_DRIVER "\r\n");
    Run({{}, {}});
    EXPECT_EQ(Slot(0).nCount, 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);  // Pelmora.ini alone
    EXPECT_FALSE(std::filesystem::exists(folder / "7_Meteo20240305.txt"));
    EXPECT_FALSE(std::filesystem::exists(folder / "7_Debug20240305.txt"));
}

TEST_F(ConnectorTest, log_path_with_blanks_and_either_trailing_separator_is_used)
{
    // Quotes keep the blanks around the value.
    WriteIni("[General]\r\nStartDelay=0\r\nCycleTime=1\r\nLog=1\r\nLogPath=\"  " + folder.string() +
             "  \"\r\n" + Station());
    Run({{}});
    EXPECT_TRUE(std::filesystem::exists(folder / "7_Meteo20240305.txt"));

    std::filesystem::remove(folder / "7_Meteo20240305.txt");
    WriteIni("[General]\r\nStartDelay=0\r\nCycleTime=1\r\nLog=1\r\nLogPath=" + folder.string() +
             "\\\r\n" + Station());
    ShutdownFlag = 0;
    Run({{}});
    EXPECT_TRUE(std::filesystem::exists(folder / "7_Meteo20240305.txt"));
}

TEST_F(ConnectorTest, without_log_path_files_go_beside_the_executable_and_a_set_folder_stays)
{
    const std::string beside = ExecutableFolder() + "7_Meteo20240305.txt";
    std::filesystem::remove(beside);
    WriteIni("[General]\r\nStartDelay=0\r\nCycleTime=1\r\nLog=1\r\n" + Station());
    Run({{}});
    EXPECT_TRUE(std::filesystem::exists(beside));
    std::filesystem::remove(beside);
    std::filesystem::remove(ExecutableFolder() + "7_Debug20240305.txt");

    // Once a LogPath was read, removing it keeps that folder.
    WriteIni(General() + Station());
    ShutdownFlag = 0;
    Run({{1.0}, {2.0}}, [&](DWORD nCycle) {
        if (nCycle == 1) {
            WriteIni("[General]\r\nStartDelay=0\r\nCycleTime=1\r\nLog=1\r\n" + Station());
        }
    });
    EXPECT_FALSE(std::filesystem::exists(beside));
    const std::string lines = File("Meteo", start);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
}

TEST_F(ConnectorTest, debug_key_is_read_again_every_cycle)
{
    WriteIni(General() + Station());
    Run({{}, {}, {}}, [&](DWORD nCycle) {
        if (nCycle == 1) {
            WriteIni(General().replace(General().find("Debug=1"), 7, "Debug=0") + Station());
        }
    });
    EXPECT_EQ(TraceLevel.load(), 0);
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "GetData Start"), 1);
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=7): Exit"), 0);
}

TEST_F(ConnectorTest, cycle_break_count_1_makes_every_cycle_long)
{
    WriteIni(General("CycleBreakCount=1\r\nCycleBreakTime=150\r\n") + Station());
    Run({{}, {}, {}, {}});
    int64_t ms[4] = {};
    ASSERT_EQ(driver.times(ms, 4), 4);
    for (int i = 1; i < 4; ++i) {
        // Paced from cycle start to cycle start: the readings themselves may shift a little.
        EXPECT_GE(ms[i] - ms[i - 1], 100) << "cycle " << i + 1;
    }
}

TEST_F(ConnectorTest, every_cycle_break_count_th_cycle_is_long)
{
    WriteIni(General("CycleBreakCount=3\r\nCycleBreakTime=300\r\n") + Station());
    Run({{}, {}, {}, {}});
    int64_t ms[4] = {};
    ASSERT_EQ(driver.times(ms, 4), 4);
    // Cycle 3 is the long one: its reading comes (most of) 300 ms after the one of cycle 2.
    EXPECT_GE(ms[2] - ms[1], 200);
}

TEST_F(ConnectorTest, cycle_break_count_0_is_replaced_by_90_and_logged)
{
    // Were every cycle long, this would take ten minutes.
    WriteIni(General("CycleBreakCount=0\r\nCycleBreakTime=600000\r\n") + Station());
    EXPECT_EQ(Run({{}, {}, {}}), 3u);
    EXPECT_EQ(CountOf(LogTexts(),
                      "ThreadMeteoConnector(Station-ID=7): CycleBreakCount=0 is not allowed, "
                      "using 90"),
              1);
}

TEST_F(ConnectorTest, missing_driver_is_logged_and_ends_the_thread_after_the_reset)
{
    WriteIni(General() + Station());
    ASSERT_TRUE(AddSample(Block, new MeteoSample{}, false));
    TestConnector connector(Start("NoSuchDriver.so"));
    connector.ThreadMeteoConnector();
    EXPECT_EQ(connector.cycles, 0u);
    EXPECT_EQ(Slot(0).nCount, 0u);
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "ERROR ThreadMeteoConnector(Station-ID=7): Kann Driver-DLL " +
                                 ExecutableFolder() + "NoSuchDriver.so nicht laden."),
              1);
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=7): Starting Loop..."), 0);
}

TEST_F(ConnectorTest, driver_without_get_data_is_refused_by_name)
{
    WriteIni(General() + Station());
    TestConnector connector(Start(NO_GETDATA_DRIVER));
    connector.ThreadMeteoConnector();
    EXPECT_EQ(connector.cycles, 0u);
    EXPECT_EQ(CountOf(LogTexts(),
                      "ERROR ThreadMeteoConnector(Station-ID=7): Funktion GetData nicht gefunden."),
              1);
}

TEST_F(ConnectorTest, shutdown_while_the_station_does_not_answer_skips_the_read)
{
    WriteIni(General() + Station());
    driver.load(nullptr, 0, 0);  // OpenPort never succeeds
    TestConnector connector(Start());
    std::thread thread([&] { connector.ThreadMeteoConnector(); });
    EXPECT_TRUE(driver.waitOpens(2, 20000));
    ShutdownFlag = 1;
    thread.join();
    EXPECT_EQ(connector.cycles, 1u);
    const ScriptCounts c = driver.Counts();
    EXPECT_EQ(c.nOpenPortOk, 0);
    EXPECT_EQ(c.nGetData, 0);
    EXPECT_EQ(c.nClosePort, 0);
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "GetData Start"), 0);
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=7): Exit"), 1);
}

// --- the start-up block ---------------------------------------------------------------------

class StationStartTest : public ConnectorTest {
protected:
    void WaitAndClose(std::vector<HANDLE> &threads)
    {
        for (HANDLE h : threads) {
            EXPECT_EQ(WaitForSingleObject(h, 30000), WAIT_OBJECT_0);
            CloseHandle(h);
        }
        threads.clear();
    }
};

TEST_F(StationStartTest, stations_3_from_id_10_use_sections_10_11_12_and_blocks_0_1_2)
{
    WriteIni(
        "[General]\r\nStartDelay=0\r\nCycleTime=1\r\nDebug=1\r\nStations=3\r\n"
        "StationIDs=10\r\nLogPath=" +
        folder.string() + "\r\n" +
        "[10]\r\nDriver=" SCRIPT_DRIVER
        "\r\nDebug=1\r\n"
        "[11]\r\nDriver=" SCRIPT_DRIVER
        "\r\nDebug=1\r\n"
        "[12]\r\nDriver=" SCRIPT_DRIVER "\r\nDebug=1\r\n");
    const ScriptStep step = Step(R{});
    driver.load(&step, 1, 1);
    std::vector<HANDLE> threads;
    StartStationThreads(ini.c_str(), &threads);
    EXPECT_EQ(StationCount.load(), 3);
    ASSERT_EQ(threads.size(), 3u);
    // A second OpenPort of a thread means its first cycle, files included, is done.
    EXPECT_TRUE(driver.waitThreads(3, 2, 30000));
    ShutdownFlag = 1;
    WaitAndClose(threads);

    for (const char *id : {"10", "11", "12"}) {
        EXPECT_TRUE(std::filesystem::exists(folder / (std::string(id) + "_Debug20240305.txt")))
            << id;
    }
    for (LONG b = 0; b < 3; ++b) {
        EXPECT_GE(StationTable[b][0].nCount, 1u) << "block " << b;
    }
    EXPECT_EQ(StationTable[3][0].nCount, 0u);
    const auto texts = LogTexts();
    for (const char *id : {"10", "11", "12"}) {
        EXPECT_EQ(CountOf(texts, std::string("ThreadMeteoConnector(Station-ID=") + id +
                                     "): Starting Thread..."),
                  1);
    }
}

TEST_F(StationStartTest, stopping_wakes_threads_out_of_their_cycle_and_settling_waits)
{
    // Station 1 reads once and then waits out a ten-minute cycle; station 2 is still in a
    // ten-minute settling time. Neither may hold up the stop.
    WriteIni(
        "[General]\r\nCycleTime=600000\r\nCycleBreakTime=600000\r\nDebug=1\r\n"
        "Stations=1\r\nStationIDs=1\r\nStartDelay=0\r\nLogPath=" +
        folder.string() + "\r\n[1]\r\nDriver=" SCRIPT_DRIVER "\r\n");
    const ScriptStep step = Step(R{});
    driver.load(&step, 1, 1);
    StartStationThreads(ini.c_str());
    ASSERT_TRUE(driver.waitOpens(1, 30000));
    WriteIni("[General]\r\nStartDelay=600000\r\nDebug=1\r\nStations=1\r\nStationIDs=2\r\n");
    StartStationThreads(ini.c_str());

    ShutdownFlag = 1;
    EXPECT_EQ(0u, StopStationThreads(60000));
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=1): Exit"), 1);
    // Stopped while settling: it never started.
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=2): Starting Thread..."), 0);
    // Nothing left to stop.
    EXPECT_EQ(0u, StopStationThreads(0));
}

TEST_F(StationStartTest, stations_0_starts_no_thread)
{
    WriteIni("[General]\r\nStations=0\r\n");
    StationCount = 5;
    std::vector<HANDLE> threads;
    StartStationThreads(ini.c_str(), &threads);
    EXPECT_EQ(StationCount.load(), 0);
    EXPECT_TRUE(threads.empty());
}

TEST_F(StationStartTest, stations_beyond_the_table_are_refused_with_a_log_line)
{
    // No driver: every thread ends right after binding fails.
    WriteIni("[General]\r\nStartDelay=0\r\nDebug=1\r\nStations=104\r\nStationIDs=1\r\n");
    std::vector<HANDLE> threads;
    StartStationThreads(ini.c_str(), &threads);
    EXPECT_EQ(StationCount.load(), STATION_BLOCKS);
    EXPECT_EQ(threads.size(), size_t(STATION_BLOCKS));
    WaitAndClose(threads);
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts,
                      "ERROR StartStationThreads: Stations=104, the station table holds "
                      "101 stations; stations 102 to 104 are not started."),
              1);
    EXPECT_EQ(CountOf(texts, "ERROR ThreadMeteoConnector(Station-ID=101): Kann Driver-DLL " +
                                 ExecutableFolder() + " nicht laden."),
              1);
    EXPECT_EQ(CountOf(texts, "ERROR ThreadMeteoConnector(Station-ID=102): Kann Driver-DLL " +
                                 ExecutableFolder() + " nicht laden."),
              0);
}

}  // namespace
