// Loading the built driver libraries and the console stand-in from a test's own folder.
//
// The libraries read their settings beside themselves, so each test copies them out of the
// build's bin folder into a folder of its own and writes its settings there: tests running at
// the same time never share a settings file.
#pragma once

#include "platform/win32.h"
#include "driver/MeteoData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace drivertest {

namespace fs = std::filesystem;

#ifdef _WIN32
inline const char kHalmdrv[] = "Halmdrv.dll";
inline const char kReplaydrv[] = "Replaydrv.dll";
inline const char kVantagePro[] = "VantagePro.dll";
#else
inline const char kHalmdrv[] = "Halmdrv.so";
inline const char kReplaydrv[] = "Replaydrv.so";
inline const char kVantagePro[] = "libVantagePro.so";
#endif

// A fresh folder under the test's working folder, holding copies of the named libraries.
inline fs::path FolderWith(const std::string &name, std::initializer_list<const char *> libraries)
{
    const fs::path folder = fs::current_path() / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const char *library : libraries)
        fs::copy_file(fs::path(PELMORA_BIN_DIR) / library, folder / library);
    return folder;
}

inline void WriteText(const fs::path &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> ReadLines(const fs::path &path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadText(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A library export as a typed function pointer, or null.
template <typename F>
F Export(HMODULE hModule, const char *name)
{
    FARPROC p = GetProcAddress(hModule, name);
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

// A station driver loaded by path and bound by name, as the service binds it.
struct Driver {
    HMODULE hModule = nullptr;
    PFN_OPENPORT OpenPort = nullptr;
    PFN_GETDATA GetData = nullptr;
    PFN_CLOSEPORT ClosePort = nullptr;

    void Load(const fs::path &path)
    {
#ifdef _WIN32
        // Windows looks for a library's own imports (Halmdrv's VantagePro.dll) beside the
        // program unless told to look beside the library; here they share a folder of their own.
        hModule = LoadLibraryExA(path.string().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
#else
        hModule = LoadLibraryA(path.string().c_str());
#endif
        ASSERT_NE(hModule, nullptr) << path << ": " << LoadError();
        OpenPort = Export<PFN_OPENPORT>(hModule, "OpenPort");
        GetData = Export<PFN_GETDATA>(hModule, "GetData");
        ClosePort = Export<PFN_CLOSEPORT>(hModule, "ClosePort");
        ASSERT_NE(OpenPort, nullptr);
        ASSERT_NE(GetData, nullptr);
        ASSERT_NE(ClosePort, nullptr);
    }

    void Unload()
    {
        if (hModule != nullptr)
            FreeLibrary(hModule);
        hModule = nullptr;
    }

    static std::string LoadError()
    {
#ifdef _WIN32
        return "error " + std::to_string(GetLastError());
#else
        return pelmora::platform::LoadLibraryErrorText();
#endif
    }
};

// A buffer as the service provides it, filled with a pattern so that untouched bytes show.
inline MeteoDataBuffer PatternedBuffer()
{
    MeteoDataBuffer buffer;
    std::memset(&buffer, 0xA5, sizeof(buffer));
    return buffer;
}

}  // namespace drivertest
