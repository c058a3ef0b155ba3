// Replaydrv driven through its exports, loaded by path: measurement files replayed line by line.
#include "DriverLibraries.h"

#include <cstring>
#include <list>
#include <set>
#include <thread>

using namespace drivertest;

namespace {

const char kDay[] =
    "20261208 10:00:00\t12.5\t270.0\t265.0\t8.5\t3.5\t81.0\t0.2\t1013.2\t120.0\r\n"
    "20261208 10:00:20\t14.1\t275.0\t266.0\t8.1\t3.6\t80.0\t0.2\t1013.1\t135.0\r\n"
    "20261208 10:00:40\t-9999.0\t-9999.0\t266.0\t8.1\t3.7\t-9999.0\t0.4\t1013.0\t150.0\r\n";

class Replaydrv : public ::testing::Test {
protected:
    // Each test has its own copy of the library: its own replay position and sequence.
    void SetUp() override { m_folder = Station("replay"); }

    void TearDown() override
    {
        for (Driver &d : m_drivers)
            d.Unload();
    }

    fs::path Station(const std::string &suffix)
    {
        const std::string name =
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            suffix;
        return FolderWith(name, {kReplaydrv});
    }

    Driver &Load(const fs::path &folder)
    {
        m_drivers.emplace_back();
        m_drivers.back().Load(folder / kReplaydrv);
        return m_drivers.back();
    }

    static void Configure(const fs::path &folder, const std::string &file, const std::string &text,
                          const std::string &extra = "")
    {
        WriteText(folder / file, text);
        WriteText(folder / "Replaydrv.ini", "[Settings]\r\nFile=" + file + "\r\n" + extra);
    }

    struct Reading {
        bool bOpened = false;
        int32_t nResult = 0;
        MeteoDataBuffer Buffer{};
    };

    static Reading Poll(Driver &d)
    {
        Reading r;
        r.Buffer = PatternedBuffer();
        void *hPort = d.OpenPort();
        r.bOpened = hPort != nullptr;
        if (r.bOpened)
            r.nResult = d.GetData(hPort, &r.Buffer.Data);
        EXPECT_EQ(d.ClosePort(hPort), 1);
        return r;
    }

    fs::path m_folder;
    std::list<Driver> m_drivers;
};

TEST_F(Replaydrv, replays_one_line_per_reading_as_version_2_records_counting_the_lines)
{
    Configure(m_folder, "1_Meteo20261208.txt", kDay);
    Driver &d = Load(m_folder);

    const Reading first = Poll(d);
    ASSERT_TRUE(first.bOpened);
    ASSERT_EQ(first.nResult, 1);
    EXPECT_EQ(first.Buffer.Data.nSize, 68);
    EXPECT_EQ(first.Buffer.Data.nVersion, 2);
    EXPECT_EQ(first.Buffer.nSequence, 1u);
    // Columns 4 and 5 (averaged direction and its spread) are not part of a reading.
    EXPECT_EQ(first.Buffer.Data.dWindSpeed, 12.5);
    EXPECT_EQ(first.Buffer.Data.dWindDir, 270.0);
    EXPECT_EQ(first.Buffer.Data.dOutsideTemp, 3.5);
    EXPECT_EQ(first.Buffer.Data.dHumidity, 81.0);
    EXPECT_EQ(first.Buffer.Data.dRain, 0.2);
    EXPECT_EQ(first.Buffer.Data.dPressure, 1013.2);
    EXPECT_EQ(first.Buffer.Data.dSolar, 120.0);

    const Reading second = Poll(d);
    EXPECT_EQ(second.Buffer.nSequence, 2u);
    EXPECT_EQ(second.Buffer.Data.dWindSpeed, 14.1);

    const Reading third = Poll(d);
    EXPECT_EQ(third.nResult, 1);
    EXPECT_EQ(third.Buffer.nSequence, 3u);
    EXPECT_EQ(third.Buffer.Data.dWindSpeed, -9999.0);
    EXPECT_EQ(third.Buffer.Data.dHumidity, -9999.0);
}

TEST_F(Replaydrv, at_the_end_the_last_line_comes_again_under_its_sequence_number)
{
    Configure(m_folder, "day.txt", kDay);
    Driver &d = Load(m_folder);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Poll(d).nResult, 1);
    for (int i = 0; i < 2; ++i) {
        const Reading r = Poll(d);
        EXPECT_EQ(r.nResult, 1);
        EXPECT_EQ(r.Buffer.nSequence, 3u);
        EXPECT_EQ(r.Buffer.Data.dPressure, 1013.0);
    }
}

