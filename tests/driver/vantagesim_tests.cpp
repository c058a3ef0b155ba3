// The console stand-in's SDK calls, loaded by path: script mode, one port per process, and
// the weather mode's readings.
#include "DriverLibraries.h"
#include "SdkCalls.h"

#include <cmath>
#include <cstdlib>
#include <set>

using namespace drivertest;

namespace {

class VantageSim : public SdkSuite {
protected:
    static void SetUpTestSuite() { LoadSdk("vantagesim"); }

    void SetUp() override { ASSERT_NE(s_sdk.CloseCommPort, nullptr); }

    // Every test leaves the port closed for the next one.
    void TearDown() override { s_sdk.CloseCommPort(); }

    // Settings beside the library; each script gets a name of its own, so it starts afresh.
    std::string Script(const std::string &lines, const std::string &extra = "")
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 std::to_string(++m_nScript) + ".txt";
        WriteText(s_folder / name, lines);
        Settings("Mode=script\r\nScript=" + name + "\r\n" + extra);
        return name;
    }

    static void Settings(const std::string &body)
    {
        WriteText(s_folder / "VantageSim.ini", "[Simulator]\r\n" + body);
    }

    // The port opens, loads, and the wind speed is read: the line the console is on.
    static float NextWind()
    {
        EXPECT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
        EXPECT_EQ(s_sdk.LoadCurrentData(), 0);
        const float wind = s_sdk.GetWindSpeed();
        s_sdk.CloseCommPort();
        return wind;
    }

    int m_nScript = 0;
};

TEST_F(VantageSim, each_open_takes_the_next_script_line)
{
    Script("wind=1\n# a comment line\n\nwind=2   # after the values\nwind=3\n");
    EXPECT_EQ(NextWind(), 1.0f);
    EXPECT_EQ(NextWind(), 2.0f);
    EXPECT_EQ(NextWind(), 3.0f);
}

TEST_F(VantageSim, after_the_last_line_the_port_no_longer_opens)
{
    Script("wind=1\n");
    EXPECT_EQ(NextWind(), 1.0f);
    EXPECT_NE(s_sdk.OpenCommPort(1, 19200), 0);
    EXPECT_NE(s_sdk.OpenCommPort(1, 19200), 0);
}

TEST_F(VantageSim, with_loop_the_script_starts_again)
{
    Script("wind=1\r\nwind=2\r\n", "Loop=1\r\n");
    EXPECT_EQ(NextWind(), 1.0f);
    EXPECT_EQ(NextWind(), 2.0f);
    EXPECT_EQ(NextWind(), 1.0f);
}

TEST_F(VantageSim, a_script_line_can_refuse_the_port_or_the_load)
{
    Script("open=fail\nload=fail wind=5\nwind=6\n");
    EXPECT_NE(s_sdk.OpenCommPort(1, 19200), 0);
    ASSERT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
    EXPECT_NE(s_sdk.LoadCurrentData(), 0);
    EXPECT_EQ(s_sdk.GetWindSpeed(), -32768.0f);
    s_sdk.CloseCommPort();
    EXPECT_EQ(NextWind(), 6.0f);
}

TEST_F(VantageSim, keeps_one_open_port_per_process)
{
    Script("wind=1\nwind=2\n");
    ASSERT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
    EXPECT_NE(s_sdk.OpenCommPort(2, 19200), 0);
    s_sdk.CloseCommPort();
    // The refused open took no line.
    EXPECT_EQ(NextWind(), 2.0f);
}

TEST_F(VantageSim, nothing_loads_without_an_open_port)
{
    Script("wind=1 dir=90 hum=50 solar=10 temp=1 rain=1 baro=1000\n");
    EXPECT_NE(s_sdk.LoadCurrentData(), 0);
    EXPECT_EQ(s_sdk.GetWindSpeed(), -32768.0f);
    EXPECT_EQ(s_sdk.GetWindDir(), 32767);
    EXPECT_EQ(s_sdk.GetOutsideHumidity(), -32768);
    EXPECT_EQ(s_sdk.GetSolarRad(), -32768);
    EXPECT_EQ(s_sdk.GetOutsideTemp(), -32768.0f);
    EXPECT_EQ(s_sdk.GetStormRain(), -32768.0f);
    EXPECT_EQ(s_sdk.GetBarometer(), -32768.0f);
}

TEST_F(VantageSim, quantities_a_line_leaves_out_read_as_dash_values)
{
    Script("dir=90\n");
    ASSERT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
    ASSERT_EQ(s_sdk.LoadCurrentData(), 0);
    EXPECT_EQ(s_sdk.GetWindDir(), 90);
    EXPECT_EQ(s_sdk.GetWindSpeed(), -32768.0f);
    EXPECT_EQ(s_sdk.GetOutsideHumidity(), -32768);
}

