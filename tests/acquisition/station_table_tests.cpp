// The averaging windows of the station table: sums, pruning, direction statistics, ownership.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "acquisition/StationTable.h"

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr ULONGLONG UnitsPerSecond = 10000000;
// 2024-01-01 00:00:00 UTC as a FILETIME count.
constexpr ULONGLONG BaseTime = 133485408000000000ULL;

FILETIME TimeAt(LONGLONG seconds)
{
    const ULONGLONG value = BaseTime + static_cast<ULONGLONG>(seconds * LONGLONG(UnitsPerSecond));
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

struct Reading {
    LONGLONG seconds;
    double dWindDir = 0;
    double dWindSpeed = 5;
    double dOutsideTemp = 10;
    double dHumidity = 50;
    double dRain = 1;
    double dPressure = 1013;
    double dSolar = 200;
};

MeteoSample *NewSample(const Reading &r)
{
    auto *s = new MeteoSample{};
    s->ftTime = TimeAt(r.seconds);
    s->dWindSpeed = r.dWindSpeed;
    s->dWindDir = r.dWindDir;
    const double angle = r.dWindDir / 360 * 2 * Pi;
    s->dCos = std::cos(angle);
    s->dSin = std::sin(angle);
    s->dOutsideTemp = r.dOutsideTemp;
    s->dHumidity = r.dHumidity;
    s->dRain = r.dRain;
    s->dPressure = r.dPressure;
    s->dSolar = r.dSolar;
    return s;
}

LONGLONG SecondsOf(const FILETIME &ft)
{
    const ULONGLONG value = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (LONGLONG(value) - LONGLONG(BaseTime)) / LONGLONG(UnitsPerSecond);
}

class StationTableTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA")); }
    static void TearDownTestSuite() { Delete(&MeteoDataGuard); }

    void SetUp() override { ResetStation(block); }
    // The table keeps what it holds; emptying the block frees it again.
    void TearDown() override { ResetStation(block); }

    void Add(const Reading &r, bool suppress = false)
    {
        ASSERT_TRUE(AddSample(block, NewSample(r), suppress));
    }
    const AverageSlot &Slot(int v) const { return StationTable[block][v]; }

    LONG block = 7;
};

// Recomputes every slot of the block from its chain and compares with the running values.
void ExpectSlotsMatchTheirChains(LONG block)
{
    const AverageSlot *slots = StationTable[block];
    const MeteoSample *oldestOfLongest = slots[USED_SLOTS - 1].pOldest;
    ASSERT_NE(oldestOfLongest, nullptr);
    EXPECT_EQ(oldestOfLongest->pPrev, nullptr);

    // Position of each sample in the chain, oldest first.
    std::vector<const MeteoSample *> chain;
    for (const MeteoSample *p = oldestOfLongest; p != nullptr; p = p->pNext) {
        chain.push_back(p);
    }
    auto position = [&](const MeteoSample *s) {
        for (size_t i = 0; i < chain.size(); ++i) {
            if (chain[i] == s) {
                return static_cast<long>(i);
            }
        }
        return -1L;
    };

    long previousStart = static_cast<long>(chain.size());
    for (int v = 0; v < USED_SLOTS; ++v) {
        const AverageSlot &slot = slots[v];
        SCOPED_TRACE("slot " + std::to_string(v));
        EXPECT_EQ(slot.pNewest, chain.back());
        const long start = position(slot.pOldest);
        ASSERT_GE(start, 0);
        // A longer window never starts later than a shorter one.
        EXPECT_LE(start, previousStart);
        previousStart = start;

        double speed = 0, cosSum = 0, sinSum = 0, temp = 0, pressure = 0;
        DWORD count = 0;
        for (long i = start; i < static_cast<long>(chain.size()); ++i) {
            const MeteoSample *p = chain[i];
            speed += p->dWindSpeed;
            if (p->dWindSpeed >= 0) {
                cosSum += p->dCos;
                sinSum += p->dSin;
            }
            temp += p->dOutsideTemp;
            pressure += p->dPressure;
            ++count;
        }
        EXPECT_EQ(slot.nCount, count);
        EXPECT_NEAR(slot.dSumWindSpeed, speed, 1e-6);
        EXPECT_NEAR(slot.dSumCos, cosSum, 1e-6);
        EXPECT_NEAR(slot.dSumSin, sinSum, 1e-6);
        EXPECT_NEAR(slot.dSumOutsideTemp, temp, 1e-6);
        EXPECT_NEAR(slot.dSumPressure, pressure, 1e-6);
        EXPECT_EQ(SecondsOf(slot.ftLast), SecondsOf(chain.back()->ftTime));
    }
}

