// Halmdrv driven through its exports, loaded by path, over the console stand-in in script mode.
#include "DriverLibraries.h"

#include <cstring>

using namespace drivertest;

namespace {

class Halmdrv : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_folder = FolderWith("halmdrv", {kHalmdrv, kVantagePro});
        s_driver.Load(s_folder / kHalmdrv);
    }

    static void TearDownTestSuite() { s_driver.Unload(); }

    void SetUp() override
    {
        ASSERT_NE(s_driver.hModule, nullptr);
        fs::remove(s_folder / "Halmdrv.ini");
    }

    // A new script (under a name of its own, so the console starts it from its first line)
    // and the console settings naming it. The console appends every SDK call to the report.
    void Script(const std::string &lines)
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 std::to_string(++m_nScript);
        m_report = s_folder / (name + ".report");
        fs::remove(m_report);
        WriteText(s_folder / (name + ".txt"), lines);
        WriteText(s_folder / "VantageSim.ini", "[Simulator]\r\nMode=script\r\nScript=" + name +
                                                   ".txt\r\nReport=" + name + ".report\r\n");
    }

    void HalmdrvIni(const std::string &text) { WriteText(s_folder / "Halmdrv.ini", text); }

    std::vector<std::string> Calls() const { return ReadLines(m_report); }

    struct Reading {
        bool bOpened = false;
        int32_t nResult = 0;
        MeteoDataBuffer Buffer{};
        const MeteoData &Data() const { return Buffer.Data; }
    };

    // One polling cycle as the service runs it: open, read, close.
    static Reading Poll()
    {
        Reading r;
        r.Buffer = PatternedBuffer();
        void *hPort = s_driver.OpenPort();
        r.bOpened = hPort != nullptr;
        if (r.bOpened)
            r.nResult = s_driver.GetData(hPort, &r.Buffer.Data);
        EXPECT_EQ(s_driver.ClosePort(hPort), 1);
        return r;
    }

    // The record of one reading from a script line; the call itself must succeed.
    MeteoData Read(const std::string &line)
    {
        Script(line + "\n");
        const Reading r = Poll();
        EXPECT_TRUE(r.bOpened) << line;
        EXPECT_EQ(r.nResult, 1) << line;
        return r.Data();
    }

    static fs::path s_folder;
    static Driver s_driver;
    fs::path m_report;
    int m_nScript = 0;
};

fs::path Halmdrv::s_folder;
Driver Halmdrv::s_driver;

const char kAllValues[] = "wind=12.5 dir=270 temp=21.5 hum=80 rain=1.25 baro=1013 solar=512";

TEST_F(Halmdrv, preset_codes_copy_every_value_unconverted_into_a_version_1_record)
{
    Script(std::string(kAllValues) + "\n");
    const Reading r = Poll();
    ASSERT_TRUE(r.bOpened);
    ASSERT_EQ(r.nResult, 1);
    EXPECT_EQ(r.Data().nSize, 64);
    EXPECT_EQ(r.Data().nVersion, 1);
    EXPECT_EQ(r.Data().dWindSpeed, 12.5);
    EXPECT_EQ(r.Data().dWindDir, 270.0);
    EXPECT_EQ(r.Data().dOutsideTemp, 21.5);
    EXPECT_EQ(r.Data().dHumidity, 80.0);
    EXPECT_EQ(r.Data().dRain, 1.25);
    EXPECT_EQ(r.Data().dPressure, 1013.0);
    EXPECT_EQ(r.Data().dSolar, 512.0);
    // A version-1 driver leaves the bytes of nSequence alone.
    uint32_t pattern;
    std::memset(&pattern, 0xA5, sizeof(pattern));
    EXPECT_EQ(r.Buffer.nSequence, pattern);
}

TEST_F(Halmdrv, wind_speed_is_cut_to_one_decimal_with_a_tolerance_of_five_hundredths)
{
    EXPECT_DOUBLE_EQ(Read("wind=10.26").dWindSpeed, 10.2);
    EXPECT_DOUBLE_EQ(Read("wind=10.96").dWindSpeed, 10.9);
    EXPECT_DOUBLE_EQ(Read("wind=10.999").dWindSpeed, 11.0);
    EXPECT_DOUBLE_EQ(Read("wind=0").dWindSpeed, 0.0);
}

TEST_F(Halmdrv, wind_speed_converts_by_its_unit_code)
{
    EXPECT_DOUBLE_EQ(Read("wind=10 units=1,1,3,0,0").dWindSpeed, 16.0);  // 16.09344
    EXPECT_DOUBLE_EQ(Read("wind=10 units=1,1,3,1,0").dWindSpeed, 5.4);   // 5.39956803456
    EXPECT_DOUBLE_EQ(Read("wind=36 units=1,1,3,3,0").dWindSpeed, 10.0);  // divided by 3.6
    EXPECT_DOUBLE_EQ(Read("wind=12.34 units=1,1,3,2,0").dWindSpeed, 12.3);
    EXPECT_EQ(Read("wind=10 units=1,1,3,4,0").dWindSpeed, -9999.0);
    EXPECT_EQ(Read("wind=10 units=1,1,3,-1,0").dWindSpeed, -9999.0);
}

