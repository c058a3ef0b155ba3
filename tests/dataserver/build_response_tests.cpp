// Requests answered from the station table: statuses, the two columns, and the guard.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "acquisition/StationTable.h"
#include "dataserver/BuildResponse.h"
#include "service/Globals.h"
#include "service/Log.h"

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr ULONGLONG UnitsPerSecond = 10000000;
constexpr ULONGLONG BaseTime = 133485408000000000ULL;  // 2024-01-01 00:00:00 UTC

FILETIME TimeAt(LONGLONG seconds)
{
    const ULONGLONG value = BaseTime + ULONGLONG(seconds) * UnitsPerSecond;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = DWORD(value >> 32);
    return ft;
}

struct Reading {
    LONGLONG seconds = 0;
    double dWindSpeed = 5;
    double dWindDir = 90;
    double dOutsideTemp = 10;
    double dHumidity = 50;
    double dRain = 1;
    double dPressure = 1013;
    double dSolar = 200;
};

MeteoSample *NewSample(const Reading &r)
{
    auto *s = new MeteoSample{};
    s->ftTime = TimeAt(r.seconds);
    s->dWindSpeed = r.dWindSpeed;
    s->dWindDir = r.dWindDir;
    s->dCos = std::cos(r.dWindDir / 360 * 2 * Pi);
    s->dSin = std::sin(r.dWindDir / 360 * 2 * Pi);
    s->dOutsideTemp = r.dOutsideTemp;
    s->dHumidity = r.dHumidity;
    s->dRain = r.dRain;
    s->dPressure = r.dPressure;
    s->dSolar = r.dSolar;
    return s;
}

struct Request {
    BYTE bytes[QUERY_DATA_SIZE] = {};
};

Request MakeRequest(LONG nOperation, DWORD nStationNumber, DWORD nSlot)
{
    QueryData q;
    std::memset(&q, 0, sizeof q);
    q.nSize = QUERY_DATA_SIZE;
    q.nOperation = nOperation;
    q.nStationNumber = nStationNumber;
    q.nSlot = nSlot;
    Request r;
    std::memcpy(r.bytes, &q, sizeof q);
    return r;
}

const BYTE *Bytes(const MeteoResponse &r) { return reinterpret_cast<const BYTE *>(&r); }

// Reserved bytes and the digest are zero in every built response.
void ExpectReservedAndDigestZero(const MeteoResponse &r)
{
    for (size_t i = 40; i < 56; ++i)
        EXPECT_EQ(0, Bytes(r)[i]) << "byte " << i;
    for (size_t i = 160; i < METEO_RESPONSE_SIZE; ++i)
        EXPECT_EQ(0, Bytes(r)[i]) << "byte " << i;
}

// A response with a status and no data: header, nStation, and zeros everywhere else.
void ExpectNoData(const MeteoResponse &r, LONG nStation)
{
    EXPECT_EQ(304, r.nSize);
    EXPECT_EQ(2, r.nVersion);
    EXPECT_EQ(nStation, r.nStation);
    for (size_t i = 8; i < METEO_RESPONSE_SIZE; ++i) {
        if (i >= 156 && i < 160)
            continue;
        EXPECT_EQ(0, Bytes(r)[i]) << "byte " << i;
    }
}

std::string ReadFile(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

class BuildResponseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA")); }
    static void TearDownTestSuite() { Delete(&MeteoDataGuard); }

    void SetUp() override
    {
        StationCount = 3;
        TraceLevel = 0;
        for (LONG block = 0; block < 3; ++block)
            ResetStation(block);
    }
    void TearDown() override
    {
        for (LONG block = 0; block < 3; ++block)
            ResetStation(block);
        StationCount = 0;
    }

    MeteoResponse Answer(LONG nOperation, DWORD nStationNumber, DWORD nSlot)
    {
        const Request request = MakeRequest(nOperation, nStationNumber, nSlot);
        MeteoResponse response;
        std::memset(&response, 0xCC, sizeof response);
        EXPECT_TRUE(BuildResponse(request.bytes, response));
        return response;
    }
};

}  // namespace

TEST_F(BuildResponseTest, a_station_without_readings_gets_status_0_and_no_data)
{
    ExpectNoData(Answer(0, 1, 0), 0);
    ExpectNoData(Answer(1, 3, 11), 0);
}

TEST_F(BuildResponseTest, an_unconfigured_station_gets_minus_1_even_with_a_bad_slot)
{
    ExpectNoData(Answer(0, 4, 0), -1);
    ExpectNoData(Answer(0, 5, 99), -1);
    ExpectNoData(Answer(1, 0xFFFFFFFFu, 0), -1);
    StationCount = 0;
    ExpectNoData(Answer(0, 1, 0), -1);
}

