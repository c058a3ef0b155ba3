// The built pelmora-query program: what a script sees of it (exit code, standard output and
// standard error), against the stand-in server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "client/Report.h"
#include "tests/client/StandInServer.h"

using clienttest::Behaviour;
using clienttest::StandInServer;

extern char **environ;

namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Outcome RunProgram(const std::vector<std::string> &args)
{
    const std::string program = PELMORA_BIN_DIR "/pelmora-query";
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Outcome run;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.code = WEXITSTATUS(status);
        run.out = Slurp("out.txt");
        run.err = Slurp("err.txt");
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

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
    const Outcome run = RunProgram(At(server.Port(), {"--station", "1"}));
    EXPECT_EQ(pelmora::exitcode::OK, run.code);
    EXPECT_NE(std::string::npos, run.out.find("271\u00b0 W")) << run.out;
    EXPECT_EQ("", run.err);
}

TEST(QueryProgram, a_tampered_response_ends_with_the_digest_code_and_no_data)
{
    StandInServer server(Behaviour::TamperResponses);
    server.SetWindow(1, 1, clienttest::FilledWindow(1, 12));
    for (const char *format : {"--all-windows", "--json"}) {
        const Outcome run = RunProgram(At(server.Port(), {"--station", "1", format}));
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
    const Outcome run = RunProgram(At(server.Port(), {"--station", "9"}));
    EXPECT_EQ(pelmora::exitcode::STATION_NOT_CONFIGURED, run.code);
    EXPECT_EQ("pelmora-query: station 9 is not configured\n", run.err);
}

TEST(QueryProgram, help_ends_with_0_and_a_wrong_command_line_with_2)
{
    const Outcome help = RunProgram({"--help"});
    EXPECT_EQ(0, help.code);
    EXPECT_NE(std::string::npos, help.out.find("Usage: pelmora-query"));
    EXPECT_NE(std::string::npos, help.out.find("Exit codes:"));

    const Outcome wrong = RunProgram({"--window", "3"});
    EXPECT_EQ(pelmora::exitcode::USAGE, wrong.code);
    EXPECT_NE(std::string::npos, wrong.err.find("--station")) << wrong.err;
}
