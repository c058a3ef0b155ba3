// The measurement and debug files: names, columns, decimals, line ends, appending, failures.
#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"
#include "acquisition/MeteoFiles.h"
#include "service/Log.h"

namespace {

using namespace acqtest;

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s)
{
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    return st;
}

MeteoData Reading()
{
    MeteoData d{};
    d.nSize = 64;
    d.nVersion = 1;
    d.dWindSpeed = 12.34;
    d.dWindDir = 271.96;
    d.dOutsideTemp = -3.27;
    d.dHumidity = 87.4;
    d.dRain = 1.2;
    d.dPressure = 1008.66;
    d.dSolar = 0;
    return d;
}

#ifdef _WIN32
const char Separator = '\\';
#else
const char Separator = '/';
#endif

TEST(ReportFolder, blanks_are_removed_and_a_separator_appended)
{
    EXPECT_EQ(ReportFolderFromLogPath("  data  "), std::string("data") + Separator);
    EXPECT_EQ(ReportFolderFromLogPath("\tD:\\data \t"), std::string("D:\\data") + Separator);
    EXPECT_EQ(ReportFolderFromLogPath("/var/lib/pelmora"),
              std::string("/var/lib/pelmora") + Separator);
}

TEST(ReportFolder, a_trailing_separator_of_either_kind_is_kept_unchanged)
{
    EXPECT_EQ(ReportFolderFromLogPath("D:\\data\\"), "D:\\data\\");
    EXPECT_EQ(ReportFolderFromLogPath(" /srv/meteo/ "), "/srv/meteo/");
}

TEST(ReportFolder, nothing_but_blanks_names_no_folder)
{
    EXPECT_EQ(ReportFolderFromLogPath("   "), "");
    EXPECT_EQ(ReportFolderFromLogPath(""), "");
}

TEST(FileNames, carry_station_and_utc_day)
{
    const SYSTEMTIME st = Time(2024, 3, 5, 7, 8, 9);
    EXPECT_EQ(MeasurementFileName("out/", 7, st), "out/7_Meteo20240305.txt");
    EXPECT_EQ(DebugFileName("D:\\x\\", 4294967295u, st), "D:\\x\\4294967295_Debug20240305.txt");
    EXPECT_EQ(MeasurementFileName("", 12, Time(987, 12, 31, 0, 0, 0)), "12_Meteo09871231.txt");
}

TEST(FileLines, measurement_line_has_ten_tab_columns_with_one_decimal)
{
    AverageSlot slot1{};
    slot1.dWindMeanDir = 265.04;
    slot1.dWindStdDir = 12.96;
    EXPECT_EQ(MeasurementLine(Time(2024, 3, 5, 7, 8, 9), Reading(), slot1),
              "20240305 07:08:09\t12.3\t272.0\t265.0\t13.0\t-3.3\t87.4\t1.2\t1008.7\t0.0\r\n");
}

TEST(FileLines, debug_line_of_an_empty_slot_has_time_and_slot_only)
{
    AverageSlot empty{};
    EXPECT_EQ(DebugLine(Time(2024, 12, 31, 23, 59, 59), 11, empty), "20241231 23:59:59\t11\r\n");
}

TEST(FileLines, debug_line_divides_the_sums_with_their_own_decimals)
{
    AverageSlot s{};
    s.nCount = 4;
    s.dWindMeanDir = 359.96;
    s.dWindStdDir = 7.26;
    s.dSumWindSpeed = 41.0;    // 10.25 -> two decimals
    s.dSumCos = 2.0;           // 0.5 -> three decimals
    s.dSumSin = -3.9998;       // -0.99995 -> three decimals
    s.dSumOutsideTemp = 49.6;  // 12.4
    s.dSumHumidity = 262.4;    // 65.6 -> no decimals
    s.dSumRain = 0.8;
    s.dSumPressure = 4052.4;
    s.dSumSolar = 1001.2;
    s.nCountDir = s.nCountOutsideTemp = s.nCountHumidity = s.nCountRain = s.nCountPressure =
        s.nCountSolar = 4;
    EXPECT_EQ(DebugLine(Time(2024, 3, 5, 7, 8, 9), 3, s),
              "20240305 07:08:09\t3\t4\t360.0\t7.3\t10.25\t0.500\t-1.000\t12.4\t66\t0.2\t1013.1\t"
              "250.3\r\n");

    // Samples without a temperature or a pressure: those average over the ones that had it,
    // and a quantity no sample carried is the missing mark.
    s.nCountOutsideTemp = 2;
    s.nCountPressure = 0;
    s.dSumPressure = 0.0;
    EXPECT_EQ(DebugLine(Time(2024, 3, 5, 7, 8, 9), 3, s),
              "20240305 07:08:09\t3\t4\t360.0\t7.3\t10.25\t0.500\t-1.000\t24.8\t66\t0.2\t-9999.0\t"
              "250.3\r\n");
}