TEST_F(Halmdrv, temperature_converts_by_its_unit_code)
{
    EXPECT_DOUBLE_EQ(Read("temp=50 units=0,1,3,2,0").dOutsideTemp, 10.0);
    EXPECT_DOUBLE_EQ(Read("temp=-4 units=0,1,3,2,0").dOutsideTemp, -20.0);
    EXPECT_EQ(Read("temp=-7.5 units=1,1,3,2,0").dOutsideTemp, -7.5);
    EXPECT_EQ(Read("temp=50 units=2,1,3,2,0").dOutsideTemp, -9999.0);
}

TEST_F(Halmdrv, pressure_converts_by_its_unit_code)
{
    EXPECT_DOUBLE_EQ(Read("baro=30 units=1,1,0,2,0").dPressure, 1015.9167);
    EXPECT_DOUBLE_EQ(Read("baro=30 units=1,1,2,2,0").dPressure, 1015.9167);
    EXPECT_DOUBLE_EQ(Read("baro=760 units=1,1,1,2,0").dPressure, 1013.25024);
    EXPECT_EQ(Read("baro=1013 units=1,1,3,2,0").dPressure, 1013.0);
    EXPECT_EQ(Read("baro=1013 units=1,1,4,2,0").dPressure, -9999.0);
}

TEST_F(Halmdrv, rain_converts_by_its_unit_code)
{
    EXPECT_DOUBLE_EQ(Read("rain=0.5 units=1,0,3,2,0").dRain, 12.7);
    EXPECT_EQ(Read("rain=3.5 units=1,1,3,2,0").dRain, 3.5);
    EXPECT_EQ(Read("rain=3.5 units=1,2,3,2,0").dRain, -9999.0);
}

TEST_F(Halmdrv, an_unknown_code_spoils_only_its_own_quantity)
{
    const MeteoData d = Read(std::string(kAllValues) + " units=7,1,3,2,0");
    EXPECT_EQ(d.dOutsideTemp, -9999.0);
    EXPECT_EQ(d.dWindSpeed, 12.5);
    EXPECT_EQ(d.dRain, 1.25);
    EXPECT_EQ(d.dPressure, 1013.0);
}

TEST_F(Halmdrv, dash_values_become_missing_without_conversion)
{
    // Imperial codes everywhere: a converted dash value would not come out as -9999.0.
    const MeteoData d = Read(
        "wind=-32768 dir=32767 temp=-32768 hum=-32768 rain=-32768 "
        "baro=-32768 solar=-32768 units=0,0,0,0,0");
    EXPECT_EQ(d.dWindSpeed, -9999.0);
    EXPECT_EQ(d.dWindDir, -9999.0);
    EXPECT_EQ(d.dOutsideTemp, -9999.0);
    EXPECT_EQ(d.dHumidity, -9999.0);
    EXPECT_EQ(d.dRain, -9999.0);
    EXPECT_EQ(d.dPressure, -9999.0);
    EXPECT_EQ(d.dSolar, -9999.0);
}

TEST_F(Halmdrv, only_the_exact_dash_value_counts_as_missing)
{
    EXPECT_EQ(Read("dir=-32768").dWindDir, -32768.0);
    EXPECT_EQ(Read("dir=32766").dWindDir, 32766.0);
    EXPECT_EQ(Read("hum=32767").dHumidity, 32767.0);
    EXPECT_EQ(Read("solar=-32767").dSolar, -32767.0);
    EXPECT_DOUBLE_EQ(Read("wind=-32767.5").dWindSpeed, -32767.5);
}

TEST_F(Halmdrv, unit_keys_of_halmdrv_ini_override_the_console_codes)
{
    // The console reports imperial units; the file sets the metric ones back.
    HalmdrvIni("[Units]\r\nTemp=1\r\nRain=1\r\nBarom=3\r\nWind=2\r\nElev=5\r\n");
    const MeteoData d = Read(std::string(kAllValues) + " units=0,0,0,0,0");
    EXPECT_EQ(d.dOutsideTemp, 21.5);
    EXPECT_EQ(d.dRain, 1.25);
    EXPECT_EQ(d.dPressure, 1013.0);
    EXPECT_EQ(d.dWindSpeed, 12.5);
}

TEST_F(Halmdrv, a_missing_unit_key_keeps_the_console_code)
{
    HalmdrvIni("[Units]\r\nWind=2\r\n");
    const MeteoData d = Read("wind=10 temp=50 units=0,1,3,0,0");
    EXPECT_EQ(d.dWindSpeed, 10.0);
    EXPECT_DOUBLE_EQ(d.dOutsideTemp, 10.0);
}

TEST_F(Halmdrv, a_unit_key_counts_with_its_low_eight_bits)
{
    HalmdrvIni("[Units]\r\nWind=256\r\n");
    EXPECT_DOUBLE_EQ(Read("wind=10").dWindSpeed, 16.0);
    HalmdrvIni("[Units]\r\nTemp=257\r\n");
    EXPECT_EQ(Read("temp=21.5").dOutsideTemp, 21.5);
    HalmdrvIni("[Units]\r\nWind=258\r\n");
    EXPECT_EQ(Read("wind=10.26").dWindSpeed, 10.2);
}