TEST_F(BuildResponseTest, slot_12_and_above_gets_minus_2)
{
    ASSERT_TRUE(AddSample(0, NewSample(Reading{}), false));
    ExpectNoData(Answer(0, 1, 12), -2);
    ExpectNoData(Answer(1, 1, 0xFFFFFFFFu), -2);
}

TEST_F(BuildResponseTest, slot_11_is_the_60_minute_window)
{
    Reading first;
    first.dOutsideTemp = 4;
    Reading last;
    last.seconds = 3600;  // the first reading is exactly 60 minutes older
    last.dOutsideTemp = 8;
    ASSERT_TRUE(AddSample(1, NewSample(first), false));
    ASSERT_TRUE(AddSample(1, NewSample(last), false));

    const MeteoResponse sixty = Answer(0, 2, 11);
    EXPECT_EQ(2, sixty.nStation);
    EXPECT_EQ(2u, sixty.nCount);
    EXPECT_DOUBLE_EQ(6.0, sixty.dOutsideTemp);

    const MeteoResponse fiftyFive = Answer(0, 2, 10);
    EXPECT_EQ(1u, fiftyFive.nCount);
    EXPECT_DOUBLE_EQ(8.0, fiftyFive.dOutsideTemp);
}

TEST_F(BuildResponseTest, window_mode_gives_the_averages_and_the_newest_sample)
{
    Reading a;
    a.seconds = 0;
    a.dWindSpeed = 2;
    a.dWindDir = 80;
    a.dOutsideTemp = 10;
    a.dHumidity = 40;
    a.dRain = 0;
    a.dPressure = 1000;
    a.dSolar = 100;
    Reading b;
    b.seconds = 60;
    b.dWindSpeed = 4;
    b.dWindDir = 130;
    b.dOutsideTemp = 12;
    b.dHumidity = 60;
    b.dRain = 2;
    b.dPressure = 1010;
    b.dSolar = 300;
    ASSERT_TRUE(AddSample(2, NewSample(a), false));
    ASSERT_TRUE(AddSample(2, NewSample(b), false));

    const AverageSlot &slot = StationTable[2][0];
    const MeteoResponse r = Answer(0, 3, 0);
    EXPECT_EQ(304, r.nSize);
    EXPECT_EQ(2, r.nVersion);
    EXPECT_EQ(3, r.nStation);
    EXPECT_EQ(2u, r.nCount);
    EXPECT_EQ(TimeAt(60).dwLowDateTime, r.ftTime.dwLowDateTime);
    EXPECT_EQ(TimeAt(60).dwHighDateTime, r.ftTime.dwHighDateTime);
    EXPECT_DOUBLE_EQ(3.0, r.dWindSpeed);
    EXPECT_DOUBLE_EQ(slot.dWindMeanDir, r.dWindDir);
    EXPECT_NEAR(105.0, r.dWindDir, 1e-9);
    EXPECT_DOUBLE_EQ(slot.dWindStdDir, r.dWindStdDir);
    EXPECT_GT(r.dWindStdDir, 0.0);
    EXPECT_DOUBLE_EQ(11.0, r.dOutsideTemp);
    EXPECT_DOUBLE_EQ(50.0, r.dHumidity);
    EXPECT_DOUBLE_EQ(1.0, r.dRain);
    EXPECT_DOUBLE_EQ(1005.0, r.dPressure);
    EXPECT_DOUBLE_EQ(200.0, r.dSolar);
    EXPECT_EQ(4.0, r.dCurWindSpeed);
    EXPECT_EQ(130.0, r.dCurWindDir);
    EXPECT_EQ(12.0, r.dCurOutsideTemp);
    EXPECT_EQ(60.0, r.dCurHumidity);
    EXPECT_EQ(2.0, r.dCurRain);
    EXPECT_EQ(1010.0, r.dCurPressure);
    EXPECT_EQ(300.0, r.dCurSolar);
    ExpectReservedAndDigestZero(r);
}

TEST_F(BuildResponseTest, latest_mode_gives_the_newest_sample_and_no_window_data)
{
    Reading a;
    a.dWindSpeed = 2;
    Reading b;
    b.seconds = 20;
    b.dWindSpeed = 6;
    b.dWindDir = 270;
    b.dOutsideTemp = -3.5;
    b.dHumidity = 91;
    b.dRain = 0.4;
    b.dPressure = 987.5;
    b.dSolar = 0;
    ASSERT_TRUE(AddSample(0, NewSample(a), false));
    ASSERT_TRUE(AddSample(0, NewSample(b), false));

    for (LONG operation : {1, -1, 7}) {
        const MeteoResponse r = Answer(operation, 1, 5);
        EXPECT_EQ(1, r.nStation);
        EXPECT_EQ(TimeAt(20).dwLowDateTime, r.ftTime.dwLowDateTime);
        EXPECT_EQ(TimeAt(20).dwHighDateTime, r.ftTime.dwHighDateTime);
        EXPECT_EQ(6.0, r.dWindSpeed);
        EXPECT_EQ(270.0, r.dWindDir);
        EXPECT_EQ(-1.0, r.dWindStdDir);
        EXPECT_EQ(-3.5, r.dOutsideTemp);
        EXPECT_EQ(91.0, r.dHumidity);
        EXPECT_EQ(0.4, r.dRain);
        EXPECT_EQ(987.5, r.dPressure);
        EXPECT_EQ(0.0, r.dSolar);
        EXPECT_EQ(0u, r.nCount);
        for (size_t i = 96; i < 156; ++i)
            EXPECT_EQ(0, Bytes(r)[i]) << "byte " << i;
        ExpectReservedAndDigestZero(r);
    }
}