TEST_F(StationTableTest, first_reading_fills_every_slot_with_that_reading_alone)
{
    Add({0, 123.0, 7.5, 21.5, 64, 0.4, 1009.5, 310});
    for (int v = 0; v < USED_SLOTS; ++v) {
        SCOPED_TRACE("slot " + std::to_string(v));
        const AverageSlot &s = Slot(v);
        EXPECT_EQ(s.nCount, 1u);
        EXPECT_DOUBLE_EQ(s.dSumWindSpeed, 7.5);
        EXPECT_DOUBLE_EQ(s.dSumOutsideTemp, 21.5);
        EXPECT_DOUBLE_EQ(s.dSumHumidity, 64);
        EXPECT_DOUBLE_EQ(s.dSumRain, 0.4);
        EXPECT_DOUBLE_EQ(s.dSumPressure, 1009.5);
        EXPECT_DOUBLE_EQ(s.dSumSolar, 310);
        EXPECT_NEAR(s.dWindMeanDir, 123.0, 1e-9);
        EXPECT_EQ(s.dWindStdDir, 0.0);
        EXPECT_EQ(s.pNewest, s.pOldest);
        EXPECT_EQ(SecondsOf(s.ftLast), 0);
    }
    // Slot 12 is never written.
    EXPECT_EQ(Slot(12).nCount, 0u);
    EXPECT_EQ(Slot(12).pNewest, nullptr);
}

TEST_F(StationTableTest, suppressed_wind_angle_stores_spread_as_minus_one)
{
    Add({0, 40}, true);
    Add({20, 80}, true);
    for (int v = 0; v < USED_SLOTS; ++v) {
        EXPECT_EQ(Slot(v).dWindStdDir, -1.0);
        EXPECT_NEAR(Slot(v).dWindMeanDir, 60.0, 1e-9);
    }
}

TEST_F(StationTableTest, mean_direction_is_the_direction_of_the_vector_sum)
{
    Add({0, 90});
    Add({20, 180});
    EXPECT_NEAR(Slot(0).dWindMeanDir, 135.0, 1e-9);
    EXPECT_NEAR(Slot(11).dWindMeanDir, 135.0, 1e-9);
}

TEST_F(StationTableTest, mean_direction_wraps_through_north)
{
    Add({0, 350});
    Add({20, 30});
    EXPECT_NEAR(Slot(0).dWindMeanDir, 10.0, 1e-9);
}

TEST_F(StationTableTest, spread_of_north_and_east_is_45_degrees)
{
    Add({0, 0});
    Add({20, 90});
    // varCos = varSin = 0.5
    EXPECT_NEAR(Slot(0).dSumCos2 - Slot(0).dSumCos * Slot(0).dSumCos / 2, 0.5, 1e-12);
    EXPECT_NEAR(Slot(0).dWindStdDir, 45.0, 1e-9);
}

TEST_F(StationTableTest, identical_directions_give_spread_zero_never_nan)
{
    // Variances of identical values round to tiny positive or negative numbers; the
    // negative ones must not reach the square root.
    int negativeVariances = 0;
    for (double dir : {0.0, 17.3, 45.0, 91.7, 123.456, 200.1, 271.9, 333.3, 359.9}) {
        ResetStation(block);
        for (int i = 0; i < 40; ++i) {
            Add({i * 20LL, dir, 3.0 + (i % 7)});
            for (int v = 0; v < USED_SLOTS; ++v) {
                const AverageSlot &s = Slot(v);
                if (s.nCount >= 2 && (s.dSumCos2 - s.dSumCos * s.dSumCos / s.nCount < 0 ||
                                      s.dSumSin2 - s.dSumSin * s.dSumSin / s.nCount < 0)) {
                    ++negativeVariances;
                }
                ASSERT_EQ(s.dWindStdDir, 0.0) << "dir " << dir << " slot " << v;
            }
        }
    }
    EXPECT_GT(negativeVariances, 0) << "no case reached a variance below 0";
}

TEST_F(StationTableTest, sample_exactly_300_seconds_old_stays_in_the_5_minute_window)
{
    Add({0, 10, 2.0});
    Add({300, 20, 4.0});
    EXPECT_EQ(Slot(0).nCount, 2u);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 6.0);
}

