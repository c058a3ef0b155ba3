// The pelmora-query command, run in this process against the stand-in server: its output,
// its messages and its exit codes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>

#include "client/QueryCommand.h"
#include "tests/client/StandInServer.h"

using namespace pelmora;
using clienttest::Behaviour;
using clienttest::FilledWindow;
using clienttest::StandInServer;

namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome Query(USHORT port, std::vector<std::string> args)
{
    args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port)});
    std::ostringstream out, err;
    const int code = RunQueryCommand(args, out, err);
    return Outcome{code, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// A stand-in whose station 1 has data in every window, window v with v + 1 samples.
class QueryCommand : public ::testing::Test {
protected:
    QueryCommand()
    {
        server.SetStationCount(2);
        for (DWORD slot = 0; slot < AVERAGE_SLOTS_IN_USE; ++slot)
            server.SetWindow(1, slot, FilledWindow(1, slot + 1));
    }
    StandInServer server;
};

}  // namespace

TEST_F(QueryCommand, asks_window_1_of_the_station_by_default_and_prints_its_row)
{
    const Outcome run = Query(server.Port(), {"--station", "1"});
    EXPECT_EQ(exitcode::OK, run.code);
    EXPECT_EQ("", run.err);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(3u, lines.size()) << run.out;
    EXPECT_NE(std::string::npos, lines[2].find("10 min"));
    EXPECT_NE(std::string::npos, lines[2].find("2026-12-08T16:20:00Z"));

    const std::vector<QueryData> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(0, requests[0].nOperation);
    EXPECT_EQ(1u, requests[0].nStationNumber);
    EXPECT_EQ(1u, requests[0].nSlot);
}

TEST_F(QueryCommand, all_windows_gives_twelve_rows_in_window_order)
{
    const Outcome run = Query(server.Port(), {"--station", "1", "--all-windows"});
    EXPECT_EQ(exitcode::OK, run.code);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(14u, lines.size()) << run.out;
    for (DWORD slot = 0; slot < 12; ++slot) {
        std::istringstream row(lines[2 + slot]);
        std::string station, minutes, min, samples;
        row >> station >> minutes >> min >> samples;
        EXPECT_EQ("1", station);
        EXPECT_EQ(std::to_string(5 * (slot + 1)), minutes) << lines[2 + slot];
        EXPECT_EQ(std::to_string(slot + 1), samples) << lines[2 + slot];
    }
    EXPECT_EQ(1, server.Connections());
}

TEST_F(QueryCommand, json_gives_one_object_per_response_that_parses_back)
{
    const Outcome run = Query(server.Port(), {"--station", "1", "--all-windows", "--json"});
    EXPECT_EQ(exitcode::OK, run.code);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(12u, lines.size()) << run.out;
    for (DWORD slot = 0; slot < 12; ++slot) {
        const auto j = nlohmann::json::parse(lines[slot]);
        EXPECT_EQ(slot, j["window"]);
        EXPECT_EQ(5 * (slot + 1), j["windowMinutes"]);
        EXPECT_EQ(slot + 1, j["samples"]);
        EXPECT_EQ("ok", j["status"]);
        EXPECT_EQ(12.3, j["average"]["windSpeed"]);
        EXPECT_EQ(1013.5, j["latest"]["pressure"]);
    }
}

TEST_F(QueryCommand, latest_asks_for_the_newest_reading_of_the_widest_window)
{
    const Outcome run = Query(server.Port(), {"--station", "1", "--latest", "--json"});
    EXPECT_EQ(exitcode::OK, run.code);
    const auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ("latest", j["mode"]);
    EXPECT_EQ(14.0, j["latest"]["windSpeed"]);
    const std::vector<QueryData> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_NE(0, requests[0].nOperation);
    EXPECT_EQ(11u, requests[0].nSlot);
}

TEST_F(QueryCommand, each_status_without_data_has_its_message_and_exit_code)
{
    const struct {
        std::vector<std::string> args;
        int code;
        const char *message;
        const char *key;
    } cases[] = {
        {{"--station", "5"},
         exitcode::STATION_NOT_CONFIGURED,
         "pelmora-query: station 5 is not configured\n",
         "station-not-configured"},
        {{"--station", "1", "--window", "12"},
         exitcode::WINDOW_OUT_OF_RANGE,
         "pelmora-query: window 12 is out of range (windows are 0 to 11)\n",
         "window-out-of-range"},
        {{"--station", "2", "--window", "3"},
         exitcode::NO_READINGS,
         "pelmora-query: station 2 has no readings in window 3 (20 min) yet\n",
         "no-readings"},
    };
    for (const auto &c : cases) {
        const Outcome table = Query(server.Port(), c.args);
        EXPECT_EQ(c.code, table.code) << c.message;
        EXPECT_EQ(c.message, table.err);
        EXPECT_EQ("", table.out) << "a table of nothing but a status";

        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const Outcome json = Query(server.Port(), args);
        EXPECT_EQ(c.code, json.code);
        EXPECT_EQ(c.message, json.err);
        EXPECT_EQ(c.key, nlohmann::json::parse(json.out)["status"]);
    }
}

