// File helpers of the acquisition tests: folders, whole-file reads, the log's lines.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service/Log.h"

namespace acqtest {

inline std::string ReadWholeFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::filesystem::path &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// An empty folder of the given name in the test's working folder, as an absolute path.
inline std::filesystem::path FreshFolder(const std::string &name)
{
    std::filesystem::path folder = std::filesystem::absolute(name);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

// Closes the log and removes its file, so that a test sees only its own lines.
inline void StartFreshLog()
{
    CloseLog();
    std::filesystem::remove(PathBesideExecutable("Pelmora.log"));
}

// The texts of the log's lines, without the "<thread id>: " prefix and without the banner.
inline std::vector<std::string> LogTexts()
{
    CloseLog();
    std::istringstream in(ReadWholeFile(PathBesideExecutable("Pelmora.log")));
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            continue;  // the banner
        }
        texts.push_back(line.substr(colon + 2));
    }
    return texts;
}

// The log without the database writer's lines, which depend on whether a database answers.
inline std::vector<std::string> WithoutDatabaseLines(const std::vector<std::string> &texts)
{
    std::vector<std::string> kept;
    for (const auto &t : texts) {
        if (t.find("ODBC") == std::string::npos) {
            kept.push_back(t);
        }
    }
    return kept;
}

inline int CountOf(const std::vector<std::string> &texts, const std::string &text)
{
    int n = 0;
    for (const auto &t : texts) {
        n += t == text ? 1 : 0;
    }
    return n;
}

}  // namespace acqtest