TEST_F(StationTableTest, sample_301_seconds_old_leaves_the_5_minute_window_only)
{
    Add({0, 10, 2.0, 5});
    Add({301, 20, 4.0, 7});
    EXPECT_EQ(Slot(0).nCount, 1u);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 4.0);
    EXPECT_DOUBLE_EQ(Slot(0).dSumOutsideTemp, 7.0);
    EXPECT_NEAR(Slot(0).dWindMeanDir, 20.0, 1e-9);
    EXPECT_EQ(Slot(0).pOldest, Slot(0).pNewest);
    for (int v = 1; v < USED_SLOTS; ++v) {
        EXPECT_EQ(Slot(v).nCount, 2u) << "slot " << v;
        EXPECT_DOUBLE_EQ(Slot(v).dSumOutsideTemp, 12.0);
    }
    ExpectSlotsMatchTheirChains(block);
}

TEST_F(StationTableTest, fractions_of_a_second_do_not_count_toward_the_age)
{
    Add({0});
    auto *s = NewSample({300});
    // 300.9999999 s later: the truncated age is 300.
    ULONGLONG value = (ULONGLONG(s->ftTime.dwHighDateTime) << 32) | s->ftTime.dwLowDateTime;
    value += UnitsPerSecond - 1;
    s->ftTime.dwLowDateTime = DWORD(value & 0xFFFFFFFFu);
    s->ftTime.dwHighDateTime = DWORD(value >> 32);
    ASSERT_TRUE(AddSample(block, s, false));
    EXPECT_EQ(Slot(0).nCount, 2u);
}

TEST_F(StationTableTest, each_window_keeps_its_own_length)
{
    // One reading a minute for two hours.
    for (int minute = 0; minute <= 120; ++minute) {
        Add({minute * 60LL, double(minute % 360)});
    }
    for (int v = 0; v < USED_SLOTS; ++v) {
        // 5 * (v + 1) minutes back, both ends included.
        EXPECT_EQ(Slot(v).nCount, DWORD(5 * (v + 1) + 1)) << "slot " << v;
    }
    ExpectSlotsMatchTheirChains(block);
}

TEST_F(StationTableTest, clock_set_back_keeps_the_windows_growing_until_new_times_pass_old)
{
    Add({10000});
    Add({10020});
    // The clock goes back by almost three hours.
    for (int i = 0; i < 20; ++i) {
        Add({i * 20LL});
        EXPECT_EQ(Slot(0).nCount, DWORD(3 + i));
    }
    ExpectSlotsMatchTheirChains(block);
    // At 10301 the sample of 10000 is 301 s old and leaves slot 0; pruning stops at 10020.
    Add({10301});
    EXPECT_EQ(Slot(0).nCount, 22u);
    EXPECT_EQ(SecondsOf(Slot(0).pOldest->ftTime), 10020);
    ExpectSlotsMatchTheirChains(block);
    // At 10321 the front leaves, and with it everything stamped before the jump back.
    Add({10321});
    EXPECT_EQ(Slot(0).nCount, 2u);
    EXPECT_EQ(SecondsOf(Slot(0).pOldest->ftTime), 10301);
    EXPECT_EQ(Slot(11).nCount, 24u);
    ExpectSlotsMatchTheirChains(block);
}

TEST_F(StationTableTest, windows_stay_consistent_with_their_chain_under_random_times)
{
    // A fixed seed: a failure must be repeatable.
    std::mt19937 random(12345);  // NOLINT(cert-msc51-cpp)
    std::uniform_int_distribution<int> step(-400, 900);
    std::uniform_real_distribution<double> dir(0, 360);
    std::uniform_real_distribution<double> speed(-2, 30);
    LONGLONG t = 0;
    for (int i = 0; i < 600; ++i) {
        t += step(random);
        Add({t, dir(random), speed(random), dir(random), dir(random)});
        if (i % 50 == 0) {
            ExpectSlotsMatchTheirChains(block);
        }
    }
    ExpectSlotsMatchTheirChains(block);
}

TEST_F(StationTableTest, negative_wind_speed_leaves_the_direction_sums_alone)
{
    Add({0, 90, 5});
    Add({20, 180, -1});
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 4.0);
    EXPECT_NEAR(Slot(0).dSumCos, 0.0, 1e-12);
    EXPECT_NEAR(Slot(0).dSumSin, 1.0, 1e-12);
    EXPECT_NEAR(Slot(0).dWindMeanDir, 90.0, 1e-9);
    // ... also when it leaves the window.
    Add({330, 0, 5});
    EXPECT_EQ(Slot(0).nCount, 1u);
    EXPECT_NEAR(Slot(0).dSumCos, 1.0, 1e-12);
    EXPECT_NEAR(Slot(0).dSumSin, 0.0, 1e-12);
}

