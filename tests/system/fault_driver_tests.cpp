// A station whose driver misbehaves: OpenPort failing for a while, GetData failing, records of
// the wrong size and version, NaN and infinite values. Each fault is logged where the program
// logs it, nothing crashes, the readings resume, and the data server answers throughout.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/system/fault_support.h"

namespace {

using namespace fault;

const char Script[] =
    "openfail 4\n"
    "record 64 1 5.5 90 10 50 0 1013 1\n"
    "getdata -1\n"
    "getdata 0\n"
    "record 64 1 6.5 90 10 50 0 1013 2\n"
    "record 0 1 7.5 90 10 50 0 1013 3\n"  // wrong nSize: no field but the speed is checked
    "record 9999 1 8.5 90 10 50 0 1013 4\n"
    "record 64 1 nan 90 10 50 0 1013 5\n"    // taken, with speed 0
    "record 64 1 -inf 90 10 50 0 1013 6\n"   // refused: negative speed
    "record 64 1 -9999 90 10 50 0 1013 7\n"  // refused: missing speed
    "record 64 1 inf 90 10 50 0 1013 8\n"
    "record 64 1 5 nan nan nan nan nan 9\n"
    "record 64 1 5 inf -inf inf -inf inf 10\n"
    "record 68 2 5 90 10 50 0 1013 11 7\n"
    "record 68 2 5 90 10 50 0 1013 12 7\n"  // same counter: the same reading again
    "record -1 -5 5 90 10 50 0 1013 13\n";

// Solar values of the readings that must reach the measurement file, in order, before the
// driver's good readings (1000, 1001, ...).
const std::vector<double> Accepted = {1, 2, 3, 4, 5, 8, 9, 10, 11, 13};
constexpr int GoodReadings = 5;

TEST(FaultDriver, a_misbehaving_driver_is_logged_and_its_readings_resume_while_clients_are_served)
{
    Pelmora pelmora;
    pelmora.InstallDriver(FAULT_DRIVER_FILE, "station/" FAULT_DRIVER_FILE);
    WriteFile(pelmora.Folder() + "/station/FaultDriver.txt", Script);
    const std::string data = pelmora.Folder() + "/data";
    std::filesystem::create_directories(data);
    pelmora.Configure(
        "Log=1\r\nCycleTime=50\r\nStations=1\r\nStationIDs=1\r\nLogPath=" + data + "\r\n",
        "[1]\r\nDriver=station/" FAULT_DRIVER_FILE "\r\n");
    ASSERT_TRUE(pelmora.Start());

    const size_t wanted = Accepted.size() + GoodReadings;
    ASSERT_TRUE(WaitUntil([&] { return MeasurementLines(data, 1).size() >= wanted; }, 30000))
        << pelmora.Log();
    ASSERT_TRUE(pelmora.Running());

    // Every accepted reading is in the file once, in order, and the good ones follow.
    const std::vector<std::string> lines = MeasurementLines(data, 1);
    std::vector<double> solar;
    for (const std::string &line : lines)
        solar.push_back(Column(line, 10));
    for (size_t i = 0; i < Accepted.size(); ++i)
        EXPECT_EQ(Accepted[i], solar[i]) << "line " << i + 1 << ": " << lines[i];
    for (size_t i = Accepted.size(); i < solar.size(); ++i)
        EXPECT_EQ(1000.0 + double(i - Accepted.size()), solar[i]) << lines[i];
    // A speed that is not a number is written as 0; an infinite one as it is.
    EXPECT_EQ(0.0, Column(lines[4], 2)) << lines[4];
    EXPECT_TRUE(std::isinf(Column(lines[5], 2))) << lines[5];
    EXPECT_TRUE(std::isnan(Column(lines[6], 6))) << lines[6];

    // The data server answers while and after the driver misbehaved.
    int answered = 0;
    EXPECT_TRUE(WellBehavedSession(pelmora.Port(), 24, answered));
    EXPECT_EQ(24, answered);

    ASSERT_TRUE(pelmora.Stop());
    const std::string log = pelmora.Log();
    EXPECT_EQ(1u, CountLines(log, "GetData Error ret=-1")) << log;
    EXPECT_EQ(1u, CountLines(log, "GetData Error ret=0")) << log;
    EXPECT_EQ(1u, CountLines(log,
                             "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=1): "
                             "Windspeed=-inf"));
    EXPECT_EQ(1u, CountLines(log,
                             "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=1): "
                             "Windspeed=-9999.00"));
    // Nothing accepted went missing: one measurement line per reading taken into the table.
    EXPECT_EQ(CountLines(log, "Data Retrieved"), MeasurementLines(data, 1).size());
    RecordProperty("readings_accepted", int(solar.size()));
    RecordProperty("requests_answered", answered);
}

}  // namespace
