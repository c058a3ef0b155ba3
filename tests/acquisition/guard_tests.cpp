// The single-writer/multiple-reader guard on its named kernel objects, and the station table
// used by writers and readers at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/StationTable.h"

namespace {

// Handles of a test-local guard, named so that tests do not meet each other.
class GuardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = std::string("GT") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(Initialize(&guard, name.c_str()));
    }
    void TearDown() override { Delete(&guard); }

    SWMRG guard{};
    std::string name;
};

// An event the test owns, for one thread to tell another where it is.
struct Signal {
    Signal() : h(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Signal() { CloseHandle(h); }
    void Set() { SetEvent(h); }
    bool WaitFor(DWORD ms) { return WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
    HANDLE h;
};

TEST_F(GuardTest, initialize_creates_the_three_objects_under_prefixed_names)
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, ("SWMRGMutexNoWriter" + name).c_str());
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, ("SWMRGEventNoReaders" + name).c_str());
    HANDLE sem = OpenSemaphoreA(SYNCHRONIZE, FALSE, ("SWMRGSemNumReaders" + name).c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(sem, nullptr);
    // No reader inside: event signalled, count 0; the mutex is free.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(sem, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    CloseHandle(event);
    CloseHandle(sem);
}

TEST(GuardInitialize, object_name_of_100_characters_fails_and_leaves_no_handle)
{
    // 18 + 81 = 99 characters fit for the mutex; 19 + 81 = 100 do not fit for the event.
    const std::string longName(81, 'x');
    SWMRG g;
    EXPECT_FALSE(Initialize(&g, longName.c_str()));
    EXPECT_EQ(g.hMutexNoWriter, nullptr);
    EXPECT_EQ(g.hEventNoReaders, nullptr);
    EXPECT_EQ(g.hSemNumReaders, nullptr);
    // The mutex that was created has been closed again.
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, ("SWMRGMutexNoWriter" + longName).c_str()), nullptr);

    const std::string fits(80, 'y');
    EXPECT_TRUE(Initialize(&g, fits.c_str()));
    Delete(&g);
    EXPECT_EQ(g.hMutexNoWriter, nullptr);
}

TEST(GuardInitialize, without_a_name_the_objects_are_unnamed_and_private)
{
    SWMRG a, b;
    ASSERT_TRUE(Initialize(&a, nullptr));
    ASSERT_TRUE(Initialize(&b, nullptr));
    ASSERT_EQ(WaitToWrite(&a, 0), 0u);
    EXPECT_EQ(WaitToWrite(&b, 0), 0u);  // not the same guard
    DoneWriting(&b);
    DoneWriting(&a);
    Delete(&a);
    Delete(&b);
}

TEST(GuardInitialize, waits_on_a_guard_that_failed_are_not_zero)
{
    SWMRG g;
    ASSERT_FALSE(Initialize(&g, std::string(120, 'z').c_str()));
    EXPECT_NE(WaitToWrite(&g, 0), 0u);
    EXPECT_NE(WaitToRead(&g, 0), 0u);
}

TEST_F(GuardTest, guards_of_one_name_are_one_guard)
{
    SWMRG other;
    ASSERT_TRUE(Initialize(&other, name.c_str()));
    ASSERT_EQ(WaitToWrite(&guard, 10000), 0u);
    std::thread reader([&] { EXPECT_EQ(WaitToRead(&other, 50), DWORD(WAIT_TIMEOUT)); });
    reader.join();
    DoneWriting(&guard);
    ASSERT_EQ(WaitToRead(&other, 10000), 0u);
    DoneReading(&other);
    Delete(&other);
}

TEST_F(GuardTest, writer_waits_until_the_last_reader_has_left)
{
    ASSERT_EQ(WaitToRead(&guard, 10000), 0u);
    ASSERT_EQ(WaitToRead(&guard, 10000), 0u);

    Signal writerIn;
    std::atomic<bool> readersGone{false};
    std::thread writer([&] {
        ASSERT_EQ(WaitToWrite(&guard, 10000), 0u);
        EXPECT_TRUE(readersGone.load());
        writerIn.Set();
        DoneWriting(&guard);
    });
    EXPECT_FALSE(writerIn.WaitFor(100));
    DoneReading(&guard);
    EXPECT_FALSE(writerIn.WaitFor(100));  // one reader is still inside
    readersGone = true;
    DoneReading(&guard);
    EXPECT_TRUE(writerIn.WaitFor(10000));
    writer.join();
}

TEST_F(GuardTest, readers_are_inside_together)
{
    Signal firstIn, secondIn;
    std::thread first([&] {
        ASSERT_EQ(WaitToRead(&guard, 10000), 0u);
        firstIn.Set();
        // Stays inside until the second reader is in as well.
        EXPECT_TRUE(secondIn.WaitFor(10000));
        DoneReading(&guard);
    });
    ASSERT_TRUE(firstIn.WaitFor(10000));
    std::thread second([&] {
        ASSERT_EQ(WaitToRead(&guard, 10000), 0u);
        secondIn.Set();
        DoneReading(&guard);
    });
    second.join();
    first.join();
    EXPECT_EQ(WaitToWrite(&guard, 0), 0u);
    DoneWriting(&guard);
}

