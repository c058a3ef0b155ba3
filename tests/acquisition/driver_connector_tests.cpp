// The connector with the real station drivers: the console driver over the simulated console
// in script mode, and the replay driver over a recorded day.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ConnectorHarness.h"
#include "TestFiles.h"
#include "acquisition/MeteoConnector.h"
#include "acquisition/StationTable.h"
#include "service/Globals.h"
#include "service/Log.h"

namespace {

using namespace acqtest;
namespace fs = std::filesystem;

constexpr LONG Block = 0;

class DriverConnectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA")); }
    static void TearDownTestSuite() { Delete(&MeteoDataGuard); }

    void SetUp() override
    {
        ShutdownFlag = 0;
        StartFreshLog();
        TraceLevel = 1;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        out = FreshFolder("out_" + name);
        drivers = FreshFolder("drivers_" + name);
        ini = (out / "Pelmora.ini").string();
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

    void CopyFromBin(const char *file)
    {
        fs::copy_file(fs::path(PELMORA_BIN_DIR) / file, drivers / file,
                      fs::copy_options::overwrite_existing);
    }

    // Runs a connector for the driver (a path relative to the test program) for some cycles.
    void Run(const std::string &driverPath, DWORD cycles)
    {
        WriteWholeFile(ini,
                       "[General]\r\nStartDelay=0\r\nCycleTime=1\r\nDebug=1\r\nLog=1\r\n"
                       "LogPath=" +
                           out.string() + "\r\n[7]\r\nDriver=" + driverPath + "\r\n");
        ThreadStartParameter p{};
        p.nIndex = Block;
        p.nStationID = 7;
        std::snprintf(p.szDriver, sizeof(p.szDriver), "%s", driverPath.c_str());
        std::snprintf(p.szFNINI, sizeof(p.szFNINI), "%s", ini.c_str());
        std::snprintf(p.szID, sizeof(p.szID), "7");
        TestConnector connector(p);
        connector.stopAfter = cycles;
        connector.ThreadMeteoConnector();
        ASSERT_EQ(connector.cycles, cycles);
    }

    std::string RelativeToProgram(const char *file) const
    {
        return fs::relative(drivers / file, ExecutableFolder()).string();
    }

    fs::path out;
    fs::path drivers;
    std::string ini;
    SYSTEMTIME start = Time(2024, 3, 5, 7, 8, 9);
    ReadingClock savedClock = ReadingTimeSource;
};

TEST_F(DriverConnectorTest, console_driver_readings_pass_the_checks_into_table_and_file)
{
    CopyFromBin(HALMDRV_FILE);
    CopyFromBin(VANTAGEPRO_FILE);
    WriteWholeFile(drivers / "VantageSim.ini",
                   "[Simulator]\r\nMode=script\r\nScript=script.txt\r\nLoop=0\r\n");
    WriteWholeFile(drivers / "script.txt",
                   "wind=10.26 dir=270 temp=21.5 hum=80 rain=0.2 baro=1013 solar=500\n"
                   "dir=90 temp=20 hum=80 rain=0.2 baro=1013 solar=500\n"
                   "load=fail\n"
                   "open=fail\n"
                   "wind=120 dir=180 temp=15 hum=99 rain=0.4 baro=1005.5 solar=0\n");
    Run(RelativeToProgram(HALMDRV_FILE), 4);

    // 1: kept (wind cut to one decimal); 2: no wind reading; 3: data not loaded; 4: the port
    // opens at the second try, and the storm at 99 % is written as read.
    EXPECT_EQ(ReadWholeFile(out / "7_Meteo20240305.txt"),
              "20240305 07:08:09\t10.2\t270.0\t270.0\t0.0\t21.5\t80.0\t0.2\t1013.0\t500.0\r\n"
              "20240305 07:09:09\t120.0\t180.0\t225.0\t45.0\t15.0\t99.0\t0.4\t1005.5\t0.0\r\n");
    EXPECT_EQ(StationTable[Block][0].nCount, 2u);
    EXPECT_NEAR(StationTable[Block][0].dSumWindSpeed, 10.2, 1e-9);  // the storm counts as 0
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts,
                      "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=7): "
                      "Windspeed=-9999.00"),
              1);
    EXPECT_EQ(CountOf(texts, "GetData Error ret=-1"), 1);
    EXPECT_EQ(CountOf(texts, "ThreadMeteoConnector(Station-ID=7): Data Retrieved"), 2);
}

TEST_F(DriverConnectorTest, replayed_day_is_taken_once_and_its_repeated_last_line_dropped)
{
    CopyFromBin(REPLAYDRV_FILE);
    WriteWholeFile(drivers / "Replaydrv.ini", "[Settings]\r\nFile=day.txt\r\nLoop=0\r\n");
    WriteWholeFile(drivers / "day.txt",
                   "20261208 10:00:00\t12.6\t90.0\t249.1\t8.3\t2.0\t88.0\t0.0\t1012.4\t155.6\r\n"
                   "20261208 10:00:20\t11.9\t180.0\t248.0\t8.0\t2.1\t87.0\t0.0\t1012.5\t160.2\r\n"
                   "20261208 10:00:40\t13.4\t90.0\t247.0\t7.9\t2.2\t86.0\t0.1\t1012.6\t170.0\r\n");
    Run(RelativeToProgram(REPLAYDRV_FILE), 5);

    EXPECT_EQ(ReadWholeFile(out / "7_Meteo20240305.txt"),
              "20240305 07:08:09\t12.6\t90.0\t90.0\t0.0\t2.0\t88.0\t0.0\t1012.4\t155.6\r\n"
              "20240305 07:08:29\t11.9\t180.0\t135.0\t45.0\t2.1\t87.0\t0.0\t1012.5\t160.2\r\n"
              "20240305 07:08:49\t13.4\t90.0\t116.6\t45.0\t2.2\t86.0\t0.1\t1012.6\t170.0\r\n");
    EXPECT_EQ(StationTable[Block][0].nCount, 3u);
    for (const auto &text : WithoutDatabaseLines(LogTexts())) {
        EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    }
}

}  // namespace
