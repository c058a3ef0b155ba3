// The backlog file: lines come back as appended, oldest first; a line cut by a crash in the
// middle of an append is never handed out and never swallows the lines appended after it; a
// damaged line elsewhere is handed out as not valid; removal keeps the rest; and the rows'
// twelve values come back from their text exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

#include "TestFiles.h"
#include "acquisition/Backlog.h"
#include "acquisition/MeteoDatabase.h"

namespace {

using namespace acqtest;

std::vector<std::string> Valid(CBacklog &backlog)
{
    std::vector<std::string> records;
    for (const CBacklog::Line &line : backlog.Head(100)) {
        EXPECT_TRUE(line.valid) << line.text;
        records.push_back(line.text);
    }
    return records;
}

class BacklogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = (FreshFolder(
                    "out_" +
                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())) /
                "7_Backlog.txt")
                   .string();
    }
    std::string path;
};

TEST_F(BacklogFile, appended_lines_come_back_oldest_first_and_leave_from_the_front)
{
    CBacklog backlog(path);
    EXPECT_EQ(0u, backlog.Count());
    EXPECT_TRUE(backlog.Head(10).empty());
    for (const char *record : {"7\ta b\t1.5", "7\tc\t2", "7\td\t3"}) {
        ASSERT_TRUE(backlog.Append(record));
    }
    EXPECT_EQ(3u, backlog.Count());
    // Text a person can read: the record, its checksum, a line end.
    char szFirst[40];
    std::snprintf(szFirst, sizeof(szFirst), "7\ta b\t1.5\t#%08lx\r\n",
                  BacklogChecksum("7\ta b\t1.5"));
    EXPECT_EQ(0u, ReadWholeFile(path).find(szFirst));
    EXPECT_EQ((std::vector<std::string>{"7\ta b\t1.5", "7\tc\t2", "7\td\t3"}), Valid(backlog));
    ASSERT_TRUE(backlog.RemoveHead(2));
    EXPECT_EQ(1u, backlog.Count());
    // A new object finds what the old one left.
    CBacklog again(path);
    EXPECT_EQ(std::vector<std::string>{"7\td\t3"}, Valid(again));
    ASSERT_TRUE(again.RemoveHead(1));
    EXPECT_EQ("", ReadWholeFile(path));
    EXPECT_EQ(0u, again.Count());
}

TEST_F(BacklogFile, a_line_cut_at_any_byte_is_never_handed_out_nor_blocks_the_next)
{
    {
        CBacklog backlog(path);
        ASSERT_TRUE(backlog.Append("7\tfirst"));
        ASSERT_TRUE(backlog.Append("7\tsecond, cut by a crash"));
    }
    const std::string whole = ReadWholeFile(path);
    const size_t firstEnd = whole.find("\r\n") + 2;
    for (size_t cut = firstEnd; cut < whole.size(); ++cut) {
        WriteWholeFile(path, whole.substr(0, cut));
        CBacklog backlog(path);
        EXPECT_EQ(std::vector<std::string>{"7\tfirst"}, Valid(backlog)) << "cut at " << cut;
        ASSERT_TRUE(backlog.Append("7\tthird"));
        EXPECT_EQ((std::vector<std::string>{"7\tfirst", "7\tthird"}), Valid(backlog))
            << "cut at " << cut;
        EXPECT_EQ(2u, backlog.Count());
    }
}

TEST_F(BacklogFile, a_damaged_line_is_handed_out_as_not_valid_in_its_place)
{
    {
        CBacklog backlog(path);
        for (const char *record : {"7\tone", "7\ttwo", "7\tthree"}) {
            ASSERT_TRUE(backlog.Append(record));
        }
    }
    const struct {
        const char *what;
        std::string (*damage)(std::string);
    } cases[] = {
        {"a changed byte", [](std::string s) { return s.replace(s.find("two"), 1, "T"); }},
        {"a changed checksum",
         [](std::string s) { return s.replace(s.find("#", 10) + 1, 1, "g"); }},
        {"no checksum", [](std::string s) { return s.erase(s.find("\t#", 10), 10); }},
    };
    const std::string whole = ReadWholeFile(path);
    for (const auto &c : cases) {
        WriteWholeFile(path, c.damage(whole));
        CBacklog backlog(path);
        const std::vector<CBacklog::Line> lines = backlog.Head(10);
        ASSERT_EQ(3u, lines.size()) << c.what;
        EXPECT_TRUE(lines[0].valid && lines[2].valid) << c.what;
        EXPECT_FALSE(lines[1].valid) << c.what;
        EXPECT_NE(std::string::npos, lines[1].text.find("wo")) << c.what;
        EXPECT_EQ("7\tthree", lines[2].text) << c.what;
    }
}