TEST_F(BuildResponseTest, a_negative_wind_speed_average_is_0_while_the_newest_keeps_its_value)
{
    Reading a;
    a.dWindSpeed = -1.5;
    Reading b;
    b.seconds = 20;
    b.dWindSpeed = -2.5;
    ASSERT_TRUE(AddSample(0, NewSample(a), false));
    ASSERT_TRUE(AddSample(0, NewSample(b), false));

    const MeteoResponse window = Answer(0, 1, 0);
    EXPECT_EQ(1, window.nStation);
    EXPECT_EQ(0.0, window.dWindSpeed);
    EXPECT_FALSE(std::signbit(window.dWindSpeed));
    EXPECT_EQ(-2.5, window.dCurWindSpeed);

    // Only the window average is limited, not the latest reading.
    EXPECT_EQ(-2.5, Answer(1, 1, 0).dWindSpeed);
}

TEST_F(BuildResponseTest, averages_divide_by_the_count_as_an_unsigned_number)
{
    // A count past 2^31 must not turn negative.
    MeteoSample newest{};
    newest.dOutsideTemp = 1;
    AverageSlot &slot = StationTable[1][3];
    slot.nCount = 3000000000u;
    slot.dSumWindSpeed = 3e9 * 1.5;
    slot.dSumOutsideTemp = 3e9 * 2.0;
    slot.nCountOutsideTemp = 3000000000u;
    slot.pNewest = &newest;
    slot.pOldest = &newest;

    const MeteoResponse r = Answer(0, 2, 3);
    std::memset(&slot, 0, sizeof slot);  // the sample is ours, not the table's

    EXPECT_EQ(2, r.nStation);
    EXPECT_EQ(3000000000u, r.nCount);
    EXPECT_DOUBLE_EQ(1.5, r.dWindSpeed);
    EXPECT_DOUBLE_EQ(2.0, r.dOutsideTemp);
}

TEST_F(BuildResponseTest, missing_values_stay_out_of_their_own_averages_only)
{
    Reading a;
    a.dOutsideTemp = 10;
    Reading b;
    b.seconds = 60;
    b.dOutsideTemp = -9999.0;  // the driver's mark
    b.dPressure = std::nan("");
    b.dSolar = HUGE_VAL;
    Reading c;
    c.seconds = 120;
    c.dOutsideTemp = 20;
    c.dPressure = 1001;
    for (const Reading &r : {a, b, c})
        ASSERT_TRUE(AddSample(0, NewSample(r), false));

    const MeteoResponse r = Answer(0, 1, 0);
    EXPECT_EQ(3u, r.nCount);
    EXPECT_DOUBLE_EQ(15.0, r.dOutsideTemp);
    EXPECT_DOUBLE_EQ(1007.0, r.dPressure);
    EXPECT_DOUBLE_EQ(200.0, r.dSolar);
    EXPECT_DOUBLE_EQ(50.0, r.dHumidity);
    EXPECT_DOUBLE_EQ(5.0, r.dWindSpeed);
}

TEST_F(BuildResponseTest, a_window_whose_samples_lack_a_quantity_answers_the_missing_mark)
{
    Reading only;
    only.seconds = 0;
    Reading later;
    later.seconds = 400;  // alone in the 5-minute window
    later.dPressure = -9999.0;
    later.dWindDir = std::nan("");
    ASSERT_TRUE(AddSample(2, NewSample(only), false));
    ASSERT_TRUE(AddSample(2, NewSample(later), false));

    const MeteoResponse five = Answer(0, 3, 0);
    EXPECT_EQ(3, five.nStation);
    EXPECT_EQ(1u, five.nCount);
    EXPECT_EQ(-9999.0, five.dPressure);
    EXPECT_EQ(-9999.0, five.dWindDir);
    EXPECT_EQ(-9999.0, five.dWindStdDir);
    EXPECT_DOUBLE_EQ(10.0, five.dOutsideTemp);
    EXPECT_EQ(-9999.0, five.dCurPressure);  // the newest reading as delivered

    const MeteoResponse ten = Answer(0, 3, 1);  // the earlier sample carries both
    EXPECT_EQ(2u, ten.nCount);
    EXPECT_DOUBLE_EQ(1013.0, ten.dPressure);
    EXPECT_NEAR(90.0, ten.dWindDir, 1e-9);
}

