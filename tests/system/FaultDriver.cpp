// A station driver for the fault tests: it follows the script in FaultDriver.txt beside
// itself, one step per line, and then delivers good readings for ever.
//   openfail N                      the next N OpenPort calls return null
//   getdata R                       GetData returns R (0 or less) without a reading
//   record S V speed dir temp hum rain pressure solar [sequence]
//                                   GetData returns 1 with this record (nSize S, nVersion V;
//                                   values as strtod reads them: nan, inf and -inf too)
// The good readings after the script are version 1 with solar radiation 1000, 1001, ...
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "driver/DriverExports.h"

namespace {

struct Step {
    std::string kind;
    long count = 0;
    MeteoDataBuffer record{};
};

std::mutex g_lock;
bool g_loaded = false;
std::vector<Step> g_steps;
size_t g_next = 0;
unsigned g_good = 0;
int g_port = 0;

std::string ScriptPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ScriptPath), &info) == 0 || !info.dli_fname)
        return "FaultDriver.txt";
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
           "FaultDriver.txt";
}

double Number(std::istringstream &in)
{
    std::string word;
    in >> word;
    return std::strtod(word.c_str(), nullptr);
}

void Load()
{
    std::ifstream in(ScriptPath());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Step step;
        words >> step.kind;
        if (step.kind == "openfail" || step.kind == "getdata") {
            words >> step.count;
        } else if (step.kind == "record") {
            MeteoData &d = step.record.Data;
            words >> d.nSize >> d.nVersion;
            d.dWindSpeed = Number(words);
            d.dWindDir = Number(words);
            d.dOutsideTemp = Number(words);
            d.dHumidity = Number(words);
            d.dRain = Number(words);
            d.dPressure = Number(words);
            d.dSolar = Number(words);
            words >> step.record.nSequence;
        } else {
            continue;
        }
        g_steps.push_back(step);
    }
    g_loaded = true;
}

}  // namespace

METEO_DRIVER_EXPORT void *METEO_DRIVER_CALL OpenPort()
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_loaded)
        Load();
    if (g_next < g_steps.size() && g_steps[g_next].kind == "openfail") {
        if (g_steps[g_next].count > 0 && --g_steps[g_next].count >= 0)
            return nullptr;
        ++g_next;
    }
    return &g_port;
}

METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL GetData(void *, MeteoData *pData)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_next < g_steps.size()) {
        const Step &step = g_steps[g_next++];
        if (step.kind == "getdata")
            return int32_t(step.count);
        // A record of version 2 and higher carries its counter behind the 64 bytes.
        const size_t length =
            step.record.Data.nVersion > 1 ? sizeof(MeteoDataBuffer) : sizeof(MeteoData);
        std::memcpy(pData, &step.record, length);
        return 1;
    }
    MeteoData good{};
    good.nSize = 64;
    good.nVersion = 1;
    good.dWindSpeed = 5.0;
    good.dWindDir = 180.0;
    good.dOutsideTemp = 10.0;
    good.dHumidity = 50.0;
    good.dRain = 0.0;
    good.dPressure = 1013.0;
    good.dSolar = 1000.0 + g_good++;
    std::memcpy(pData, &good, sizeof good);
    return 1;
}

METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL ClosePort(void *) { return 1; }