TEST_F(Replaydrv, with_loop_it_starts_again_and_the_sequence_counts_on)
{
    Configure(m_folder, "day.txt", kDay, "Loop=1\r\n");
    Driver &d = Load(m_folder);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Poll(d).nResult, 1);
    const Reading r = Poll(d);
    EXPECT_EQ(r.Buffer.nSequence, 4u);
    EXPECT_EQ(r.Buffer.Data.dWindSpeed, 12.5);
}

TEST_F(Replaydrv, two_stations_in_one_process_replay_their_own_files)
{
    const fs::path other = Station("other");
    Configure(m_folder, "a.txt", kDay);
    Configure(other, "b.txt",
              "20261208 11:00:00\t1.0\t10.0\t0.0\t0.0\t-1.0\t50.0\t0.0\t990.0\t0.0\r\n");
    Driver &a = Load(m_folder);
    Driver &b = Load(other);

    void *hA = a.OpenPort();
    void *hB = b.OpenPort();
    ASSERT_NE(hA, nullptr);
    ASSERT_NE(hB, nullptr);
    MeteoDataBuffer ra = PatternedBuffer();
    MeteoDataBuffer rb = PatternedBuffer();
    EXPECT_EQ(a.GetData(hA, &ra.Data), 1);
    EXPECT_EQ(b.GetData(hB, &rb.Data), 1);
    a.ClosePort(hA);
    b.ClosePort(hB);
    EXPECT_EQ(ra.Data.dPressure, 1013.2);
    EXPECT_EQ(rb.Data.dPressure, 990.0);

    EXPECT_EQ(Poll(a).Buffer.nSequence, 2u);
    EXPECT_EQ(Poll(b).Buffer.nSequence, 1u);  // its only line, again
}

TEST_F(Replaydrv, naming_another_file_starts_it_from_its_first_line)
{
    Configure(m_folder, "first.txt", kDay);
    Driver &d = Load(m_folder);
    ASSERT_EQ(Poll(d).Buffer.nSequence, 1u);
    Configure(m_folder, "second.txt",
              "20261209 00:00:00\t5.0\t90.0\t0.0\t0.0\t1.0\t70.0\t0.0\t1000.0\t0.0\r\n");
    const Reading r = Poll(d);
    EXPECT_EQ(r.Buffer.Data.dWindSpeed, 5.0);
    EXPECT_EQ(r.Buffer.nSequence, 2u);
}

TEST_F(Replaydrv, reads_bare_line_feeds_a_missing_last_line_end_and_absolute_paths)
{
    const fs::path file = m_folder / "lf.txt";
    WriteText(file,
              "20261208 10:00:00\t1.0\t1.0\t0\t0\t1.0\t1.0\t0\t1000\t0\n"
              "20261208 10:00:20\t2.0\t1.0\t0\t0\t1.0\t1.0\t0\t1000\t0");
    WriteText(m_folder / "Replaydrv.ini", "[Settings]\r\nFile=" + file.string() + "\r\n");
    Driver &d = Load(m_folder);
    EXPECT_EQ(Poll(d).Buffer.Data.dWindSpeed, 1.0);
    EXPECT_EQ(Poll(d).Buffer.Data.dWindSpeed, 2.0);
}

TEST_F(Replaydrv, an_empty_file_gives_no_reading)
{
    Configure(m_folder, "empty.txt", "");
    Driver &d = Load(m_folder);
    const Reading r = Poll(d);
    ASSERT_TRUE(r.bOpened);
    EXPECT_EQ(r.nResult, 0);
}

TEST_F(Replaydrv, a_malformed_file_keeps_the_port_closed_and_names_the_line)
{
    const std::string good = "20261208 10:00:00\t1\t1\t0\t0\t1\t1\t0\t1000\t0\r\n";
    const struct {
        std::string text;
        const char *message;
    } cases[] = {
        {good + "20261208 10:00:20\t1\t1\t0\t0\t1\t1\t0\t1000\r\n",
         "line 2: expected 10 tab-separated columns, found 9"},
        {good + good + "\r\n", "line 3: expected 10 tab-separated columns, found 1"},
        {"2026-12-08 10:00:00\t1\t1\t0\t0\t1\t1\t0\t1000\t0\r\n",
         "line 1: time stamp \"2026-12-08 10:00:00\" is not YYYYMMDD hh:mm:ss"},
        {"20261208 10:00:00\t1\t1\t0\t0\tcold\t1\t0\t1000\t0\r\n",
         "line 1: column 6 is not a number: \"cold\""},
        {"20261208 10:00:00\t1\t\t0\t0\t1\t1\t0\t1000\t0\r\n", "line 1: column 3 is not a number"},
        {"20261208 10:00:00 1 1 0 0 1 1 0 1000 0\r\n", "line 1: expected 10"},
        {std::string("\x7f"
                     "ELF\0\0\x01\x02",
                     8),
         "line 1:"},
    };
    Driver &d = Load(m_folder);
    int n = 0;
    for (const auto &c : cases) {
        const std::string name = "bad" + std::to_string(++n) + ".txt";
        Configure(m_folder, name, c.text);
        ::testing::internal::CaptureStderr();
        const Reading r = Poll(d);
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(r.bOpened) << c.text;
        EXPECT_NE(message.find(name), std::string::npos) << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
    // A good file afterwards is replayed.
    Configure(m_folder, "good.txt", good);
    EXPECT_EQ(Poll(d).nResult, 1);
}

TEST_F(Replaydrv, a_missing_file_or_setting_keeps_the_port_closed_with_a_message)
{
    Driver &d = Load(m_folder);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Poll(d).bOpened);
    std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("File names no file"), std::string::npos) << message;

    WriteText(m_folder / "Replaydrv.ini", "[Settings]\r\nFile=absent.txt\r\n");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Poll(d).bOpened);
    message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("absent.txt"), std::string::npos) << message;
}

