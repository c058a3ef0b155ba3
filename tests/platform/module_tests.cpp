#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/win32.h"

using pelmora::platform::LoadLibraryErrorText;

namespace {

std::string Executable()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

const std::string kProbe = PELMORA_PROBE_LIBRARY;

template <class Fn>
Fn Bind(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

int LocalFunction() { return 1; }

}  // namespace

TEST(ModuleFileName, null_module_names_the_running_executable)
{
    char buffer[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    EXPECT_EQ(Executable(), buffer);
    EXPECT_EQ(strlen(buffer), n);

    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(nullptr, self);
    char again[MAX_PATH];
    GetModuleFileNameA(self, again, sizeof again);
    EXPECT_STREQ(buffer, again);
}

TEST(ModuleFileName, a_path_longer_than_the_buffer_is_cut_terminated_and_reported)
{
    const std::string full = Executable();
    ASSERT_GT(full.size(), 8u);
    char buffer[8];
    SetLastError(0);
    EXPECT_EQ(8u, GetModuleFileNameA(nullptr, buffer, sizeof buffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(full.substr(0, 7), buffer);

    std::string exact(full.size() + 1, 'X');
    EXPECT_EQ(full.size(),
              GetModuleFileNameA(nullptr, &exact[0], static_cast<DWORD>(exact.size())));
    EXPECT_EQ(full, exact.c_str());
    std::string oneShort(full.size(), 'X');
    EXPECT_EQ(full.size(),
              GetModuleFileNameA(nullptr, &oneShort[0], static_cast<DWORD>(oneShort.size())));
    EXPECT_EQ(full.substr(0, full.size() - 1), oneShort.c_str());
}

TEST(ModuleFileName, an_address_in_the_executable_finds_the_executable)
{
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&LocalFunction), &module));
    char buffer[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(module, buffer, sizeof buffer));
    EXPECT_EQ(Executable(), buffer);
}

TEST(ModuleFileName, a_library_finds_its_own_file_by_an_address_inside_it)
{
    HMODULE probe = LoadLibraryA(kProbe.c_str());
    ASSERT_NE(nullptr, probe) << LoadLibraryErrorText();
    auto ownPath = Bind<DWORD (*)(char *, DWORD)>(probe, "ProbeOwnPath");
    ASSERT_NE(nullptr, ownPath);
    char buffer[MAX_PATH];
    ASSERT_NE(0u, ownPath(buffer, sizeof buffer));
    EXPECT_EQ(kProbe, buffer);

    HMODULE byAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(ownPath), &byAddress));
    EXPECT_EQ(probe, byAddress);
    char byHandle[MAX_PATH];
    GetModuleFileNameA(probe, byHandle, sizeof byHandle);
    EXPECT_EQ(kProbe, byHandle);
    EXPECT_TRUE(FreeLibrary(probe));
}

