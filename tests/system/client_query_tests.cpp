// pelmora-query against a running Pelmora with replayed stations: what it prints for data and
// for each status, and what its exit codes are.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>

#include "client/Report.h"
#include "tests/client/QueryProgram.h"
#include "tests/system/dataserver_client.h"

using clienttest::Lines;
using clienttest::ProgramRun;
namespace exitcode = pelmora::exitcode;

namespace {

// One Pelmora for the whole file: station 1 has readings, station 2 has none, two stations
// are configured.
class ClientQuery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pelmora = new ServedPelmora();
        ready = pelmora->Started() && pelmora->WaitForReadings();
    }
    static void TearDownTestSuite()
    {
        EXPECT_TRUE(pelmora->Stop());
        delete pelmora;
        pelmora = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready) << "Pelmora did not start or got no readings"; }

    static ProgramRun Query(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--port", std::to_string(pelmora->Port()), "--timeout", "20"});
        return clienttest::RunQueryProgram(args);
    }

    static ServedPelmora *pelmora;
    static bool ready;
};

ServedPelmora *ClientQuery::pelmora = nullptr;
bool ClientQuery::ready = false;

}  // namespace

TEST_F(ClientQuery, a_window_with_readings_is_printed_as_a_row_with_units)
{
    const ProgramRun run = Query({"--station", "1"});
    EXPECT_EQ(exitcode::OK, run.code) << run.err;
    EXPECT_EQ("", run.err);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(3u, lines.size()) << run.out;
    EXPECT_NE(std::string::npos, lines[0].find("Wind km/h"));
    EXPECT_NE(std::string::npos, lines[0].find("Pressure hPa"));
    std::istringstream row(lines[2]);
    std::string station, minutes, min;
    row >> station >> minutes >> min;
    EXPECT_EQ("1", station);
    EXPECT_EQ("10", minutes);
    EXPECT_NE(std::string::npos, lines[2].find("\u00b0 "));  // a direction with its compass point
}

TEST_F(ClientQuery, all_windows_gives_twelve_rows_in_window_order)
{
    const ProgramRun run = Query({"--station", "1", "--all-windows"});
    EXPECT_EQ(exitcode::OK, run.code) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(14u, lines.size()) << run.out;
    for (unsigned slot = 0; slot < 12; ++slot) {
        std::istringstream row(lines[2 + slot]);
        std::string station, minutes;
        row >> station >> minutes;
        EXPECT_EQ(std::to_string(5 * (slot + 1)), minutes) << lines[2 + slot];
    }
}

TEST_F(ClientQuery, json_output_parses_back_with_one_object_per_window)
{
    const ProgramRun run = Query({"--station", "1", "--all-windows", "--json"});
    EXPECT_EQ(exitcode::OK, run.code) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(12u, lines.size()) << run.out;
    const auto first = nlohmann::json::parse(lines[0]);
    for (unsigned slot = 0; slot < 12; ++slot) {
        const auto j = nlohmann::json::parse(lines[slot]);
        EXPECT_EQ(1, j["station"]);
        EXPECT_EQ("ok", j["status"]);
        EXPECT_EQ(slot, j["window"]);
        EXPECT_GE(j["samples"].get<unsigned>(), 1u);
        EXPECT_EQ(20u, j["time"].get<std::string>().size());
        EXPECT_TRUE(j["average"]["pressure"].is_number());
        EXPECT_TRUE(j["latest"]["pressure"].is_number());
        // Station 1 replays two valid readings, both recent: every window holds both.
        EXPECT_EQ(2u, j["samples"].get<unsigned>());
        EXPECT_NEAR(13.0, j["average"]["windSpeed"].get<double>(), 1e-9);
        EXPECT_NEAR(87.0, j["average"]["humidity"].get<double>(), 1e-9);
        EXPECT_NEAR(1012.5, j["average"]["pressure"].get<double>(), 1e-9);
        EXPECT_EQ(13.4, j["latest"]["windSpeed"]);
        EXPECT_EQ(248.0, j["latest"]["windDirection"]);
        EXPECT_EQ("WSW", j["latest"]["windCompass"]);
        EXPECT_EQ(2.2, j["latest"]["outsideTemperature"]);
        EXPECT_EQ(0.1, j["latest"]["rain"]);
        EXPECT_EQ(1012.6, j["latest"]["pressure"]);
        EXPECT_EQ(170.0, j["latest"]["solarRadiation"]);
        EXPECT_EQ(first["samples"], j["samples"]);
        EXPECT_EQ(first["average"], j["average"]);
    }
}

TEST_F(ClientQuery, latest_prints_the_newest_reading)
{
    const ProgramRun run = Query({"--station", "1", "--latest", "--json"});
    EXPECT_EQ(exitcode::OK, run.code) << run.err;
    const auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ("latest", j["mode"]);
    EXPECT_EQ(2.2, j["latest"]["outsideTemperature"]);
    EXPECT_EQ(13.4, j["latest"]["windSpeed"]);
    EXPECT_FALSE(j.contains("average"));
}

TEST_F(ClientQuery, each_status_is_printed_with_its_message_and_exit_code)
{
    const struct {
        std::vector<std::string> args;
        int code;
        const char *message;
        const char *key;
    } cases[] = {
        {{"--station", "2"},
         exitcode::NO_READINGS,
         "pelmora-query: station 2 has no readings in window 1 (10 min) yet\n",
         "no-readings"},
        {{"--station", "3"},
         exitcode::STATION_NOT_CONFIGURED,
         "pelmora-query: station 3 is not configured\n",
         "station-not-configured"},
        {{"--station", "1", "--window", "12"},
         exitcode::WINDOW_OUT_OF_RANGE,
         "pelmora-query: window 12 is out of range (windows are 0 to 11)\n",
         "window-out-of-range"},
    };
    for (const auto &c : cases) {
        const ProgramRun table = Query(c.args);
        EXPECT_EQ(c.code, table.code) << c.message;
        EXPECT_EQ(c.message, table.err);
        EXPECT_EQ("", table.out);

        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const ProgramRun json = Query(args);
        EXPECT_EQ(c.code, json.code) << c.message;
        EXPECT_EQ(c.key, nlohmann::json::parse(json.out)["status"]);
    }
}

TEST_F(ClientQuery, watch_asks_again_for_the_rounds_asked)
{
    const ProgramRun run = Query({"--station", "1", "--json", "--watch", "0.1", "--count", "3"});
    EXPECT_EQ(exitcode::OK, run.code) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(3u, lines.size());
    for (const std::string &line : lines)
        EXPECT_EQ("ok", nlohmann::json::parse(line)["status"]);
}
