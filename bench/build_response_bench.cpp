// Answering one request from the station table, beside the reader side of the guard alone,
// which every answer pays.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "acquisition/StationTable.h"
#include "bench/RatioReporter.h"
#include "dataserver/BuildResponse.h"
#include "dataserver/Seal.h"
#include "service/Globals.h"
#include "service/Log.h"

namespace {

void FillStation()
{
    StationCount = 1;
    ResetStation(0);
    for (int i = 0; i < 180; ++i) {  // one hour of readings, every 20 seconds
        auto *s = new MeteoSample{};
        const ULONGLONG t = 133485408000000000ULL + ULONGLONG(i) * 20 * 10000000ULL;
        s->ftTime.dwLowDateTime = DWORD(t);
        s->dWindSpeed = 3 + i % 5;
        s->dWindDir = 180 + i % 40;
        s->dCos = std::cos(s->dWindDir / 360 * 2 * 3.14159265358979323846);
        s->dSin = std::sin(s->dWindDir / 360 * 2 * 3.14159265358979323846);
        s->ftTime.dwHighDateTime = DWORD(t >> 32);
        s->dOutsideTemp = 12;
        s->dHumidity = 70;
        s->dPressure = 1010;
        s->dSolar = 250;
        AddSample(0, s, false);
    }
}

QueryData Query(LONG nOperation)
{
    QueryData q;
    std::memset(&q, 0, sizeof q);
    q.nSize = QUERY_DATA_SIZE;
    q.nOperation = nOperation;
    q.nStationNumber = 1;
    q.nSlot = 11;
    return q;
}

void BuildResponse_Window(benchmark::State &state)
{
    const QueryData q = Query(0);
    MeteoResponse response;
    for (auto _ : state) {
        BuildResponse(reinterpret_cast<const BYTE *>(&q), response);
        benchmark::DoNotOptimize(&response);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BuildResponse_Window);

void BuildResponse_Latest(benchmark::State &state)
{
    const QueryData q = Query(1);
    MeteoResponse response;
    for (auto _ : state) {
        BuildResponse(reinterpret_cast<const BYTE *>(&q), response);
        benchmark::DoNotOptimize(&response);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BuildResponse_Latest);

void Guard_ReadOnly(benchmark::State &state)
{
    for (auto _ : state) {
        if (WaitToRead(&MeteoDataGuard, INFINITE) == 0)
            DoneReading(&MeteoDataGuard);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Guard_ReadOnly);

// What a pool worker does for one request message: key schedule, build, seal.
void AnswerOneRequest(benchmark::State &state)
{
    const QueryData q = Query(0);
    for (auto _ : state) {
        pelmora::SaferKey key;
        pelmora::ExpandSealKey(key);
        MeteoResponse response;
        BuildResponse(reinterpret_cast<const BYTE *>(&q), response);
        auto sealed = pelmora::Seal(response, key);
        benchmark::DoNotOptimize(sealed.get());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(AnswerOneRequest);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TraceLevel = 0;
    Initialize(&MeteoDataGuard, METEODATA_GUARD_NAME);
    FillStation();

    CRatioReporter reporter;
    reporter.Compare("BuildResponse_Window", "Guard_ReadOnly");
    reporter.Compare("BuildResponse_Latest", "Guard_ReadOnly");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    ResetStation(0);
    Delete(&MeteoDataGuard);
    return 0;
}
