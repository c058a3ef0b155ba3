#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Exists(const std::string &path) { return std::ifstream(path).good(); }

class DebugOutput : public ::testing::Test {
protected:
    void SetUp() override { remove(path.c_str()); }
    void TearDown() override
    {
        unsetenv("PELMORA_DEBUG_OUTPUT");
        remove(path.c_str());
    }
    const std::string path = "debug-output.txt";
};

}  // namespace

TEST_F(DebugOutput, without_the_variable_the_text_is_dropped)
{
    unsetenv("PELMORA_DEBUG_OUTPUT");
    OutputDebugStringA("dropped\n");
    EXPECT_FALSE(Exists(path));
    setenv("PELMORA_DEBUG_OUTPUT", "", 1);
    OutputDebugStringA("dropped\n");
    EXPECT_FALSE(Exists(path));
}

TEST_F(DebugOutput, with_the_variable_each_text_is_appended_as_given)
{
    setenv("PELMORA_DEBUG_OUTPUT", path.c_str(), 1);
    OutputDebugStringA("2164: OpenPort OK\n");
    OutputDebugStringA("no line end");
    OutputDebugStringA("");
    OutputDebugStringA("\r\n");
    EXPECT_EQ("2164: OpenPort OK\nno line end\r\n", ReadAll(path));

    unsetenv("PELMORA_DEBUG_OUTPUT");
    OutputDebugStringA("after\n");
    EXPECT_EQ("2164: OpenPort OK\nno line end\r\n", ReadAll(path));
}

TEST_F(DebugOutput, texts_from_many_threads_arrive_whole)
{
    setenv("PELMORA_DEBUG_OUTPUT", path.c_str(), 1);
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    const std::string filler(200, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &filler] {
            for (int i = 0; i < kLines; ++i) {
                const std::string line =
                    std::to_string(t) + ":" + std::to_string(i) + ":" + filler + "\n";
                OutputDebugStringA(line.c_str());
            }
        });
    for (std::thread &thread : threads)
        thread.join();

    std::istringstream lines(ReadAll(path));
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        const size_t first = line.find(':');
        const size_t second = line.find(':', first + 1);
        ASSERT_NE(std::string::npos, second) << line;
        EXPECT_EQ(filler, line.substr(second + 1));
        seen.insert(line.substr(0, second));
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}