TEST_F(VantageSim, units_are_reported_only_when_the_line_gives_them)
{
    Script("units=0,1,2,3,-4\nwind=1\n");
    UnitCodes units{9, 9, 9, 9, 9};
    ASSERT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
    s_sdk.GetUnits(&units);
    EXPECT_EQ(units.TempUnit, 0);
    EXPECT_EQ(units.RainUnit, 1);
    EXPECT_EQ(units.BaromUnit, 2);
    EXPECT_EQ(units.WindUnit, 3);
    EXPECT_EQ(units.ElevUnit, -4);
    s_sdk.CloseCommPort();

    UnitCodes preset{1, 1, 3, 2, 0};
    ASSERT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
    s_sdk.GetUnits(&preset);
    EXPECT_EQ(preset.TempUnit, 1);
    EXPECT_EQ(preset.BaromUnit, 3);
    EXPECT_EQ(preset.WindUnit, 2);
}

TEST_F(VantageSim, a_malformed_script_keeps_the_port_closed_and_names_the_line)
{
    const struct {
        std::string script;
        const char *message;
    } cases[] = {
        {"wind=1\nwind=fast\n", "line 2: bad value \"fast\" for wind"},
        {"gust=3\n", "line 1: unknown key \"gust\""},
        {"wind 3\n", "line 1: \"wind\" is not key=value"},
        {"hum=40000\n", "line 1: bad value \"40000\" for hum"},
        {"units=1,1,3,2\n", "line 1: bad value \"1,1,3,2\" for units"},
        {"units=1,1,3,2,0,0\n", "bad value"},
        {"open=maybe\n", "line 1: bad value \"maybe\" for open"},
        {"wind=1 wind=2\n", "line 1: wind given twice"},
        {"temp=nan\n", "bad value \"nan\" for temp"},
        {std::string("wind=1\0\x01\xff\n", 10), "line 1: bad value"},
    };
    for (const auto &c : cases) {
        const std::string name = Script(c.script);
        ::testing::internal::CaptureStderr();
        const int16_t status = s_sdk.OpenCommPort(1, 19200);
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(status, 0) << c.script;
        EXPECT_NE(message.find(name), std::string::npos) << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
    // A good script afterwards works as usual.
    Script("wind=7\n");
    EXPECT_EQ(NextWind(), 7.0f);
}

TEST_F(VantageSim, a_missing_script_or_an_unknown_mode_keeps_the_port_closed_with_a_message)
{
    Settings("Mode=script\r\nScript=no-such-script.txt\r\n");
    ::testing::internal::CaptureStderr();
    EXPECT_NE(s_sdk.OpenCommPort(1, 19200), 0);
    std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("no-such-script.txt"), std::string::npos) << message;

    Settings("Mode=tornado\r\n");
    ::testing::internal::CaptureStderr();
    EXPECT_NE(s_sdk.OpenCommPort(1, 19200), 0);
    message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("unknown Mode \"tornado\""), std::string::npos) << message;
}

TEST_F(VantageSim, the_report_records_each_call_with_its_arguments)
{
    fs::remove(s_folder / "calls.report");
    Script("wind=1\n", "Report=calls.report\r\n");
    ASSERT_EQ(s_sdk.OpenCommPort(7, 4800), 0);
    s_sdk.LoadCurrentData();
    s_sdk.CloseCommPort();
    EXPECT_EQ(ReadLines(s_folder / "calls.report"),
              (std::vector<std::string>{"OpenCommPort_V 7 4800", "LoadCurrentVantageData_V",
                                        "CloseCommPort_V"}));
}

TEST_F(VantageSim, an_environment_variable_can_name_the_settings_elsewhere)
{
    const fs::path other = fs::current_path() / "elsewhere";
    fs::create_directories(other);
    WriteText(other / "script.txt", "wind=42\n");
    WriteText(other / "sim.ini", "[Simulator]\r\nMode=script\r\nScript=script.txt\r\n");
    Settings("Mode=script\r\nScript=missing.txt\r\n");
    SetEnv("PELMORA_VANTAGESIM_INI", (other / "sim.ini").string().c_str());
    const float wind = NextWind();
    SetEnv("PELMORA_VANTAGESIM_INI", "");
    EXPECT_EQ(wind, 42.0f);
}

TEST_F(VantageSim, the_example_script_runs_through)
{
    const fs::path example = fs::path(PELMORA_SOURCE_DIR) / "examples" / "vantagesim-script.txt";
    Settings("Mode=script\r\nScript=" + example.string() + "\r\n");
    EXPECT_EQ(NextWind(), 10.26f);
    EXPECT_EQ(NextWind(), 10.0f);
    EXPECT_NE(s_sdk.OpenCommPort(1, 19200), 0);
    ASSERT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
    EXPECT_NE(s_sdk.LoadCurrentData(), 0);
    s_sdk.CloseCommPort();
    EXPECT_EQ(NextWind(), 12.0f);
}

// Weather mode