TEST_F(QueryCommand, the_first_window_without_data_sets_the_exit_code_and_all_rows_are_shown)
{
    StandInServer sparse;
    sparse.SetWindow(1, 4, FilledWindow(1, 20));
    sparse.SetWindow(1, 11, FilledWindow(1, 30));
    const Outcome run = Query(sparse.Port(), {"--station", "1", "--all-windows"});
    EXPECT_EQ(exitcode::NO_READINGS, run.code);
    EXPECT_EQ("pelmora-query: station 1 has no readings in window 0 (5 min) yet\n", run.err);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(14u, lines.size());
    EXPECT_EQ(10u, Count(run.out, "no readings yet"));
    EXPECT_NE(std::string::npos, lines[2 + 4].find("25 min"));
    EXPECT_EQ(std::string::npos, lines[2 + 4].find("no readings"));
}

TEST(QueryCommandFailures, each_failure_has_one_line_its_exit_code_and_prints_no_data)
{
    const struct {
        Behaviour behaviour;
        int code;
        const char *words;
    } cases[] = {
        {Behaviour::StrangerBytes, exitcode::NOT_A_GREETING, "not a greeting"},
        {Behaviour::RefusalGreeting, exitcode::REFUSED_BY_SERVER, "refused the connection"},
        {Behaviour::RefuseRequests, exitcode::REFUSED_BY_SERVER, "refused the request"},
        {Behaviour::TamperResponses, exitcode::DIGEST_MISMATCH, "digest check"},
        {Behaviour::CutResponses, exitcode::FAILURE, "closed the connection"},
    };
    for (const auto &c : cases) {
        for (bool json : {false, true}) {
            StandInServer server(c.behaviour);
            server.SetWindow(1, 0, FilledWindow(1, 5));
            std::vector<std::string> args = {"--station", "1", "--all-windows"};
            if (json)
                args.push_back("--json");
            const Outcome run = Query(server.Port(), args);
            EXPECT_EQ(c.code, run.code) << c.words;
            EXPECT_EQ("", run.out) << c.words;
            EXPECT_EQ(1u, Lines(run.err).size()) << run.err;
            EXPECT_EQ(0u, run.err.find("pelmora-query: ")) << run.err;
            EXPECT_NE(std::string::npos, run.err.find(c.words)) << run.err;
        }
    }
}

TEST(QueryCommandFailures, refused_connection_and_time_out_have_their_exit_codes)
{
    clienttest::RefusingPort port;
    const Outcome refused = Query(port.Port(), {"--station", "1"});
    EXPECT_EQ(exitcode::CONNECTION_REFUSED, refused.code);
    EXPECT_EQ("pelmora-query: cannot connect to 127.0.0.1:" + std::to_string(port.Port()) +
                  ": connection refused\n",
              refused.err);

    StandInServer silent(Behaviour::Silent);
    const Outcome timedOut = Query(silent.Port(), {"--station", "1", "--timeout", "0.3"});
    EXPECT_EQ(exitcode::TIMED_OUT, timedOut.code);
    EXPECT_EQ("", timedOut.out);
    EXPECT_NE(std::string::npos, timedOut.err.find("within 0.3 s")) << timedOut.err;
}

TEST_F(QueryCommand, watch_repeats_on_a_new_connection_each_round_and_redraws)
{
    const Outcome table =
        Query(server.Port(), {"--station", "1", "--watch", "0.01", "--count", "3"});
    EXPECT_EQ(exitcode::OK, table.code);
    EXPECT_EQ(3u, Count(table.out, "\x1b[H\x1b[2J"));
    EXPECT_EQ(3u, Count(table.out, "2026-12-08T16:20:00Z"));
    EXPECT_EQ(3u, Count(table.out, ", round "));
    EXPECT_EQ(3, server.Connections());

    const Outcome json = Query(server.Port(), {"--station", "1", "--window", "2", "--json",
                                               "--watch", "0.01", "--count", "2"});
    EXPECT_EQ(exitcode::OK, json.code);
    const std::vector<std::string> lines = Lines(json.out);
    ASSERT_EQ(2u, lines.size());
    for (const std::string &line : lines)
        EXPECT_EQ(2, nlohmann::json::parse(line)["window"]);
}

TEST(QueryCommandLine, wrong_command_lines_are_usage_errors_and_send_nothing)
{
    StandInServer server;
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"--station", "0"},
        {"--station", "-1"},
        {"--station", "1", "--window", "2", "--latest"},
        {"--station", "1", "--latest", "--all-windows"},
        {"--station", "1", "--window", "1", "--all-windows"},
        {"--station", "1", "--count", "2"},
        {"--station", "1", "--timeout", "0"},
        {"--station", "1", "--watch", "soon"},
        {"--station", "1", "--bogus"},
    };
    for (const auto &args : wrong) {
        const Outcome run = Query(server.Port(), args);
        EXPECT_EQ(exitcode::USAGE, run.code) << ::testing::PrintToString(args);
        EXPECT_NE("", run.err);
    }
    std::ostringstream out, err;
    EXPECT_EQ(exitcode::USAGE, RunQueryCommand({"--station", "1", "--port", "65536"}, out, err));
    EXPECT_EQ(0, server.Connections());
}

TEST(QueryCommandLine, help_shows_the_options_and_the_exit_codes)
{
    std::ostringstream out, err;
    EXPECT_EQ(exitcode::OK, RunQueryCommand({"--help"}, out, err));
    for (const char *text :
         {"--host", "--port", "--station", "--window", "--latest", "--all-windows", "--json",
          "--watch", "--count", "--timeout", "Exit codes:", "7  a response failed its digest check",
          "10  no readings yet"})
        EXPECT_NE(std::string::npos, out.str().find(text)) << text;
}
