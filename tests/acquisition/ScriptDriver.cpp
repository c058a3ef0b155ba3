// A scripted station driver for the connector tests (see ScriptDriver.h).
#include "ScriptDriver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#if defined(_WIN32)
#define SCRIPT_EXPORT extern "C" __declspec(dllexport)
#else
#define SCRIPT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::mutex lock;
std::condition_variable changed;
std::vector<ScriptStep> script;
size_t nextStep = 0;
bool repeatLast = false;
ScriptCounts counts{};
std::vector<int64_t> getTimes;
std::map<std::thread::id, int> opensByThread;
int port = 0;

[[maybe_unused]] int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool HaveStep() { return nextStep < script.size() || (repeatLast && !script.empty()); }

}  // namespace

SCRIPT_EXPORT void *METEO_DRIVER_CALL OpenPort()
{
    std::lock_guard<std::mutex> guard(lock);
    ++counts.nOpenPort;
    ++opensByThread[std::this_thread::get_id()];
    changed.notify_all();
    if (!HaveStep()) {
        return nullptr;
    }
    ++counts.nOpenPortOk;
    return &port;
}

#ifndef SCRIPT_DRIVER_WITHOUT_GETDATA
SCRIPT_EXPORT int32_t METEO_DRIVER_CALL GetData(void *, MeteoData *pData)
{
    std::lock_guard<std::mutex> guard(lock);
    ++counts.nGetData;
    getTimes.push_back(NowMs());
    if (!HaveStep()) {
        return -1;
    }
    const ScriptStep &step = nextStep < script.size() ? script[nextStep++] : script.back();
    const size_t size = step.record.Data.nVersion > 1 ? sizeof(MeteoDataBuffer) : sizeof(MeteoData);
    std::memcpy(pData, &step.record, size);
    return step.nResult;
}
#endif

SCRIPT_EXPORT int32_t METEO_DRIVER_CALL ClosePort(void *hPort)
{
    std::lock_guard<std::mutex> guard(lock);
    ++counts.nClosePort;
    if (hPort == nullptr) {
        ++counts.nNullClose;
    }
    return 1;
}

SCRIPT_EXPORT void ScriptLoad(const ScriptStep *pSteps, int32_t nSteps, int32_t bRepeatLast)
{
    std::lock_guard<std::mutex> guard(lock);
    script.assign(pSteps, pSteps + nSteps);
    nextStep = 0;
    repeatLast = bRepeatLast != 0;
    counts = ScriptCounts{};
    getTimes.clear();
    opensByThread.clear();
}

SCRIPT_EXPORT void ScriptGetCounts(ScriptCounts *pCounts)
{
    std::lock_guard<std::mutex> guard(lock);
    *pCounts = counts;
}

SCRIPT_EXPORT int32_t ScriptGetTimes(int64_t *pMs, int32_t nMax)
{
    std::lock_guard<std::mutex> guard(lock);
    int32_t n = 0;
    for (; n < nMax && size_t(n) < getTimes.size(); ++n) {
        pMs[n] = getTimes[size_t(n)];
    }
    return n;
}

SCRIPT_EXPORT int32_t ScriptWaitThreads(int32_t nThreads, int32_t nOpens, int32_t nTimeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(nTimeoutMs), [&] {
        int ready = 0;
        for (const auto &entry : opensByThread) {
            if (entry.second >= nOpens) {
                ++ready;
            }
        }
        return ready >= nThreads;
    });
}

SCRIPT_EXPORT int32_t ScriptWaitOpens(int32_t nOpens, int32_t nTimeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(nTimeoutMs),
                            [&] { return counts.nOpenPort >= nOpens; });
}