TEST_F(Replaydrv, get_data_without_a_port_or_a_record_fails)
{
    Configure(m_folder, "day.txt", kDay);
    Driver &d = Load(m_folder);
    MeteoDataBuffer buffer = PatternedBuffer();
    EXPECT_LE(d.GetData(nullptr, &buffer.Data), 0);
    void *hPort = d.OpenPort();
    ASSERT_NE(hPort, nullptr);
    EXPECT_LE(d.GetData(hPort, nullptr), 0);
    d.ClosePort(hPort);
}

TEST_F(Replaydrv, open_ports_do_not_exclude_each_other)
{
    Configure(m_folder, "day.txt", kDay);
    Driver &d = Load(m_folder);
    void *hFirst = d.OpenPort();
    void *hSecond = d.OpenPort();
    ASSERT_NE(hFirst, nullptr);
    ASSERT_NE(hSecond, nullptr);
    MeteoDataBuffer first = PatternedBuffer();
    MeteoDataBuffer second = PatternedBuffer();
    EXPECT_EQ(d.GetData(hFirst, &first.Data), 1);
    EXPECT_EQ(d.GetData(hSecond, &second.Data), 1);
    EXPECT_EQ(d.ClosePort(hFirst), 1);
    EXPECT_EQ(d.ClosePort(hSecond), 1);
    // One copy of the library replays one file: its ports take turns at the lines.
    EXPECT_EQ(first.nSequence, 1u);
    EXPECT_EQ(second.nSequence, 2u);
}

TEST_F(Replaydrv, stations_polling_one_copy_at_once_never_get_the_same_line)
{
    std::string day;
    for (int i = 0; i < 400; ++i)
        day += "20261208 10:00:00\t" + std::to_string(i) + "\t0\t0\t0\t0\t0\t0\t1000\t0\r\n";
    Configure(m_folder, "day.txt", day);
    Driver &d = Load(m_folder);

    std::vector<std::vector<Reading>> seen(4);
    std::vector<std::thread> threads;
    for (auto &mine : seen)
        threads.emplace_back([&d, &mine] {
            for (int i = 0; i < 100; ++i)
                mine.push_back(Poll(d));
        });
    for (auto &t : threads)
        t.join();

    std::set<uint32_t> sequences;
    std::set<double> speeds;
    for (const auto &mine : seen)
        for (const Reading &r : mine) {
            // Copies: the packed record's fields need not be aligned in a vector.
            const uint32_t sequence = r.Buffer.nSequence;
            const double speed = r.Buffer.Data.dWindSpeed;
            ASSERT_EQ(r.nResult, 1);
            sequences.insert(sequence);
            speeds.insert(speed);
            // Each line goes out with its own count.
            EXPECT_EQ(speed + 1, sequence);
        }
    EXPECT_EQ(sequences.size(), 400u);
    EXPECT_EQ(speeds.size(), 400u);
}

TEST_F(Replaydrv, the_example_replays_with_its_settings)
{
    const fs::path example = fs::path(PELMORA_SOURCE_DIR) / "examples" / "replay";
    fs::copy_file(example / "Replaydrv.ini", m_folder / "Replaydrv.ini");
    fs::copy_file(example / "1_Meteo20261208.txt", m_folder / "1_Meteo20261208.txt");
    Driver &d = Load(m_folder);
    for (uint32_t n = 1; n <= 180; ++n) {
        const Reading r = Poll(d);
        ASSERT_TRUE(r.bOpened);
        ASSERT_EQ(r.nResult, 1);
        ASSERT_EQ(r.Buffer.nSequence, n);
    }
    // Loop=1: the hour starts again.
    const Reading again = Poll(d);
    EXPECT_EQ(again.Buffer.nSequence, 181u);
    EXPECT_EQ(again.Buffer.Data.dWindSpeed, 12.6);
}

}  // namespace
