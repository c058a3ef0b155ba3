// Installing, starting, stopping and removing the service, against a stand-in systemctl on
// PATH and a unit folder of the test's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/system/service_process.h"

namespace {

// Plays systemd for one unit: records every call, answers is-active from a queue of states
// (the last one stays), and fails the command named in STUB_FAIL.
const char kStandInSystemctl[] = R"SH(#!/bin/sh
echo "$*" >> "$STUB_DIR/calls"
if [ "$1" = "$STUB_FAIL" ]; then exit 1; fi
states="$STUB_DIR/states"
case "$1" in
  is-active)
    head -n 1 "$states"
    if [ "$(wc -l < "$states")" -gt 1 ]; then
      tail -n +2 "$states" > "$states.next" && mv "$states.next" "$states"
    fi ;;
  start) printf 'activating\nactive\n' > "$states" ;;
  stop) printf 'deactivating\ninactive\n' > "$states" ;;
esac
exit 0
)SH";

const char kUnit[] = "KALMeteoDataServer.service";

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root.Path().empty());
        // A program folder with a blank in its name shows the quoting of the program path.
        programFolder = root.Path() + "/Program Files";
        program = CopyPelmora(programFolder);
        stubFolder = root.Path() + "/stub";
        unitFolder = root.Path() + "/units";
        for (const std::string &dir : {stubFolder, unitFolder})
            ASSERT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
        WriteFile(stubFolder + "/systemctl", kStandInSystemctl, true);
        SetStates("inactive\n");
    }

    void SetStates(const std::string &states) { WriteFile(stubFolder + "/states", states); }
    std::string UnitPath() const { return unitFolder + "/" + kUnit; }

    // Runs the program with the arguments; returns its output, keeps its exit code.
    std::string Pelmora(const std::vector<std::string> &args,
                        const std::string &unitDir = std::string())
    {
        WriteFile(stubFolder + "/calls", "");
        PelmoraProcess pelmora(
            program, args,
            {{"PATH", stubFolder + ":" + getenv("PATH")},
             {"PELMORA_SYSTEMD_UNIT_DIR", unitDir.empty() ? unitFolder : unitDir},
             {"PELMORA_EVENT_LOG", root.Path() + "/events.log"},
             {"STUB_DIR", stubFolder},
             {"STUB_FAIL", failing.empty() ? std::string() : failing},
             {"NOTIFY_SOCKET", ""}});
        EXPECT_TRUE(pelmora.WaitForExit(60000));
        exitCode = pelmora.ExitCode();
        return pelmora.Output();
    }

    std::string Calls() { return ReadFile(stubFolder + "/calls"); }
    std::string Events() { return ReadFile(root.Path() + "/events.log"); }

    TempFolder root;
    std::string programFolder, program, stubFolder, unitFolder;
    std::string failing;
    int exitCode = -2;
};

TEST_F(ServiceControl, install_start_stop_and_remove_print_their_messages)
{
    EXPECT_EQ("Pelmora installed.\n", Pelmora({"-i", "-l", "weather", "-p", "secret"}));
    EXPECT_EQ(1, exitCode);
    EXPECT_EQ(
        "[Unit]\n"
        "Description=Pelmora\n"
        "\n"
        "[Service]\n"
        "Type=notify\n"
        "ExecStart=\"" +
            programFolder +
            "/Pelmora\"\n"
            "User=weather\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n",
        ReadFile(UnitPath()));
    EXPECT_EQ("enable KALMeteoDataServer.service\n", Calls());
    EXPECT_EQ("KALMeteoDataServer information 0x40000000 Service installed\n", Events());

    EXPECT_EQ("Starting up Pelmora..\nPelmora started.\n", Pelmora({"-s"}));
    EXPECT_EQ(1, exitCode);
    EXPECT_EQ(
        "is-active KALMeteoDataServer.service\n"
        "start --no-block KALMeteoDataServer.service\n"
        "is-active KALMeteoDataServer.service\n"
        "is-active KALMeteoDataServer.service\n",
        Calls());

    EXPECT_EQ("Stopping Pelmora..\nPelmora stopped.\n", Pelmora({"-e"}));
    EXPECT_EQ(1, exitCode);
    EXPECT_EQ(
        "is-active KALMeteoDataServer.service\n"
        "stop --no-block KALMeteoDataServer.service\n"
        "is-active KALMeteoDataServer.service\n"
        "is-active KALMeteoDataServer.service\n",
        Calls());

    EXPECT_EQ("Pelmora removed.\n", Pelmora({"-u"}));
    EXPECT_EQ(1, exitCode);
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_EQ(
        "is-active KALMeteoDataServer.service\n"
        "disable KALMeteoDataServer.service\n"
        "daemon-reload\n",
        Calls());
}