class FileWriting : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = FreshFolder("files_out");
        report = folder.string() + "/";
        StartFreshLog();
        TraceLevel = 1;
    }
    void TearDown() override { TraceLevel = 0; }

    std::filesystem::path folder;
    std::string report;
};

TEST_F(FileWriting, measurement_lines_are_appended_to_the_days_file)
{
    const SYSTEMTIME st = Time(2024, 3, 5, 7, 8, 9);
    const std::filesystem::path file = folder / "7_Meteo20240305.txt";
    WriteWholeFile(file, "earlier\r\n");
    AverageSlot slot1{};
    WriteMeasurementFile(report, 7, st, Reading(), slot1);
    WriteMeasurementFile(report, 7, Time(2024, 3, 5, 7, 8, 29), Reading(), slot1);
    EXPECT_EQ(ReadWholeFile(file),
              "earlier\r\n"
              "20240305 07:08:09\t12.3\t272.0\t0.0\t0.0\t-3.3\t87.4\t1.2\t1008.7\t0.0\r\n"
              "20240305 07:08:29\t12.3\t272.0\t0.0\t0.0\t-3.3\t87.4\t1.2\t1008.7\t0.0\r\n");
}

TEST_F(FileWriting, debug_file_gets_twelve_lines_in_slot_order)
{
    AverageSlot block[AVERAGE_SLOTS]{};
    block[0].nCount = 1;
    block[0].dSumWindSpeed = 2;
    block[0].dSumHumidity = 50;
    block[0].dSumCos = 1;
    block[0].nCountDir = block[0].nCountOutsideTemp = block[0].nCountHumidity =
        block[0].nCountRain = block[0].nCountPressure = block[0].nCountSolar = 1;
    const SYSTEMTIME st = Time(2024, 3, 6, 0, 0, 1);
    WriteDebugFile(report, 9, st, block);
    std::string expected =
        "20240306 00:00:01\t0\t1\t0.0\t0.0\t2.00\t1.000\t0.000\t0.0\t50\t0.0\t0.0\t0.0\r\n";
    for (int v = 1; v < USED_SLOTS; ++v) {
        expected += "20240306 00:00:01\t" + std::to_string(v) + "\r\n";
    }
    EXPECT_EQ(ReadWholeFile(folder / "9_Debug20240306.txt"), expected);
}

TEST_F(FileWriting, open_failure_is_logged_with_name_and_error_and_writes_nothing)
{
    const std::string missing = report + "no such folder/";
    AverageSlot block[AVERAGE_SLOTS]{};
    const SYSTEMTIME st = Time(2024, 3, 5, 7, 8, 9);
    WriteMeasurementFile(missing, 7, st, Reading(), block[1]);
    WriteDebugFile(missing, 7, st, block);
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "Error creating datafile " + missing + "7_Meteo20240305.txt (3)"), 1);
    EXPECT_EQ(CountOf(texts, "Error creating debug file " + missing + "7_Debug20240305.txt (3)"),
              1);
}

TEST_F(FileWriting, names_past_259_characters_are_refused_as_an_open_failure)
{
    // "<folder>/7_Meteo20240305.txt" is 259 characters: still written.
    const std::string fits = report + std::string(259 - report.size() - 20, 'a') + "/";
    std::filesystem::create_directories(fits);
    const SYSTEMTIME st = Time(2024, 3, 5, 7, 8, 9);
    AverageSlot block[AVERAGE_SLOTS]{};
    WriteMeasurementFile(fits, 7, st, Reading(), block[1]);
    ASSERT_EQ((fits + "7_Meteo20240305.txt").size(), 259u);
    EXPECT_TRUE(std::filesystem::exists(fits + "7_Meteo20240305.txt"));

    // One character more: refused without touching the file system.
    const std::string tooLong = report + std::string(259 - report.size() - 19, 'b') + "/";
    std::filesystem::create_directories(tooLong);
    WriteMeasurementFile(tooLong, 7, st, Reading(), block[1]);
    WriteDebugFile(tooLong, 7, st, block);
    EXPECT_FALSE(std::filesystem::exists(tooLong + "7_Meteo20240305.txt"));
    EXPECT_FALSE(std::filesystem::exists(tooLong + "7_Debug20240305.txt"));
    const auto texts = LogTexts();
    EXPECT_EQ(CountOf(texts, "Error creating datafile " + tooLong + "7_Meteo20240305.txt (206)"),
              1);
    EXPECT_EQ(CountOf(texts, "Error creating debug file " + tooLong + "7_Debug20240305.txt (206)"),
              1);
}

TEST_F(FileWriting, nothing_is_logged_while_logging_is_off)
{
    TraceLevel = 0;
    AverageSlot block[AVERAGE_SLOTS]{};
    WriteMeasurementFile(report + "missing/", 7, Time(2024, 3, 5, 7, 8, 9), Reading(), block[1]);
    EXPECT_TRUE(LogTexts().empty());
}

}  // namespace
