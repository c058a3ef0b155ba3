// Adding one reading to a station's twelve averaging windows, in steady state: the windows are
// full and every new reading pushes the oldest ones out. The cost must not grow with the number
// of samples a window holds, so it is measured at a 20 s cycle (180 samples in the hour
// window) and at a 1 s cycle (3,600), beside the writer side of the guard alone.
#include <benchmark/benchmark.h>

#include <cmath>

#include "acquisition/StationTable.h"
#include "bench/RatioReporter.h"
#include "service/Globals.h"
#include "service/Log.h"

namespace {

constexpr ULONGLONG kStart = 133485408000000000ULL;  // 2024-01-01 UTC, in 100 ns units
constexpr ULONGLONG kSecond = 10000000ULL;

MeteoSample *NewSample(ULONGLONG t, int i)
{
    auto *s = new MeteoSample{};
    s->ftTime.dwLowDateTime = DWORD(t);
    s->ftTime.dwHighDateTime = DWORD(t >> 32);
    s->dWindSpeed = 3 + i % 5;
    s->dWindDir = 180 + i % 40;
    s->dCos = std::cos(s->dWindDir / 360 * 2 * 3.14159265358979323846);
    s->dSin = std::sin(s->dWindDir / 360 * 2 * 3.14159265358979323846);
    s->dOutsideTemp = 12;
    s->dHumidity = 70;
    s->dPressure = 1010;
    s->dSolar = 250;
    return s;
}

// Argument: the cycle in seconds. The allocation of the sample, which the connector makes for
// every reading, is part of the cost.
void AddSample_SteadyState(benchmark::State &state)
{
    const ULONGLONG cycle = ULONGLONG(state.range(0)) * kSecond;
    ResetStation(0);
    ULONGLONG t = kStart;
    int i = 0;
    for (; t < kStart + 3600 * kSecond; t += cycle, ++i)  // one full hour first
        AddSample(0, NewSample(t, i), false);
    for (auto _ : state) {
        AddSample(0, NewSample(t, i), false);
        t += cycle;
        ++i;
    }
    state.counters["hour_window"] = double(StationTable[0][USED_SLOTS - 1].nCount);
    ResetStation(0);
}
BENCHMARK(AddSample_SteadyState)->Arg(20)->Arg(1);

void Guard_WriteOnly(benchmark::State &state)
{
    for (auto _ : state) {
        if (WaitToWrite(&MeteoDataGuard, INFINITE) == 0)
            DoneWriting(&MeteoDataGuard);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Guard_WriteOnly);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TraceLevel = 0;
    Initialize(&MeteoDataGuard, METEODATA_GUARD_NAME);
    StationCount = 1;

    CRatioReporter reporter;
    reporter.Compare("AddSample_SteadyState/1", "AddSample_SteadyState/20");
    reporter.Compare("AddSample_SteadyState/20", "Guard_WriteOnly");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    Delete(&MeteoDataGuard);
    return 0;
}
