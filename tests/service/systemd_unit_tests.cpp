// Service control on systemd at the level of the platform calls: the unit file written, the
// states read back, and the refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/win32.h"
#include "tests/service/NotifySocket.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A unit folder and a stand-in systemctl that records its calls and reports the state kept in
// a file.
class SystemdUnit : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::current_path() / "systemd";
        fs::remove_all(root);
        fs::create_directories(root / "units");
        fs::create_directories(root / "bin");
        WriteText(root / "bin" / "systemctl",
                  "#!/bin/sh\n"
                  "echo \"$*\" >> \"" +
                      (root / "calls").string() +
                      "\"\n"
                      "if [ \"$1\" = is-active ]; then cat \"" +
                      (root / "state").string() + "\"; fi\n");
        fs::permissions(root / "bin" / "systemctl", fs::perms::owner_all);
        WriteText(root / "state", "inactive\n");
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, manager);
    }
    void TearDown() override
    {
        if (manager)
            CloseServiceHandle(manager);
        fs::remove_all(root);
    }

    SC_HANDLE Create(const char *binaryPath, DWORD startType = SERVICE_AUTO_START,
                     const char *account = nullptr)
    {
        return CreateServiceA(manager, "Unit", "Display %n", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                              binaryPath, nullptr, nullptr, nullptr, account, "pw");
    }

    std::string Unit() { return ReadText(root / "units" / "Unit.service"); }
    std::string Calls() { return ReadText(root / "calls"); }

    fs::path root;
    ScopedEnv unitDir{"PELMORA_SYSTEMD_UNIT_DIR",
                      (fs::current_path() / "systemd" / "units").string()};
    ScopedEnv path{"PATH",
                   (fs::current_path() / "systemd" / "bin").string() + ":" + getenv("PATH")};
    SC_HANDLE manager = nullptr;
};

TEST_F(SystemdUnit, the_program_path_is_quoted_and_its_special_characters_escaped)
{
    SC_HANDLE service = Create("\"/opt/a b/100%/$x/back\\slash/Pelmora\" -f  %1");
    ASSERT_NE(nullptr, service);
    CloseServiceHandle(service);
    EXPECT_EQ(
        "[Unit]\nDescription=Display %%n\n\n[Service]\nType=notify\n"
        "ExecStart=\"/opt/a b/100%%/$$x/back\\\\slash/Pelmora\" -f  %%1\n\n"
        "[Install]\nWantedBy=multi-user.target\n",
        Unit());
    EXPECT_EQ("enable Unit.service\n", Calls());
}

TEST_F(SystemdUnit, an_unquoted_path_ends_at_the_first_blank)
{
    SC_HANDLE service = Create("/opt/Pelmora -d", SERVICE_AUTO_START, "weather");
    ASSERT_NE(nullptr, service);
    CloseServiceHandle(service);
    EXPECT_NE(std::string::npos, Unit().find("\nExecStart=\"/opt/Pelmora\" -d\nUser=weather\n"));
}

TEST_F(SystemdUnit, a_service_started_on_demand_is_not_enabled)
{
    SC_HANDLE service = Create("/opt/Pelmora", SERVICE_DEMAND_START);
    ASSERT_NE(nullptr, service);
    CloseServiceHandle(service);
    EXPECT_EQ(std::string::npos, Unit().find("[Install]"));
    EXPECT_EQ("daemon-reload\n", Calls());
}

TEST_F(SystemdUnit, a_line_break_in_any_text_is_refused)
{
    EXPECT_EQ(nullptr, Create("/opt/Pelmora\nExecStartPre=/bin/evil"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, Create("/opt/Pelmora", SERVICE_AUTO_START, "user\nUser=root"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(fs::exists(root / "units" / "Unit.service"));
    EXPECT_EQ("", Calls());
}

TEST_F(SystemdUnit, the_unit_state_maps_to_service_states)
{
    SC_HANDLE service = Create("/opt/Pelmora");
    ASSERT_NE(nullptr, service);
    const struct {
        const char *state;
        DWORD expected;
        DWORD accepted;
    } cases[] = {{"activating", SERVICE_START_PENDING, 0},
                 {"active", SERVICE_RUNNING, SERVICE_ACCEPT_STOP},
                 {"reloading", SERVICE_RUNNING, SERVICE_ACCEPT_STOP},
                 {"deactivating", SERVICE_STOP_PENDING, 0},
                 {"inactive", SERVICE_STOPPED, 0},
                 {"failed", SERVICE_STOPPED, 0}};
    for (const auto &c : cases) {
        WriteText(root / "state", std::string(c.state) + "\n");
        SERVICE_STATUS status{};
        ASSERT_TRUE(QueryServiceStatus(service, &status)) << c.state;
        EXPECT_EQ(c.expected, status.dwCurrentState) << c.state;
        EXPECT_EQ(c.accepted, status.dwControlsAccepted) << c.state;
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
    }
    CloseServiceHandle(service);
}

TEST_F(SystemdUnit, controls_are_refused_in_states_that_do_not_take_them)
{
    SC_HANDLE service = Create("/opt/Pelmora");
    ASSERT_NE(nullptr, service);
    SERVICE_STATUS status{};
    WriteText(root / "state", "inactive\n");
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    WriteText(root / "state", "activating\n");
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), GetLastError());
    WriteText(root / "state", "active\n");
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
    CloseServiceHandle(service);
}

TEST_F(SystemdUnit, opening_needs_the_unit_file)
{
    EXPECT_EQ(nullptr, OpenServiceA(manager, "Unit", SERVICE_ALL_ACCESS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    EXPECT_EQ(nullptr, OpenServiceA(manager, "../Unit", SERVICE_ALL_ACCESS));
    SC_HANDLE created = Create("/opt/Pelmora");
    ASSERT_NE(nullptr, created);
    SC_HANDLE opened = OpenServiceA(manager, "Unit", SERVICE_ALL_ACCESS);
    EXPECT_NE(nullptr, opened);
    EXPECT_TRUE(DeleteService(opened));
    EXPECT_FALSE(fs::exists(root / "units" / "Unit.service"));
    EXPECT_FALSE(DeleteService(created));  // already gone
    CloseServiceHandle(opened);
    CloseServiceHandle(created);
    EXPECT_FALSE(CloseServiceHandle(created));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(SystemdAccounts, the_running_user_has_a_valid_security_identifier)
{
    char user[257];
    DWORD length = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &length));
    BYTE sid[64];
    DWORD sidLength = sizeof sid;
    char domain[256];
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountNameA(nullptr, user, sid, &sidLength, domain, &domainLength, &use));
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(sidLength, GetLengthSid(sid));
    BYTE copy[64];
    EXPECT_TRUE(CopySid(sizeof copy, copy, sid));
    EXPECT_EQ(0, memcmp(copy, sid, sidLength));
    EXPECT_FALSE(LookupAccountNameA(nullptr, "no-such-user-here", sid, &sidLength, domain,
                                    &domainLength, &use));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED), GetLastError());
}

TEST(SystemdRegistry, registry_calls_are_not_implemented)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software", &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), GetLastError());
}

}  // namespace