TEST_F(BuildResponseTest, requests_with_a_wrong_size_or_station_0_get_no_response)
{
    ASSERT_TRUE(AddSample(0, NewSample(Reading{}), false));
    MeteoResponse response;

    Request request = MakeRequest(0, 1, 0);
    request.bytes[2] = 1;  // framing length still 128, nSize no longer
    EXPECT_FALSE(BuildResponse(request.bytes, response));
    request.bytes[2] = 0;
    request.bytes[3] = 0x80;
    EXPECT_FALSE(BuildResponse(request.bytes, response));

    EXPECT_FALSE(BuildResponse(MakeRequest(0, 0, 0).bytes, response));

    Request small = MakeRequest(0, 1, 0);
    small.bytes[0] = 127;
    EXPECT_FALSE(BuildResponse(small.bytes, response));

    EXPECT_TRUE(BuildResponse(MakeRequest(0, 1, 0).bytes, response));
}

TEST_F(BuildResponseTest, reserved_request_bytes_are_not_read)
{
    ASSERT_TRUE(AddSample(0, NewSample(Reading{}), false));
    Request plain = MakeRequest(0, 1, 0);
    Request filled = plain;
    std::memset(filled.bytes + 16, 0xAB, QUERY_DATA_SIZE - 16);
    MeteoResponse a;
    MeteoResponse b;
    ASSERT_TRUE(BuildResponse(plain.bytes, a));
    ASSERT_TRUE(BuildResponse(filled.bytes, b));
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
}

TEST_F(BuildResponseTest, stations_beyond_the_table_are_refused_whatever_the_configuration)
{
    StationCount = 500;
    ExpectNoData(Answer(0, STATION_BLOCKS + 1, 0), -1);
    ExpectNoData(Answer(0, 400, 0), -1);
    ExpectNoData(Answer(0, STATION_BLOCKS, 0), 0);  // the last block is readable and empty
}

TEST_F(BuildResponseTest, a_guard_that_cannot_be_taken_gives_status_0_and_no_data)
{
    ASSERT_TRUE(AddSample(0, NewSample(Reading{}), false));
    const SWMRG working = MeteoDataGuard;
    MeteoDataGuard = SWMRG{};  // waits on no object fail
    const MeteoResponse r = Answer(0, 1, 0);
    MeteoDataGuard = working;
    ExpectNoData(r, 0);
}

TEST_F(BuildResponseTest, the_table_is_read_only_while_no_writer_holds_the_guard)
{
    ASSERT_TRUE(AddSample(0, NewSample(Reading{}), false));
    ASSERT_EQ(0u, WaitToWrite(&MeteoDataGuard, INFINITE));

    auto answer = std::async(std::launch::async, [this] { return Answer(0, 1, 0); });
    EXPECT_EQ(std::future_status::timeout, answer.wait_for(std::chrono::milliseconds(200)));

    // Changed under the writer: the response must show the changed window.
    StationTable[0][0].dSumOutsideTemp = 77.0;
    DoneWriting(&MeteoDataGuard);

    const MeteoResponse r = answer.get();
    EXPECT_EQ(1, r.nStation);
    EXPECT_EQ(77.0, r.dOutsideTemp);
}

TEST_F(BuildResponseTest, the_guard_is_left_free_for_a_writer)
{
    ASSERT_TRUE(AddSample(0, NewSample(Reading{}), false));
    Answer(0, 1, 0);
    Answer(1, 1, 0);
    Answer(0, 2, 0);  // empty window
    ASSERT_EQ(0u, WaitToWrite(&MeteoDataGuard, 0));
    DoneWriting(&MeteoDataGuard);
}

TEST_F(BuildResponseTest, a_request_that_reaches_the_table_writes_its_log_line)
{
    const std::string path = PathBesideExecutable("Pelmora.log");
    std::remove(path.c_str());
    TraceLevel = 1;
    Answer(7, 2, 4);
    Answer(-1, 3, 0);
    Answer(0, 9, 0);   // refused as not configured: no line
    Answer(0, 1, 12);  // refused slot: no line
    TraceLevel = 0;
    CloseLog();

    const std::string log = ReadFile(path);
    EXPECT_NE(std::string::npos, log.find(": ProcessMessage Station: 2 Operation: 7\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find(": ProcessMessage Station: 3 Operation: -1\r\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Station: 9")) << log;
    EXPECT_EQ(std::string::npos, log.find("Station: 1 ")) << log;
}
