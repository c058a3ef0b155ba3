// The client's presentation: compass points, times, the table and the JSON objects.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <sstream>

#include "client/Report.h"
#include "tests/client/StandInServer.h"

using namespace pelmora;

namespace {

Answer WindowAnswer(DWORD slot, const MeteoResponse &record)
{
    BYTE bytes[METEO_RESPONSE_SIZE];
    std::memcpy(bytes, &record, sizeof bytes);
    return Answer{DWORD(record.nStation > 0 ? record.nStation : 1), slot, false,
                  DecodeResponse(bytes)};
}

Answer StatusAnswer(DWORD station, DWORD slot, LONG status)
{
    MeteoResponse record;
    std::memset(&record, 0, sizeof record);
    record.nSize = LONG(METEO_RESPONSE_SIZE);
    record.nVersion = METEO_RESPONSE_VERSION;
    record.nStation = status;
    Answer a = WindowAnswer(slot, record);
    a.nStationNumber = station;
    return a;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Columns(const std::string &line)
{
    size_t n = 0;
    for (unsigned char c : line)
        n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

TEST(CompassPoint, names_the_sixteen_points_at_their_sector_borders)
{
    EXPECT_STREQ("N", CompassPoint(0));
    EXPECT_STREQ("N", CompassPoint(11.24));
    EXPECT_STREQ("NNE", CompassPoint(11.25));
    EXPECT_STREQ("NE", CompassPoint(45));
    EXPECT_STREQ("E", CompassPoint(90));
    EXPECT_STREQ("SSE", CompassPoint(157.5));
    EXPECT_STREQ("S", CompassPoint(180));
    EXPECT_STREQ("W", CompassPoint(271));
    EXPECT_STREQ("NNW", CompassPoint(348.74));
    EXPECT_STREQ("N", CompassPoint(348.75));
    EXPECT_STREQ("N", CompassPoint(359.9));
    EXPECT_STREQ("N", CompassPoint(360));
    EXPECT_STREQ("E", CompassPoint(450));
    EXPECT_STREQ("NNW", CompassPoint(-22.5));
}

TEST(CompassPoint, has_no_point_without_a_direction)
{
    EXPECT_STREQ("-", CompassPoint(-9999.0));
    EXPECT_STREQ("-", CompassPoint(std::nan("")));
}

TEST(IsoTime, shows_a_filetime_as_utc_to_the_second)
{
    const ULONGLONG unixEpoch = 116444736000000000ull;
    FILETIME ft{DWORD(unixEpoch), DWORD(unixEpoch >> 32)};
    EXPECT_EQ("1970-01-01T00:00:00Z", IsoTime(ft));

    const ULONGLONG later = unixEpoch + 1796746800ull * 10000000ull + 9999999ull;  // + 0.9999999 s
    ft = FILETIME{DWORD(later), DWORD(later >> 32)};
    EXPECT_EQ("2026-12-08T16:20:00Z", IsoTime(ft));

    ft = FILETIME{0, 0};
    EXPECT_EQ("1601-01-01T00:00:00Z", IsoTime(ft));
}

TEST(ResultTable, shows_station_window_samples_time_averages_and_latest_values_with_units)
{
    const std::string table = FormatTable({WindowAnswer(1, clienttest::FilledWindow(3, 37))});
    const std::vector<std::string> lines = Lines(table);
    ASSERT_EQ(3u, lines.size()) << table;
    for (const char *heading :
         {"Station", "Window", "Samples", "Time (UTC)", "Wind km/h", "Direction", "Spread",
          "Temp \u00b0C", "Humidity %", "Rain mm", "Pressure hPa", "Solar W/m\u00b2"})
        EXPECT_NE(std::string::npos, lines[0].find(heading)) << heading;
    EXPECT_NE(std::string::npos, lines[1].find("avg  latest"));

    std::istringstream row(lines[2]);
    std::vector<std::string> cells;
    for (std::string cell; row >> cell;)
        cells.push_back(cell);
    const std::vector<std::string> expected = {
        "3",    "10",         "min",       "37",     "2026-12-08T16:20:00Z",
        "12.3", "14.0",       "271\u00b0", "W",      "45\u00b0",
        "NE",   "12.5\u00b0", "-4.5",      "-4.7",   "87",
        "88",   "0.2",        "0.5",       "1013.2", "1013.5",
        "412",  "415"};
    EXPECT_EQ(expected, cells) << lines[2];
}

TEST(ResultTable, lines_up_every_row_under_its_headings)
{
    MeteoResponse wide = clienttest::FilledWindow(1, 4000000000u);
    wide.dPressure = -9999.0;  // no reading
    const std::string table =
        FormatTable({WindowAnswer(0, clienttest::FilledWindow(1, 1)), WindowAnswer(11, wide)});
    const std::vector<std::string> lines = Lines(table);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(Columns(lines[0]), Columns(lines[2]));
    EXPECT_EQ(Columns(lines[0]), Columns(lines[3]));
    EXPECT_NE(std::string::npos, lines[3].find("4000000000"));
    EXPECT_NE(std::string::npos, lines[3].find("  --  "));
    // Each heading ends where the values under it end.
    const size_t samplesEnd = lines[0].find("Samples") + 7;
    EXPECT_EQ(lines[3].substr(samplesEnd - 10, 10), "4000000000");
}

TEST(ResultTable, shows_latest_readings_without_averages_and_statuses_in_words)
{
    Answer latest = WindowAnswer(11, clienttest::FilledWindow(2, 0));
    latest.latest = true;
    const std::vector<std::string> lines =
        Lines(FormatTable({latest, StatusAnswer(2, 11, WINDOW_EMPTY)}));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(std::string::npos, lines[0].find("Samples"));
    EXPECT_EQ(std::string::npos, lines[0].find("avg"));
    EXPECT_NE(std::string::npos, lines[1].find("12.3"));
    EXPECT_NE(std::string::npos, lines[1].find("271\u00b0 W"));
    EXPECT_NE(std::string::npos, lines[2].find("no readings yet"));

    const std::vector<std::string> statuses = Lines(FormatTable(
        {StatusAnswer(5, 1, STATION_NOT_CONFIGURED), StatusAnswer(1, 12, SLOT_OUT_OF_RANGE)}));
    ASSERT_EQ(4u, statuses.size());
    EXPECT_NE(std::string::npos, statuses[2].find("station not configured"));
    EXPECT_NE(std::string::npos, statuses[3].find("window out of range"));
}

TEST(ResultJson, carries_every_value_of_a_window_answer)
{
    MeteoResponse record = clienttest::FilledWindow(4, 37);
    record.dCurSolar = -9999.0;
    const auto j = nlohmann::json::parse(FormatJson(WindowAnswer(2, record)));
    EXPECT_EQ(4, j["station"]);
    EXPECT_EQ("ok", j["status"]);
    EXPECT_EQ("window", j["mode"]);
    EXPECT_EQ(2, j["window"]);
    EXPECT_EQ(15, j["windowMinutes"]);
    EXPECT_EQ(37, j["samples"]);
    EXPECT_EQ("2026-12-08T16:20:00Z", j["time"]);
    const auto &avg = j["average"];
    EXPECT_EQ(12.3, avg["windSpeed"]);
    EXPECT_EQ(271.0, avg["windDirection"]);
    EXPECT_EQ("W", avg["windCompass"]);
    EXPECT_EQ(12.5, avg["windDirectionSpread"]);
    EXPECT_EQ(-4.5, avg["outsideTemperature"]);
    EXPECT_EQ(87.0, avg["humidity"]);
    EXPECT_EQ(0.2, avg["rain"]);
    EXPECT_EQ(1013.2, avg["pressure"]);
    EXPECT_EQ(412.0, avg["solarRadiation"]);
    const auto &cur = j["latest"];
    EXPECT_EQ(14.0, cur["windSpeed"]);
    EXPECT_EQ(45.0, cur["windDirection"]);
    EXPECT_EQ("NE", cur["windCompass"]);
    EXPECT_EQ(-4.7, cur["outsideTemperature"]);
    EXPECT_EQ(88.0, cur["humidity"]);
    EXPECT_EQ(0.5, cur["rain"]);
    EXPECT_EQ(1013.5, cur["pressure"]);
    EXPECT_TRUE(cur["solarRadiation"].is_null());
    EXPECT_FALSE(cur.contains("windDirectionSpread"));
}

TEST(ResultJson, names_the_status_of_an_answer_without_data_and_carries_no_values)
{
    const struct {
        LONG status;
        const char *key;
    } cases[] = {{STATION_NOT_CONFIGURED, "station-not-configured"},
                 {SLOT_OUT_OF_RANGE, "window-out-of-range"},
                 {WINDOW_EMPTY, "no-readings"}};
    for (const auto &c : cases) {
        const auto j = nlohmann::json::parse(FormatJson(StatusAnswer(5, 12, c.status)));
        EXPECT_EQ(c.key, j["status"]);
        EXPECT_EQ(5, j["station"]);
        EXPECT_FALSE(j.contains("average"));
        EXPECT_FALSE(j.contains("latest"));
        EXPECT_FALSE(j.contains("time"));
    }
}

TEST(ResultJson, a_latest_answer_has_its_reading_under_latest_only)
{
    Answer a = WindowAnswer(11, clienttest::FilledWindow(1, 0));
    a.latest = true;
    const auto j = nlohmann::json::parse(FormatJson(a));
    EXPECT_EQ("latest", j["mode"]);
    EXPECT_FALSE(j.contains("average"));
    EXPECT_FALSE(j.contains("samples"));
    EXPECT_EQ(12.3, j["latest"]["windSpeed"]);
}

TEST(ExitCodes, every_failure_and_status_has_its_own_code)
{
    const int codes[] = {ExitCodeFor(ClientFailure::ConnectionRefused),
                         ExitCodeFor(ClientFailure::TimedOut),
                         ExitCodeFor(ClientFailure::NotAGreeting),
                         ExitCodeFor(ClientFailure::RefusedByServer),
                         ExitCodeFor(ClientFailure::DigestMismatch),
                         ExitCodeFor(AnswerStatus::StationNotConfigured),
                         ExitCodeFor(AnswerStatus::WindowOutOfRange),
                         ExitCodeFor(AnswerStatus::NoReadings),
                         exitcode::FAILURE,
                         exitcode::USAGE,
                         exitcode::OK};
    for (size_t i = 0; i < std::size(codes); ++i)
        for (size_t k = i + 1; k < std::size(codes); ++k)
            EXPECT_NE(codes[i], codes[k]) << i << " " << k;
    EXPECT_EQ(exitcode::OK, ExitCodeFor(AnswerStatus::Data));
}