struct Weather {
    UnitCodes units{};
    float fWind, fTemp, fRain, fBarometer;
    int16_t nDir, nHumidity, nSolar;
};

class VantageWeather : public VantageSim {
protected:
    static Weather Read()
    {
        Weather w{};
        EXPECT_EQ(s_sdk.OpenCommPort(1, 19200), 0);
        EXPECT_EQ(s_sdk.LoadCurrentData(), 0);
        s_sdk.GetUnits(&w.units);
        w.nDir = s_sdk.GetWindDir();
        w.fTemp = s_sdk.GetOutsideTemp();
        w.nHumidity = s_sdk.GetOutsideHumidity();
        w.fRain = s_sdk.GetStormRain();
        w.fBarometer = s_sdk.GetBarometer();
        w.fWind = s_sdk.GetWindSpeed();
        w.nSolar = s_sdk.GetSolarRad();
        s_sdk.CloseCommPort();
        return w;
    }
};

// 2026-06-20 00:00 UTC, near midsummer
constexpr long kMidsummer = 1782000000L - (1782000000L % 86400);

TEST_F(VantageWeather, readings_are_plausible_and_metric)
{
    Settings("Mode=weather\r\nSeed=7\r\n");
    for (int i = 0; i < 200; ++i) {
        const Weather w = Read();
        EXPECT_EQ(w.units.TempUnit, 1);
        EXPECT_EQ(w.units.RainUnit, 1);
        EXPECT_EQ(w.units.BaromUnit, 3);
        EXPECT_EQ(w.units.WindUnit, 2);
        EXPECT_GE(w.fTemp, -30.0f);
        EXPECT_LE(w.fTemp, 45.0f);
        EXPECT_GE(w.nHumidity, 15);
        EXPECT_LE(w.nHumidity, 100);
        EXPECT_GE(w.fBarometer, 960.0f);
        EXPECT_LE(w.fBarometer, 1050.0f);
        EXPECT_GE(w.fWind, 0.0f);
        EXPECT_LT(w.fWind, 150.0f);
        EXPECT_GE(w.nDir, 1);
        EXPECT_LE(w.nDir, 360);
        EXPECT_GE(w.nSolar, 0);
        EXPECT_LE(w.nSolar, 1000);
        EXPECT_GE(w.fRain, 0.0f);
    }
}

TEST_F(VantageWeather, wind_gusts_while_temperature_and_pressure_change_slowly)
{
    Settings("Mode=weather\r\nSeed=11\r\n");
    Weather previous = Read();
    std::set<float> speeds;
    for (int i = 0; i < 50; ++i) {
        const Weather w = Read();
        EXPECT_LT(std::fabs(w.fTemp - previous.fTemp), 0.5f);
        EXPECT_LT(std::fabs(w.fBarometer - previous.fBarometer), 0.5f);
        speeds.insert(w.fWind);
        previous = w;
    }
    EXPECT_GT(speeds.size(), 10u);
}

TEST_F(VantageWeather, the_sun_shines_by_day_and_not_at_night)
{
    // UtcOffset 0: local time is UTC.
    Settings("Mode=weather\r\nSeed=3\r\nUtcOffset=0\r\nClock=" + std::to_string(kMidsummer) +
             "\r\n");
    const Weather midnight = Read();
    Settings("Mode=weather\r\nSeed=3\r\nUtcOffset=0\r\nClock=" +
             std::to_string(kMidsummer + 12 * 3600) + "\r\n");
    const Weather noon = Read();
    EXPECT_EQ(midnight.nSolar, 0);
    EXPECT_GT(noon.nSolar, 150);
}

TEST_F(VantageWeather, afternoons_are_warmer_than_the_hours_before_sunrise)
{
    Settings("Mode=weather\r\nSeed=5\r\nUtcOffset=0\r\nClock=" +
             std::to_string(kMidsummer + 4 * 3600) + "\r\n");
    const Weather early = Read();
    Settings("Mode=weather\r\nSeed=5\r\nUtcOffset=0\r\nClock=" +
             std::to_string(kMidsummer + 15 * 3600) + "\r\n");
    const Weather afternoon = Read();
    EXPECT_GT(afternoon.fTemp, early.fTemp + 3.0f);
}

TEST_F(VantageWeather, imperial_readings_come_with_imperial_codes)
{
    Settings("Mode=weather\r\nSeed=9\r\nImperial=1\r\n");
    const Weather w = Read();
    EXPECT_EQ(w.units.TempUnit, 0);
    EXPECT_EQ(w.units.RainUnit, 0);
    EXPECT_EQ(w.units.BaromUnit, 0);
    EXPECT_EQ(w.units.WindUnit, 0);
    EXPECT_GT(w.fBarometer, 28.0f);  // inHg
    EXPECT_LT(w.fBarometer, 31.5f);
    EXPECT_GT(w.fTemp, -22.0f);  // deg F
    EXPECT_LT(w.fTemp, 113.0f);
}

}  // namespace