TEST_F(ServiceControl, install_without_account_runs_as_the_default_user)
{
    EXPECT_EQ("Pelmora installed.\n", Pelmora({"-i", "-l"}));
    EXPECT_EQ(std::string::npos, ReadFile(UnitPath()).find("User="));
}

TEST_F(ServiceControl, attached_and_separate_account_forms_install_the_same_user)
{
    Pelmora({"-i", "-lweather"});
    const std::string attached = ReadFile(UnitPath());
    Pelmora({"-u"});
    Pelmora({"-l", "weather", "-i"});
    EXPECT_EQ(attached, ReadFile(UnitPath()));
    EXPECT_NE(std::string::npos, attached.find("\nUser=weather\n"));
}

TEST_F(ServiceControl, the_account_after_a_bare_l_may_look_like_a_switch)
{
    EXPECT_EQ("Pelmora installed.\n", Pelmora({"-i", "-l", "-u"}));
    EXPECT_NE(std::string::npos, ReadFile(UnitPath()).find("\nUser=-u\n"));
}

TEST_F(ServiceControl, debug_switch_before_install_never_installs)
{
    // -d runs at once and never looks at -i.
    PelmoraProcess pelmora(program, {"-d", "-i"},
                           {{"PELMORA_SYSTEMD_UNIT_DIR", unitFolder}, {"NOTIFY_SOCKET", ""}});
    ASSERT_TRUE(pelmora.WaitForOutput("Debugging Pelmora.\n"));
    ASSERT_TRUE(pelmora.WaitForBlockedSignal(SIGINT));
    pelmora.Signal(SIGINT);
    ASSERT_TRUE(pelmora.WaitForExit());
    EXPECT_EQ(1, pelmora.ExitCode()) << pelmora.Output();
    EXPECT_FALSE(FileExists(UnitPath()));
}

TEST_F(ServiceControl, installing_twice_fails_and_keeps_the_first_unit)
{
    Pelmora({"-i", "-lfirst"});
    EXPECT_EQ("CreateService failed - The specified service already exists.\n",
              Pelmora({"-i", "-lsecond"}));
    EXPECT_EQ(0, exitCode);
    EXPECT_NE(std::string::npos, ReadFile(UnitPath()).find("\nUser=first\n"));
    EXPECT_EQ("KALMeteoDataServer information 0x40000000 Service installed\n", Events());
}

TEST_F(ServiceControl, a_refused_enable_installs_nothing)
{
    failing = "enable";
    EXPECT_EQ(
        "CreateService failed - An exception occurred in the service when handling the "
        "control request.\n",
        Pelmora({"-i"}));
    EXPECT_EQ(0, exitCode);
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_EQ("", Events());
}

TEST_F(ServiceControl, without_the_unit_folder_the_manager_cannot_be_opened)
{
    const std::string missing = root.Path() + "/no such folder";
    EXPECT_EQ("OpenSCManager failed - The system cannot find the path specified.\n",
              Pelmora({"-i"}, missing));
    EXPECT_EQ(0, exitCode);
    for (const char *action : {"-u", "-s", "-e"}) {
        EXPECT_EQ("OpenSCManager failed - The system cannot find the path specified.\n",
                  Pelmora({action}, missing))
            << action;
        EXPECT_EQ(0, exitCode) << action;
    }
}