TEST(ModuleFileName, an_address_outside_every_module_is_not_found)
{
    int onTheStack = 0;
    HMODULE module = reinterpret_cast<HMODULE>(1);
    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&onTheStack), &module));
    EXPECT_EQ(nullptr, module);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

    int notAModule = 0;
    char buffer[MAX_PATH];
    EXPECT_EQ(0u,
              GetModuleFileNameA(reinterpret_cast<HMODULE>(&notAModule), buffer, sizeof buffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(Library, a_loaded_library_gives_its_exports_and_loading_it_again_gives_the_same_module)
{
    HMODULE first = LoadLibraryA(kProbe.c_str());
    ASSERT_NE(nullptr, first) << LoadLibraryErrorText();
    HMODULE second = LoadLibraryA(kProbe.c_str());
    EXPECT_EQ(first, second);
    auto answer = Bind<int (*)()>(first, "ProbeAnswer");
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    EXPECT_TRUE(FreeLibrary(second));
    // Still held by the first load.
    EXPECT_EQ(42, Bind<int (*)()>(first, "ProbeAnswer")());
    EXPECT_TRUE(FreeLibrary(first));
}

TEST(Library, a_missing_export_fails_with_proc_not_found)
{
    HMODULE probe = LoadLibraryA(kProbe.c_str());
    ASSERT_NE(nullptr, probe);
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(probe, "NoSuchExport"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(probe, reinterpret_cast<LPCSTR>(3)));  // an ordinal
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    FreeLibrary(probe);
}

TEST(Library, a_library_that_cannot_be_loaded_fails_with_mod_not_found_and_a_reason)
{
    const char *names[] = {"./no-such-library.so", "no-such-library.so", ""};
    for (const char *name : names) {
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadLibraryA(name)) << name;
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << name;
        EXPECT_STRNE("", LoadLibraryErrorText()) << name;
    }
    // A file that is not a library.
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA(PELMORA_SOURCE_DIR "/CMakeLists.txt"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_NE(nullptr, strstr(LoadLibraryErrorText(), "CMakeLists.txt"));
}

TEST(Library, a_path_with_backslashes_loads_the_same_library)
{
    std::string windowsStyle = kProbe;
    for (char &c : windowsStyle)
        if (c == '/')
            c = '\\';
    HMODULE a = LoadLibraryA(kProbe.c_str());
    HMODULE b = LoadLibraryA(windowsStyle.c_str());
    EXPECT_NE(nullptr, b);
    EXPECT_EQ(a, b);
    FreeLibrary(b);
    FreeLibrary(a);
}

TEST(Library, invalid_module_handles_are_refused)
{
    int notAModule = 0;
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&notAModule)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, GetProcAddress(reinterpret_cast<HMODULE>(&notAModule), "ProbeAnswer"));
    EXPECT_EQ(nullptr, GetModuleHandleA("never-loaded.so"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(ErrorMode, set_error_mode_returns_the_previous_mode)
{
    const UINT original = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(SEM_NOOPENFILEERRORBOX, GetErrorMode());
    EXPECT_EQ(SEM_NOOPENFILEERRORBOX, SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX));
    EXPECT_EQ(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX, SetErrorMode(original));
    EXPECT_EQ(0x8000u, SEM_NOOPENFILEERRORBOX);
}

TEST(SplitPath, both_separators_split_folder_name_and_extension)
{
    char drive[_MAX_DRIVE] = "X", dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath("/opt/pelmora/bin/Pelmora", drive, dir, fname, ext);
    EXPECT_STREQ("", drive);
    EXPECT_STREQ("/opt/pelmora/bin/", dir);
    EXPECT_STREQ("Pelmora", fname);
    EXPECT_STREQ("", ext);

    _splitpath("data\\station.1\\Halmdrv.dll", drive, dir, fname, ext);
    EXPECT_STREQ("data\\station.1\\", dir);
    EXPECT_STREQ("Halmdrv", fname);
    EXPECT_STREQ(".dll", ext);

    _splitpath("/a\\b/c.tar.gz", nullptr, dir, fname, ext);
    EXPECT_STREQ("/a\\b/", dir);
    EXPECT_STREQ("c.tar", fname);
    EXPECT_STREQ(".gz", ext);

    _splitpath("name", drive, dir, fname, ext);
    EXPECT_STREQ("", dir);
    EXPECT_STREQ("name", fname);

    _splitpath("dir/.hidden", drive, dir, fname, ext);
    EXPECT_STREQ("", fname);
    EXPECT_STREQ(".hidden", ext);

    _splitpath("dir/", drive, dir, fname, ext);
    EXPECT_STREQ("dir/", dir);
    EXPECT_STREQ("", fname);
    EXPECT_STREQ("", ext);
}

TEST(SplitPath, overlong_parts_are_cut_to_their_buffers)
{
    const std::string longDir = "/" + std::string(300, 'd') + "/";
    const std::string longName = std::string(300, 'n') + "." + std::string(300, 'e');
    char dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath((longDir + longName).c_str(), nullptr, dir, fname, ext);
    EXPECT_EQ(static_cast<size_t>(_MAX_DIR - 1), strlen(dir));
    EXPECT_EQ(static_cast<size_t>(_MAX_FNAME - 1), strlen(fname));
    EXPECT_EQ(static_cast<size_t>(_MAX_EXT - 1), strlen(ext));
    EXPECT_EQ('.', ext[0]);
}

TEST(MakePath, parts_are_joined_with_a_separator_and_a_dot_where_missing)
{
    char path[_MAX_PATH];
    _makepath(path, "", "/opt/pelmora/", "Pelmora", ".ini");
    EXPECT_STREQ("/opt/pelmora/Pelmora.ini", path);
    _makepath(path, nullptr, "/opt/pelmora", "Pelmora", "log");
    EXPECT_STREQ("/opt/pelmora/Pelmora.log", path);
    _makepath(path, nullptr, "C:\\data\\", "x", nullptr);
    EXPECT_STREQ("C:\\data\\x", path);
    _makepath(path, nullptr, nullptr, "Halmdrv.ini", nullptr);
    EXPECT_STREQ("Halmdrv.ini", path);

    const std::string longName(400, 'n');
    _makepath(path, nullptr, "/d/", longName.c_str(), ".ini");
    EXPECT_EQ(static_cast<size_t>(_MAX_PATH - 1), strlen(path));
}

TEST(MakePath, splitting_the_executable_and_joining_a_file_name_gives_its_neighbour)
{
    char exe[MAX_PATH], drive[_MAX_DRIVE], dir[_MAX_DIR], ini[_MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, exe, sizeof exe));
    _splitpath(exe, drive, dir, nullptr, nullptr);
    _makepath(ini, drive, dir, "Pelmora", ".ini");
    const std::string expected =
        Executable().substr(0, Executable().rfind('/') + 1) + "Pelmora.ini";
    EXPECT_EQ(expected, ini);
}