TEST_F(StationTableTest, a_nan_direction_leaves_no_trace_in_an_hour_of_good_readings)
{
    Add({0, std::nan("")});
    for (LONGLONG t = 60; t <= 3660; t += 60)
        Add({t, 90});
    for (int v = 0; v < USED_SLOTS; ++v) {
        SCOPED_TRACE("slot " + std::to_string(v));
        EXPECT_NEAR(90.0, Slot(v).dWindMeanDir, 1e-9);
        EXPECT_NEAR(0.0, Slot(v).dWindStdDir, 1e-6);
        EXPECT_EQ(Slot(v).nCount, Slot(v).nCountDir);
        EXPECT_TRUE(std::isfinite(Slot(v).dSumCos) && std::isfinite(Slot(v).dSumSin2));
    }
    // While it was in the window it was only left out: the first good reading had the windows
    // to itself.
    ResetStation(block);
    Add({0, std::nan("")});
    Add({60, 180});
    EXPECT_EQ(2u, Slot(11).nCount);
    EXPECT_EQ(1u, Slot(11).nCountDir);
    EXPECT_NEAR(180.0, Slot(11).dWindMeanDir, 1e-9);
    EXPECT_EQ(0.0, Slot(11).dWindStdDir);
}

TEST_F(StationTableTest, samples_leaving_the_60_minute_window_are_freed)
{
    // Twelve hours of readings every 20 s; under LeakSanitizer a sample that left slot 11
    // without being freed is reported when the test program ends.
    for (int i = 0; i < 12 * 180; ++i) {
        Add({i * 20LL, double(i % 360), 4});
    }
    EXPECT_EQ(Slot(11).nCount, 181u);
    ExpectSlotsMatchTheirChains(block);
}

TEST_F(StationTableTest, stations_do_not_share_their_windows)
{
    ResetStation(8);
    Add({0, 10, 1});
    ASSERT_TRUE(AddSample(8, NewSample({0, 200, 9}), false));
    EXPECT_EQ(Slot(0).nCount, 1u);
    EXPECT_DOUBLE_EQ(StationTable[8][0].dSumWindSpeed, 9);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 1);
    ResetStation(8);
    EXPECT_EQ(StationTable[8][0].nCount, 0u);
}

TEST_F(StationTableTest, reset_empties_every_used_slot)
{
    Add({0});
    Add({20});
    ResetStation(block);
    for (int v = 0; v < USED_SLOTS; ++v) {
        EXPECT_EQ(Slot(v).nCount, 0u);
        EXPECT_EQ(Slot(v).pNewest, nullptr);
        EXPECT_EQ(Slot(v).pOldest, nullptr);
        EXPECT_EQ(Slot(v).dSumWindSpeed, 0.0);
    }
}

TEST_F(StationTableTest, blocks_outside_the_table_are_refused)
{
    EXPECT_FALSE(AddSample(STATION_BLOCKS, NewSample({0}), false));
    EXPECT_FALSE(AddSample(-1, NewSample({0}), false));
    ResetStation(STATION_BLOCKS);  // must not touch memory past the table
}

TEST_F(StationTableTest, sample_is_freed_when_the_guard_cannot_be_taken)
{
    Add({0, 10, 1});
    Delete(&MeteoDataGuard);
    // LeakSanitizer reports the refused sample if it is neither linked nor freed.
    EXPECT_FALSE(AddSample(block, NewSample({20, 10, 50}), false));
    ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA"));
    EXPECT_EQ(Slot(0).nCount, 1u);
    EXPECT_DOUBLE_EQ(Slot(0).dSumWindSpeed, 1);
}

TEST(VectorAngle, follows_the_quadrants_from_0_to_360)
{
    EXPECT_NEAR(VectorAngle(1, 0), 0, 1e-9);
    EXPECT_NEAR(VectorAngle(1, 1), 45, 1e-9);
    EXPECT_NEAR(VectorAngle(0, 1), 90, 1e-9);
    EXPECT_NEAR(VectorAngle(-1, 1), 135, 1e-9);
    EXPECT_NEAR(VectorAngle(-1, 0), 180, 1e-9);
    EXPECT_NEAR(VectorAngle(-1, -1), 225, 1e-9);
    EXPECT_NEAR(VectorAngle(0, -1), 270, 1e-9);
    EXPECT_NEAR(VectorAngle(1, -1), 315, 1e-9);
}

TEST(VectorAngle, short_vectors_have_angle_zero)
{
    EXPECT_EQ(VectorAngle(0, 0), 0);
    EXPECT_EQ(VectorAngle(0.0099, -0.0099), 0);
    EXPECT_NEAR(VectorAngle(0, 0.01), 90, 1e-9);
    EXPECT_NEAR(VectorAngle(-0.01, 0), 180, 1e-9);
}

}  // namespace
