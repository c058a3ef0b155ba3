// The built pelmora-query program: what a script sees of it (exit code, standard output and
// standard error), against the stand-in server.
#include <gtest/gtest.h>

#include "client/Report.h"
#include "tests/client/QueryProgram.h"
#include "tests/client/StandInServer.h"

using clienttest::Behaviour;
using clienttest::ProgramRun;
using clienttest::StandInServer;

namespace {

std::vector<std::string> At(USHORT port, std::vector<std::string> args)
{
    args.insert(args.begin(),
                {"--host", "127.0.0.1", "--port", std::to_string(port), "--timeout", "20"});
    return args;
}

}  // namespace

TEST(QueryProgram, prints_the_table_and_ends_with_0)
{
    StandInServer server;
    server.SetWindow(1, 1, clienttest::FilledWindow(1, 12));
    const ProgramRun run = clienttest::RunQueryProgram(At(server.Port(), {"--station", "1"}));
    EXPECT_EQ(pelmora::exitcode::OK, run.code);
    EXPECT_NE(std::string::npos, run.out.find("271\u00b0 W")) << run.out;
    EXPECT_EQ("", run.err);
}

TEST(QueryProgram, a_tampered_response_ends_with_the_digest_code_and_no_data)
{
    StandInServer server(Behaviour::TamperResponses);
    server.SetWindow(1, 1, clienttest::FilledWindow(1, 12));
    for (const char *format : {"--all-windows", "--json"}) {
        const ProgramRun run =
            clienttest::RunQueryProgram(At(server.Port(), {"--station", "1", format}));
        EXPECT_EQ(pelmora::exitcode::DIGEST_MISMATCH, run.code);
        EXPECT_EQ("", run.out);
        EXPECT_EQ("pelmora-query: a response from 127.0.0.1:" + std::to_string(server.Port()) +
                      " failed its digest check (damaged, or not sealed with our key)\n",
                  run.err);
    }
}

TEST(QueryProgram, a_station_that_is_not_configured_ends_with_its_code)
{
    StandInServer server;
    const ProgramRun run = clienttest::RunQueryProgram(At(server.Port(), {"--station", "9"}));
    EXPECT_EQ(pelmora::exitcode::STATION_NOT_CONFIGURED, run.code);
    EXPECT_EQ("pelmora-query: station 9 is not configured\n", run.err);
}

TEST(QueryProgram, help_ends_with_0_and_a_wrong_command_line_with_2)
{
    const ProgramRun help = clienttest::RunQueryProgram({"--help"});
    EXPECT_EQ(0, help.code);
    EXPECT_NE(std::string::npos, help.out.find("Usage: pelmora-query"));
    EXPECT_NE(std::string::npos, help.out.find("Exit codes:"));

    const ProgramRun wrong = clienttest::RunQueryProgram({"--window", "3"});
    EXPECT_EQ(pelmora::exitcode::USAGE, wrong.code);
    EXPECT_NE(std::string::npos, wrong.err.find("--station")) << wrong.err;
}
