// The backlog file: a line cut by a crash in the middle of an append, at any byte, is never
// handed out and never swallows the lines appended after it; a damaged line is handed out as
// not valid; and a row's twelve values come back from their text exactly.
#include <gtest/gtest.h>

#include <limits>

#include "TestFiles.h"
#include "acquisition/Backlog.h"
#include "acquisition/MeteoDatabase.h"

namespace {

using namespace acqtest;

std::vector<std::string> Records(CBacklog &backlog)
{
    std::vector<std::string> records;
    for (const CBacklog::Line &line : backlog.Head(100))
        records.push_back(line.valid ? line.text : "damaged: " + line.text);
    return records;
}

TEST(BacklogFile, a_line_cut_at_any_byte_is_never_handed_out_nor_blocks_the_next)
{
    const std::string path = (FreshFolder("out_backlog") / "7_Backlog.txt").string();
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
        EXPECT_EQ(std::vector<std::string>{"7\tfirst"}, Records(backlog)) << "cut at " << cut;
        ASSERT_TRUE(backlog.Append("7\tthird"));
        EXPECT_EQ((std::vector<std::string>{"7\tfirst", "7\tthird"}), Records(backlog))
            << "cut at " << cut;
        ASSERT_TRUE(backlog.RemoveHead(1));
        EXPECT_EQ(std::vector<std::string>{"7\tthird"}, Records(backlog)) << "cut at " << cut;
    }
    // A changed byte fails the checksum; the line is handed out for what it is, in its place.
    WriteWholeFile(path, "7\tfirsT" + whole.substr(7));
    CBacklog damaged(path);
    EXPECT_EQ(Records(damaged)[0], "damaged: " + whole.substr(0, firstEnd - 2).replace(6, 1, "T"));
    EXPECT_EQ(Records(damaged)[1], "7\tsecond, cut by a crash");
}

TEST(BacklogRow, twelve_values_come_back_from_their_text_exactly)
{
    SYSTEMTIME st{};
    st.wYear = 2024;
    st.wMonth = 3;
    st.wDay = 5;
    st.wHour = 7;
    MeteoData data{};
    data.dWindSpeed = 0.1 + 0.2;
    data.dOutsideTemp = -1e-300;
    data.dHumidity = std::numeric_limits<double>::max();
    data.dPressure = 1013.25;
    data.dSolar = std::numeric_limits<double>::denorm_min();
    AverageSlot slot{};
    slot.dWindMeanDir = 1.0 / 3;
    slot.dWindStdDir = -1;
    const DbRow row = DbRow::Of(4000000000UL, st, data, slot);
    const std::string text = row.Text();
    // Short where that is exact, so that a person can read it.
    EXPECT_NE(std::string::npos, text.find("\t1013.25\t0\t")) << text;
    DbRow back;
    ASSERT_TRUE(DbRow::FromText(text, back));
    EXPECT_EQ(row.nStationID, back.nStationID);
    EXPECT_EQ("2024-03-5 07:00:00", back.time);
    EXPECT_EQ("05.03.2024 07:00:00", back.timeLocal);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(row.values[i], back.values[i]) << "value " << i + 4;
    const std::string cut = text.substr(0, text.rfind('\t'));
    for (const std::string &bad : {cut, text + "\t1", cut + "\t1x", std::string()})
        EXPECT_FALSE(DbRow::FromText(bad, back)) << bad;
}

}  // namespace