TEST_F(BacklogFile, a_long_backlog_hands_out_its_start_and_keeps_its_end_across_reads)
{
    // More than one read's worth of lines.
    std::string whole;
    for (int i = 0; i < 5000; ++i) {
        const std::string record = "7\t" + std::to_string(i);
        char szSum[16];
        std::snprintf(szSum, sizeof(szSum), "\t#%08lx", BacklogChecksum(record));
        whole += record + szSum + "\r\n";
    }
    WriteWholeFile(path, whole);
    CBacklog backlog(path);
    EXPECT_EQ(5000u, backlog.Count());
    EXPECT_EQ((std::vector<std::string>{"7\t0", "7\t1"}), [&] {
        std::vector<std::string> texts;
        for (const auto &line : backlog.Head(2))
            texts.push_back(line.text);
        return texts;
    }());
    ASSERT_EQ(5000u, backlog.Head(6000).size());
    ASSERT_TRUE(backlog.RemoveHead(4999));
    EXPECT_EQ(std::vector<std::string>{"7\t4999"}, Valid(backlog));
}

TEST(BacklogRow, twelve_values_come_back_from_their_text_exactly)
{
    SYSTEMTIME st{};
    st.wYear = 2024;
    st.wMonth = 3;
    st.wDay = 5;
    st.wHour = 7;
    st.wMinute = 8;
    st.wSecond = 9;
    MeteoData data{};
    data.dWindSpeed = 0.1 + 0.2;
    data.dWindDir = 359.99999999999994;
    data.dOutsideTemp = -1e-300;
    data.dHumidity = std::numeric_limits<double>::max();
    data.dPressure = 1013.25;
    data.dRain = 0;
    data.dSolar = std::numeric_limits<double>::denorm_min();
    AverageSlot slot{};
    slot.dWindMeanDir = 1.0 / 3;
    slot.dWindStdDir = -1;
    const DbRow row = DbRow::Of(4000000000UL, st, data, slot);
    EXPECT_EQ("2024-03-5 07:08:09", row.time);
    EXPECT_EQ("05.03.2024 07:08:09", row.timeLocal);
    DbRow back;
    ASSERT_TRUE(DbRow::FromText(row.Text(), back));
    EXPECT_EQ(row.nStationID, back.nStationID);
    EXPECT_EQ(row.time, back.time);
    EXPECT_EQ(row.timeLocal, back.timeLocal);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(row.values[i], back.values[i]) << "value " << i + 4;
    }

    const std::string text = row.Text();
    EXPECT_NE(std::string::npos, text.find("\t1013.25\t0\t")) << text;
    for (const std::string &bad : {text.substr(0, text.rfind('\t')), text + "\t1",
                                   text.substr(0, text.rfind('\t')) + "\t1x", std::string()}) {
        EXPECT_FALSE(DbRow::FromText(bad, back)) << bad;
    }
}

TEST(BacklogRow, data_failures_are_told_from_connection_and_server_failures)
{
    for (const char *state :
         {"01000", "22003", "22P02", "23505", "42883", "42P01", "21000", "44000"}) {
        EXPECT_TRUE(IsDataFailure(state)) << state;
    }
    for (const char *state : {"08S01", "08001", "57P01", "57014", "40001", "40P01", "HYT00",
                              "HYT01", "28000", "53100", "HY000", "P0001", "", "22"}) {
        EXPECT_FALSE(IsDataFailure(state)) << state;
    }
}

}  // namespace
