#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "service/Log.h"

namespace {

const std::string kBanner = "****************New Log*****************\r\n";

std::string LogPath() { return PathBesideExecutable("Pelmora.log"); }

bool LogExists()
{
    std::ifstream in(LogPath(), std::ios::binary);
    return in.good();
}

std::string ReadLog()
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string Prefix() { return std::to_string(GetCurrentThreadId()) + ": "; }

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TraceLevel = 0;
        WriteLog("closes any file left open");
        std::remove(LogPath().c_str());
    }
    void TearDown() override
    {
        TraceLevel = 0;
        CloseLog();
    }
};

}  // namespace

TEST_F(LogTest, the_log_sits_beside_the_executable)
{
    char exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
    std::string folder(exe);
    folder.erase(folder.find_last_of("/\\") + 1);
    EXPECT_EQ(folder + "Pelmora.log", LogPath());
}

TEST_F(LogTest, trace_zero_creates_no_file)
{
    WriteLog("nothing");
    WriteLog(std::string("nothing either"));
    EXPECT_FALSE(LogExists());
}

TEST_F(LogTest, first_line_opens_the_file_below_a_banner_with_crlf_line_ends)
{
    TraceLevel = 1;
    WriteLog("OpenPort OK");
    WriteLog("");
    EXPECT_EQ(kBanner + Prefix() + "OpenPort OK\r\n" + Prefix() + "\r\n", ReadLog());
}

TEST_F(LogTest, each_line_is_flushed_at_once)
{
    TraceLevel = 1;
    WriteLog("first");
    EXPECT_EQ(kBanner + Prefix() + "first\r\n", ReadLog());  // still open, already on disk
}

TEST_F(LogTest, switching_off_closes_and_the_next_open_appends_below_a_new_banner)
{
    TraceLevel = 1;
    WriteLog("one");
    TraceLevel = 0;
    WriteLog("dropped");
    TraceLevel = 5;
    WriteLog("two");
    EXPECT_EQ(kBanner + Prefix() + "one\r\n" + kBanner + Prefix() + "two\r\n", ReadLog());
}

TEST_F(LogTest, text_with_its_own_line_breaks_is_written_as_it_is)
{
    TraceLevel = 1;
    WriteLog("a\nb");
    EXPECT_EQ(kBanner + Prefix() + "a\nb\r\n", ReadLog());
}

TEST_F(LogTest, concurrent_threads_write_whole_lines_each_with_its_own_id)
{
    TraceLevel = 1;
    const int kPerThread = 500;
    std::vector<std::thread> threads;
    std::vector<DWORD> ids(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &ids] {
            ids[t] = GetCurrentThreadId();
            const std::string text = "thread " + std::to_string(t) + std::string(200, 'x');
            for (int i = 0; i < kPerThread; ++i)
                WriteLog(text);
        });
    }
    for (auto &thread : threads)
        thread.join();

    std::string content = ReadLog();
    ASSERT_EQ(0u, content.rfind(kBanner, 0));
    content.erase(0, kBanner.size());
    std::istringstream lines(content);
    std::string line;
    std::vector<int> counts(4, 0);
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ('\r', line.back());
        line.pop_back();
        const auto colon = line.find(": ");
        ASSERT_NE(std::string::npos, colon);
        const DWORD id = static_cast<DWORD>(std::stoul(line.substr(0, colon)));
        const std::string text = line.substr(colon + 2);
        ASSERT_EQ(0u, text.rfind("thread ", 0)) << line;
        const int t = text[7] - '0';
        ASSERT_EQ(ids[t], id);
        ASSERT_EQ("thread " + std::to_string(t) + std::string(200, 'x'), text);
        ++counts[t];
    }
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(kPerThread, counts[t]);
}

TEST_F(LogTest, switching_off_while_others_write_never_loses_the_file_mid_line)
{
    // One thread toggles logging while others write: every line in the file is whole.
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&stop] {
            while (!stop)
                WriteLog("steady line");
        });
    for (int i = 0; i < 300; ++i) {
        TraceLevel = i % 2;
        WriteLog("toggle");
    }
    stop = true;
    for (auto &w : writers)
        w.join();
    TraceLevel = 0;
    WriteLog("close");
    std::istringstream lines(ReadLog());
    std::string line;
    int whole = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ('\r', line.back());
        line.pop_back();
        if (line == "****************New Log*****************")
            continue;
        const auto colon = line.find(": ");
        ASSERT_NE(std::string::npos, colon);
        const std::string text = line.substr(colon + 2);
        ASSERT_TRUE(text == "steady line" || text == "toggle") << line;
        ++whole;
    }
    EXPECT_GT(whole, 0);
}
