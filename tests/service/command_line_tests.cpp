// The command-line grammar: which action runs, with which account and password.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/NTService.h"

namespace {

// Records the action the command line selects instead of running it.
class CRecordingService : public CNTService {
public:
    CRecordingService() : CNTService("KALMeteoDataServer", "Pelmora") {}

    void Run(DWORD, LPSTR *) override {}
    void Stop() override {}

    BOOL StartDispatcher() override { return Record("dispatch", 11); }
    int Install() override { return Record("install", 12); }
    int Remove() override { return Record("remove", 13); }
    int StopInstalled() override { return Record("stop", 14); }
    int StartInstalled() override { return Record("start", 15); }
    int DebugRun(int argc, char *argv[], BOOL bFaceless) override
    {
        debugArgc = argc;
        debugArgv = argv;
        debugFlagAtRun = m_dwDebug;
        return Record(bFaceless ? "faceless" : "debug", 16);
    }

    void SetNTFamily(BOOL nt) { m_bNTFamily = nt; }
    std::string Account() const { return m_pszAccountName ? m_pszAccountName : "<none>"; }
    std::string Password() const { return m_pszPassword ? m_pszPassword : "<none>"; }
    DWORD DebugFlag() const { return m_dwDebug; }

    std::vector<std::string> actions;
    int debugArgc = -1;
    char **debugArgv = nullptr;
    DWORD debugFlagAtRun = 0;

private:
    int Record(const char *action, int result)
    {
        actions.push_back(action);
        return result;
    }
};

struct GrammarCase {
    std::vector<std::string> args;  // after the program name
    std::string action;
    std::string account;
    std::string password;
};

std::ostream &operator<<(std::ostream &out, const GrammarCase &c)
{
    out << "Pelmora";
    for (const std::string &arg : c.args)
        out << " '" << arg << "'";
    return out;
}

int ResultOf(const std::string &action)
{
    if (action == "dispatch")
        return 11;
    if (action == "install")
        return 12;
    if (action == "remove")
        return 13;
    if (action == "stop")
        return 14;
    if (action == "start")
        return 15;
    return 16;
}

class CommandLineGrammar : public ::testing::TestWithParam<GrammarCase> {};

TEST_P(CommandLineGrammar, selects_one_action_with_account_and_password)
{
    const GrammarCase &c = GetParam();
    std::vector<std::string> storage = c.args;
    storage.insert(storage.begin(), "Pelmora");
    std::vector<char *> argv;
    for (std::string &arg : storage)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    CRecordingService service;
    int result = service.ProcessCommandLine(static_cast<int>(storage.size()), argv.data());

    ASSERT_EQ(1u, service.actions.size());
    EXPECT_EQ(c.action, service.actions[0]);
    EXPECT_EQ(ResultOf(c.action), result);
    EXPECT_EQ(c.account, service.Account());
    EXPECT_EQ(c.password, service.Password());
}

INSTANTIATE_TEST_SUITE_P(
    EveryRule, CommandLineGrammar,
    ::testing::Values(
        GrammarCase{{}, "dispatch", "<none>", "<none>"},
        GrammarCase{{"-i"}, "install", "<none>", "<none>"},
        GrammarCase{{"-u"}, "remove", "<none>", "<none>"},
        GrammarCase{{"-e"}, "stop", "<none>", "<none>"},
        GrammarCase{{"-s"}, "start", "<none>", "<none>"},
        GrammarCase{{"-d"}, "debug", "<none>", "<none>"},
        GrammarCase{{"-f"}, "faceless", "<none>", "<none>"},
        // The later action wins.
        GrammarCase{{"-u", "-i"}, "install", "<none>", "<none>"},
        GrammarCase{{"-i", "-u"}, "remove", "<none>", "<none>"},
        GrammarCase{{"-s", "-e", "-s"}, "start", "<none>", "<none>"},
        // -d and -f run at once: nothing after them is looked at.
        GrammarCase{{"-d", "-i"}, "debug", "<none>", "<none>"},
        GrammarCase{{"-i", "-d"}, "debug", "<none>", "<none>"},
        GrammarCase{{"-f", "-u"}, "faceless", "<none>", "<none>"},
        GrammarCase{{"-d", "-l", "late"}, "debug", "<none>", "<none>"},
        GrammarCase{{"-l", "early", "-d"}, "debug", "early", "<none>"},
        // Only the second character counts; case matters; '/' is no switch character.
        GrammarCase{{"-install"}, "install", "<none>", "<none>"},
        GrammarCase{{"-uninstall"}, "remove", "<none>", "<none>"},
        GrammarCase{{"-debug"}, "debug", "<none>", "<none>"},
        GrammarCase{{"-I"}, "dispatch", "<none>", "<none>"},
        GrammarCase{{"-x"}, "dispatch", "<none>", "<none>"},
        GrammarCase{{"/i"}, "dispatch", "<none>", "<none>"},
        GrammarCase{{"install"}, "dispatch", "<none>", "<none>"},
        GrammarCase{{"-"}, "dispatch", "<none>", "<none>"},
        GrammarCase{{""}, "dispatch", "<none>", "<none>"},
        GrammarCase{{"-x", "/i", "install", "-i"}, "install", "<none>", "<none>"},
        // Account and password: attached and separate forms.
        GrammarCase{
            {"-i", "-l", "DOMAIN\\user", "-p", "secret"}, "install", "DOMAIN\\user", "secret"},
        GrammarCase{{"-i", "-lDOMAIN\\user", "-psecret"}, "install", "DOMAIN\\user", "secret"},
        GrammarCase{{"-lDOMAIN\\user", "-p", "secret", "-i"}, "install", "DOMAIN\\user", "secret"},
        GrammarCase{{"-l", "first", "-l", "second", "-i"}, "install", "second", "<none>"},
        // A bare -l takes the next argument, whatever it is.
        GrammarCase{{"-i", "-l", "-u"}, "install", "-u", "<none>"},
        GrammarCase{{"-i", "-p", "-d"}, "install", "<none>", "-d"},
        // -l or -p last: no value, and the scan ends.
        GrammarCase{{"-i", "-l"}, "install", "<none>", "<none>"},
        GrammarCase{{"-i", "-p"}, "install", "<none>", "<none>"},
        GrammarCase{{"-l"}, "dispatch", "<none>", "<none>"},
        // Account and password alone select nothing.
        GrammarCase{{"-l", "user", "-p", "pw"}, "dispatch", "user", "pw"}));

TEST(CommandLine, debug_run_gets_the_whole_unchanged_argument_vector_and_the_debug_flag)
{
    std::vector<std::string> storage = {"Pelmora", "-lme", "-d", "-i", "tail"};
    std::vector<char *> argv;
    for (std::string &arg : storage)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    CRecordingService service;
    service.ProcessCommandLine(5, argv.data());

    EXPECT_EQ(5, service.debugArgc);
    EXPECT_EQ(argv.data(), service.debugArgv);
    EXPECT_EQ(1u, service.debugFlagAtRun);
}

TEST(CommandLine, actions_other_than_debug_leave_the_debug_flag_clear)
{
    for (const char *arg : {"-i", "-u", "-e", "-s", "-x"}) {
        std::string a = arg;
        char program[] = "Pelmora";
        char *argv[] = {program, &a[0], nullptr};
        CRecordingService service;
        service.ProcessCommandLine(2, argv);
        EXPECT_EQ(0u, service.DebugFlag()) << arg;
    }
}

TEST(CommandLine, outside_the_nt_family_no_action_switch_runs_faceless_in_debug_mode)
{
    char program[] = "Pelmora";
    char account[] = "-lme";
    char *argv[] = {program, account, nullptr};
    CRecordingService service;
    service.SetNTFamily(FALSE);
    int result = service.ProcessCommandLine(2, argv);
    ASSERT_EQ(1u, service.actions.size());
    EXPECT_EQ("faceless", service.actions[0]);
    EXPECT_EQ(16, result);
    EXPECT_EQ(1u, service.debugFlagAtRun);
}

TEST(CommandLine, outside_the_nt_family_an_action_switch_still_runs_its_action)
{
    char program[] = "Pelmora";
    char install[] = "-i";
    char *argv[] = {program, install, nullptr};
    CRecordingService service;
    service.SetNTFamily(FALSE);
    service.ProcessCommandLine(2, argv);
    ASSERT_EQ(1u, service.actions.size());
    EXPECT_EQ("install", service.actions[0]);
}

}  // namespace