TEST_F(GuardTest, reader_waits_for_the_writer_and_a_timed_out_reader_leaves_no_trace)
{
    ASSERT_EQ(WaitToWrite(&guard, 10000), 0u);
    std::thread reader([&] { EXPECT_EQ(WaitToRead(&guard, 50), DWORD(WAIT_TIMEOUT)); });
    reader.join();

    Signal readerIn;
    std::thread late([&] {
        ASSERT_EQ(WaitToRead(&guard, 10000), 0u);
        readerIn.Set();
        DoneReading(&guard);
    });
    EXPECT_FALSE(readerIn.WaitFor(100));
    DoneWriting(&guard);
    EXPECT_TRUE(readerIn.WaitFor(10000));
    late.join();
    // Nobody is counted inside any more.
    EXPECT_EQ(WaitToWrite(&guard, 0), 0u);
    DoneWriting(&guard);
}

TEST_F(GuardTest, guard_left_by_one_thread_can_be_taken_by_another)
{
    ASSERT_EQ(WaitToWrite(&guard, 10000), 0u);
    DoneWriting(&guard);
    ASSERT_EQ(WaitToRead(&guard, 10000), 0u);
    DoneReading(&guard);
    std::thread other([&] {
        ASSERT_EQ(WaitToWrite(&guard, 5000), 0u);
        DoneWriting(&guard);
        ASSERT_EQ(WaitToRead(&guard, 5000), 0u);
        DoneReading(&guard);
    });
    other.join();
    // And back: the other thread left nothing behind either.
    ASSERT_EQ(WaitToWrite(&guard, 5000), 0u);
    DoneWriting(&guard);
}

TEST_F(GuardTest, writers_exclude_each_other)
{
    ASSERT_EQ(WaitToWrite(&guard, 10000), 0u);
    std::thread other([&] { EXPECT_EQ(WaitToWrite(&guard, 50), DWORD(WAIT_TIMEOUT)); });
    other.join();
    DoneWriting(&guard);
}

TEST(StationTableUnderLoad, reading_waits_while_a_reader_is_inside)
{
    ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA"));
    ResetStation(5);
    ASSERT_EQ(WaitToRead(&MeteoDataGuard, 10000), 0u);
    Signal added;
    std::thread writer([&] {
        EXPECT_TRUE(AddSample(5, new MeteoSample{}, false));
        added.Set();
    });
    EXPECT_FALSE(added.WaitFor(100));
    EXPECT_EQ(StationTable[5][0].nCount, 0u);
    DoneReading(&MeteoDataGuard);
    EXPECT_TRUE(added.WaitFor(10000));
    writer.join();
    EXPECT_EQ(StationTable[5][0].nCount, 1u);
    ResetStation(5);
    Delete(&MeteoDataGuard);
}

// Writers add samples to their own blocks while readers check each window's consistency;
// run under ThreadSanitizer this also proves the table's accesses are ordered by the guard.
TEST(StationTableUnderLoad, concurrent_writers_and_readers_see_consistent_windows)
{
    ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA"));
    constexpr int Writers = 4;
    constexpr int Readers = 4;
    constexpr int SamplesPerWriter = 1500;
    for (int w = 0; w < Writers; ++w) {
        ResetStation(w);
    }

    std::atomic<int> writersDone{0};
    std::atomic<long> checks{0};
    std::vector<std::thread> threads;
    threads.reserve(Writers + Readers);
    for (int w = 0; w < Writers; ++w) {
        threads.emplace_back([w, &writersDone] {
            for (int i = 0; i < SamplesPerWriter; ++i) {
                auto *s = new MeteoSample{};
                const ULONGLONG t = 133485408000000000ULL + ULONGLONG(i) * 20 * 10000000ULL;
                s->ftTime.dwLowDateTime = DWORD(t & 0xFFFFFFFFu);
                s->ftTime.dwHighDateTime = DWORD(t >> 32);
                s->dWindSpeed = 2;
                s->dCos = 1;
                s->dOutsideTemp = 1;
                s->dHumidity = w;
                AddSample(w, s, false);
            }
            ++writersDone;
        });
    }
    for (int r = 0; r < Readers; ++r) {
        threads.emplace_back([r, &writersDone, &checks] {
            do {
                if (WaitToRead(&MeteoDataGuard, 10000) != 0) {
                    ADD_FAILURE() << "WaitToRead failed";
                    return;
                }
                const int block = r % Writers;
                for (int v = 0; v < USED_SLOTS; ++v) {
                    const AverageSlot &s = StationTable[block][v];
                    if (s.nCount == 0) {
                        continue;
                    }
                    // Every sample adds 1 to the temperature sum and 2 to the speed sum.
                    EXPECT_EQ(s.dSumOutsideTemp, double(s.nCount));
                    EXPECT_EQ(s.dSumWindSpeed, 2.0 * s.nCount);
                    EXPECT_EQ(s.dSumHumidity, double(block) * s.nCount);
                    EXPECT_EQ(s.pNewest->ftTime.dwLowDateTime, s.ftLast.dwLowDateTime);
                    EXPECT_LE(s.nCount, DWORD(15 * (v + 1) + 1));
                }
                DoneReading(&MeteoDataGuard);
                ++checks;
            } while (writersDone.load() < Writers);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_GT(checks.load(), 0);
    for (int w = 0; w < Writers; ++w) {
        EXPECT_EQ(StationTable[w][11].nCount, 181u);
        EXPECT_EQ(StationTable[w][0].nCount, 16u);
        ResetStation(w);
    }
    Delete(&MeteoDataGuard);
}

}  // namespace