TEST_F(Halmdrv, halmdrv_ini_is_read_at_every_call)
{
    HalmdrvIni("[Units]\r\nWind=0\r\n");
    Script("wind=10\nwind=10\n");
    EXPECT_DOUBLE_EQ(Poll().Data().dWindSpeed, 16.0);
    HalmdrvIni("[Units]\r\nWind=2\r\n");
    EXPECT_DOUBLE_EQ(Poll().Data().dWindSpeed, 10.0);
}

TEST_F(Halmdrv, a_failed_load_returns_minus_one_with_an_empty_version_1_record)
{
    Script("load=fail\n");
    const Reading r = Poll();
    ASSERT_TRUE(r.bOpened);
    EXPECT_EQ(r.nResult, -1);
    EXPECT_EQ(r.Data().nSize, 64);
    EXPECT_EQ(r.Data().nVersion, 1);
    const double values[] = {r.Data().dWindSpeed, r.Data().dWindDir, r.Data().dOutsideTemp,
                             r.Data().dHumidity,  r.Data().dRain,    r.Data().dPressure,
                             r.Data().dSolar};
    for (double v : values)
        EXPECT_EQ(v, 0.0);
    // The console is not asked for anything else, and the port is closed afterwards.
    EXPECT_EQ(Calls(), (std::vector<std::string>{"OpenCommPort_V 1 19200",
                                                 "LoadCurrentVantageData_V", "CloseCommPort_V"}));
}

TEST_F(Halmdrv, get_data_without_a_record_fails_without_asking_the_console)
{
    Script(std::string(kAllValues) + "\n");
    void *hPort = s_driver.OpenPort();
    ASSERT_NE(hPort, nullptr);
    EXPECT_EQ(s_driver.GetData(hPort, nullptr), -1);
    EXPECT_EQ(s_driver.ClosePort(hPort), 1);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"OpenCommPort_V 1 19200", "CloseCommPort_V"}));
}

TEST_F(Halmdrv, a_port_that_does_not_open_gives_no_handle_and_close_still_closes_the_console)
{
    Script("open=fail\n");
    void *hPort = s_driver.OpenPort();
    EXPECT_EQ(hPort, nullptr);
    EXPECT_EQ(s_driver.ClosePort(nullptr), 1);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"OpenCommPort_V 1 19200", "CloseCommPort_V"}));
}

TEST_F(Halmdrv, one_cycle_asks_the_console_in_order)
{
    Script(std::string(kAllValues) + "\n");
    ASSERT_EQ(Poll().nResult, 1);
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"OpenCommPort_V 1 19200", "LoadCurrentVantageData_V",
                                        "GetUnits_V", "GetWindDir_V", "GetOutsideTemp_V",
                                        "GetOutsideHumidity_V", "GetStormRain_V", "GetBarometer_V",
                                        "GetWindSpeed_V", "GetSolarRad_V", "CloseCommPort_V"}));
}

TEST_F(Halmdrv, without_halmdrv_ini_port_1_at_19200_reaches_the_console)
{
    Script(std::string(kAllValues) + "\n");
    ASSERT_TRUE(Poll().bOpened);
    ASSERT_FALSE(Calls().empty());
    EXPECT_EQ(Calls().front(), "OpenCommPort_V 1 19200");
}

TEST_F(Halmdrv, port_and_speed_come_from_halmdrv_ini_beside_the_library)
{
    // A file in the working folder is not the driver's.
    WriteText(fs::current_path() / "Halmdrv.ini", "[Settings]\r\nCOMPORT=9\r\nCOMSPEED=2400\r\n");
    HalmdrvIni("[Settings]\r\nCOMPORT=4\r\nCOMSPEED=9600\r\n");
    Script(std::string(kAllValues) + "\n");
    ASSERT_TRUE(Poll().bOpened);
    fs::remove(fs::current_path() / "Halmdrv.ini");
    ASSERT_FALSE(Calls().empty());
    EXPECT_EQ(Calls().front(), "OpenCommPort_V 4 9600");
}

TEST_F(Halmdrv, the_port_number_reaches_the_console_as_its_low_16_bits)
{
    HalmdrvIni("[Settings]\r\nCOMPORT=65539\r\n");
    Script(std::string(kAllValues) + "\n");
    ASSERT_TRUE(Poll().bOpened);
    ASSERT_FALSE(Calls().empty());
    EXPECT_EQ(Calls().front(), "OpenCommPort_V 3 19200");
}

TEST_F(Halmdrv, a_malformed_script_keeps_the_port_closed_with_a_message)
{
    Script("wind=10\nwind=ten\n");
    ::testing::internal::CaptureStderr();
    const Reading r = Poll();
    const std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(r.bOpened);
    EXPECT_NE(message.find("line 2: bad value \"ten\" for wind"), std::string::npos) << message;
}

}  // namespace