TEST_F(ServiceControl, actions_on_a_service_that_is_not_installed_fail_to_open_it)
{
    for (const char *action : {"-u", "-s", "-e"}) {
        EXPECT_EQ(
            "OpenService failed - The specified service does not exist as an installed "
            "service.\n",
            Pelmora({action}))
            << action;
        EXPECT_EQ(0, exitCode) << action;
        EXPECT_EQ("", Calls()) << action;
    }
}

TEST_F(ServiceControl, removing_a_stopped_service_prints_nothing_about_stopping)
{
    Pelmora({"-i"});
    EXPECT_EQ("Pelmora removed.\n", Pelmora({"-u"}));
    EXPECT_EQ(1, exitCode);
    EXPECT_EQ("KALMeteoDataServer information 0x40000000 Service installed\n", Events());
}

TEST_F(ServiceControl, removing_a_running_service_stops_it_first)
{
    Pelmora({"-i"});
    SetStates("active\n");
    EXPECT_EQ("Stopping Pelmora..\nPelmora stopped.\nPelmora removed.\n", Pelmora({"-u"}));
    EXPECT_EQ(1, exitCode);
    EXPECT_FALSE(FileExists(UnitPath()));
}

TEST_F(ServiceControl, stopping_a_stopped_service_prints_nothing_and_fails)
{
    Pelmora({"-i"});
    EXPECT_EQ("", Pelmora({"-e"}));
    EXPECT_EQ(0, exitCode);
    EXPECT_EQ("is-active KALMeteoDataServer.service\n", Calls());
}

TEST_F(ServiceControl, a_service_that_does_not_stop_is_reported)
{
    Pelmora({"-i"});
    SetStates("active\n");
    // The stand-in leaves the unit active after the stop request.
    WriteFile(
        stubFolder + "/systemctl",
        std::string(kStandInSystemctl)
            .replace(
                std::string(kStandInSystemctl).find("stop) printf 'deactivating\\ninactive\\n'"),
                std::string("stop) printf 'deactivating\\ninactive\\n'").size(),
                "stop) printf 'deactivating\\nactive\\n'"),
        true);
    EXPECT_EQ("Stopping Pelmora..\nPelmora failed to stop.\n", Pelmora({"-e"}));
    EXPECT_EQ(0, exitCode);
}

TEST_F(ServiceControl, a_refused_start_prints_the_reason)
{
    Pelmora({"-i"});
    failing = "start";
    EXPECT_EQ(
        "Starting up Pelmora.\nPelmora failed to start: An exception occurred in the "
        "service when handling the control request.\n",
        Pelmora({"-s"}));
    EXPECT_EQ(0, exitCode);
}

TEST_F(ServiceControl, starting_a_running_service_fails)
{
    Pelmora({"-i"});
    SetStates("active\n");
    EXPECT_EQ(
        "Starting up Pelmora.\nPelmora failed to start: An instance of the service is "
        "already running.\n",
        Pelmora({"-s"}));
    EXPECT_EQ(0, exitCode);
}

TEST_F(ServiceControl, a_service_that_fails_while_starting_is_reported)
{
    Pelmora({"-i"});
    WriteFile(
        stubFolder + "/systemctl",
        std::string(kStandInSystemctl)
            .replace(std::string(kStandInSystemctl).find("start) printf 'activating\\nactive\\n'"),
                     std::string("start) printf 'activating\\nactive\\n'").size(),
                     "start) printf 'activating\\nfailed\\n'"),
        true);
    EXPECT_EQ("Starting up Pelmora..\nPelmora failed to start.\n", Pelmora({"-s"}));
    EXPECT_EQ(0, exitCode);
}

}  // namespace
