// A simulated console behind the SDK calls of VantagePro.h.
//
// Settings: the file named by the environment variable PELMORA_VANTAGESIM_INI, else
// VantageSim.ini beside this library; read at every OpenCommPort_V (and by a CloseCommPort_V
// that comes before any open).
// No file: weather mode.
//
//   [Simulator]
//   Mode       weather (default) or script
//   Script     script mode: the script (SimScript.h), relative to the settings' folder
//   Loop       script mode: 1 starts the script again after its last line; 0 (default) leaves
//              the port refusing to open from then on, like a console that went away
//   Report     optional file to which every call is appended with its arguments
//   Seed       weather mode: the course of the weather, started afresh when the seed changes;
//              0 (default) = a new course every start
//   UtcOffset  weather mode: hours the station's clock is ahead of UTC (default 1)
//   Imperial   weather mode: 1 delivers deg F, in, inHg and mph (unit codes 0); default 0
//   Clock      weather mode: a fixed time, seconds since 1970 UTC; 0 (default) = the real clock
//
// A script is read when the settings first name it; naming another file starts that one from
// its first line. A script that cannot be read or parsed is reported on stderr and the port
// does not open. Every call is serialised; the port and the loaded data are one per process.
#include "platform/win32.h"
#include "console/SimScript.h"
#include "console/SimWeather.h"
#include "console/VantagePro.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kAnchor = 0;  // an address inside this library, to find its file
const char kSection[] = "Simulator";

enum class Mode { Weather, Script };

struct Settings {
    Mode eMode = Mode::Weather;
    bool bValid = true;  // false: the settings name no usable mode (reported)
    std::string strScript;
    std::string strReport;
    bool bLoop = false;
    uint32_t nSeed = 0;
    double dUtcOffset = 1.0;
    bool bImperial = false;
    uint32_t nClock = 0;
};

struct Console {
    Console() { InitializeCriticalSection(&cs); }
    ~Console() { DeleteCriticalSection(&cs); }

    CRITICAL_SECTION cs;
    Settings settings;
    bool bSettingsRead = false;
    bool bOpen = false;
    bool bLoaded = false;
    std::string strLastMessage;

    std::string strScriptPath;  // the script in steps; empty until one was read
    std::vector<ScriptStep> steps;
    size_t nNext = 0;
    ScriptStep current;

    std::unique_ptr<CWeather> weather;
    uint32_t nSeed = 0;  // the weather's seed
    WeatherReading reading{};
};

Console g_console;

class Lock {
public:
    Lock() { EnterCriticalSection(&g_console.cs); }
    ~Lock() { LeaveCriticalSection(&g_console.cs); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

void Complain(const std::string &text)
{
    // A test or a demo polls every few seconds: say each problem once, not at every poll.
    if (text == g_console.strLastMessage)
        return;
    g_console.strLastMessage = text;
    std::fprintf(stderr, "VantageSim: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string SettingsPath()
{
    const char *env = std::getenv("PELMORA_VANTAGESIM_INI");
    if (env != nullptr && env[0] != '\0')
        return env;
    char szModule[MAX_PATH] = "";
    HMODULE hSelf = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            &kAnchor, &hSelf) ||
        GetModuleFileNameA(hSelf, szModule, MAX_PATH) == 0)
        return "VantageSim.ini";
    char szDrive[_MAX_DRIVE] = "";
    char szDir[_MAX_DIR] = "";
    _splitpath(szModule, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir + "VantageSim.ini";
}

// A relative name is taken from the settings file's folder.
std::string Resolve(const std::string &name, const std::string &settingsPath)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'))
        return name;
    char szDrive[_MAX_DRIVE] = "";
    char szDir[_MAX_DIR] = "";
    _splitpath(settingsPath.c_str(), szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir + name;
}

std::string ReadString(const char *key, const std::string &path)
{
    char szValue[MAX_PATH] = "";
    GetPrivateProfileStringA(kSection, key, "", szValue, sizeof(szValue), path.c_str());
    return szValue;
}

void ReadSettings()
{
    const std::string path = SettingsPath();
    Settings s;
    const std::string mode = ReadString("Mode", path);
    if (mode == "script") {
        s.eMode = Mode::Script;
        const std::string script = ReadString("Script", path);
        if (script.empty()) {
            Complain(path + ": script mode needs Script=");
            s.bValid = false;
        }
        s.strScript = Resolve(script, path);
    } else if (!mode.empty() && mode != "weather") {
        Complain(path + ": unknown Mode \"" + mode + "\" (weather or script)");
        s.bValid = false;
    }
    const std::string report = ReadString("Report", path);
    s.strReport = report.empty() ? "" : Resolve(report, path);
    s.bLoop = GetPrivateProfileIntA(kSection, "Loop", 0, path.c_str()) != 0;
    s.nSeed = GetPrivateProfileIntA(kSection, "Seed", 0, path.c_str());
    s.dUtcOffset =
        static_cast<int32_t>(GetPrivateProfileIntA(kSection, "UtcOffset", 1, path.c_str()));
    s.bImperial = GetPrivateProfileIntA(kSection, "Imperial", 0, path.c_str()) != 0;
    s.nClock = GetPrivateProfileIntA(kSection, "Clock", 0, path.c_str());
    g_console.settings = s;
    g_console.bSettingsRead = true;
}

void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));

void Report(const char *format, ...)
{
    if (g_console.settings.strReport.empty())
        return;
    FILE *f = std::fopen(g_console.settings.strReport.c_str(), "ab");
    if (f == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
}

bool LoadScript()
{
    const std::string &path = g_console.settings.strScript;
    if (path == g_console.strScriptPath)
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Complain("cannot read the script " + path);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<ScriptStep> steps;
    std::string error;
    if (!ParseScript(text.str(), steps, error)) {
        Complain(path + ": " + error);
        return false;
    }
    g_console.steps.swap(steps);
    g_console.nNext = 0;
    g_console.strScriptPath = path;
    return true;
}

// Takes the script's next line for the port being opened; false when the port stays closed.
bool NextScriptStep()
{
    if (!LoadScript())
        return false;
    if (g_console.nNext >= g_console.steps.size()) {
        if (!g_console.settings.bLoop || g_console.steps.empty())
            return false;
        g_console.nNext = 0;
    }
    const ScriptStep &step = g_console.steps[g_console.nNext++];
    if (step.bOpenFails)
        return false;
    g_console.current = step;
    return true;
}

double SecondsSince1970()
{
    if (g_console.settings.nClock != 0)
        return g_console.settings.nClock;
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

uint32_t NewSeed()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(steady_clock::now().time_since_epoch().count() ^
                                 system_clock::now().time_since_epoch().count());
}

}  // namespace

VANTAGEPRO_API int16_t VANTAGEPRO_CALL OpenCommPort_V(int16_t nPort, int32_t nSpeed)
{
    Lock lock;
    ReadSettings();
    Report("OpenCommPort_V %d %ld", nPort, static_cast<long>(nSpeed));
    if (g_console.bOpen || !g_console.settings.bValid)
        return -1;
    if (g_console.settings.eMode == Mode::Script) {
        if (!NextScriptStep())
            return -1;
    } else if (!g_console.weather ||
               (g_console.settings.nSeed != 0 && g_console.settings.nSeed != g_console.nSeed)) {
        // Another seed starts another course of weather.
        g_console.nSeed = g_console.settings.nSeed != 0 ? g_console.settings.nSeed : NewSeed();
        g_console.weather = std::make_unique<CWeather>(g_console.nSeed);
    }
    g_console.bOpen = true;
    g_console.bLoaded = false;
    return 0;
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL LoadCurrentVantageData_V()
{
    Lock lock;
    Report("LoadCurrentVantageData_V");
    g_console.bLoaded = false;
    if (!g_console.bOpen)
        return -1;
    if (g_console.settings.eMode == Mode::Script) {
        if (g_console.current.bLoadFails)
            return -1;
    } else {
        g_console.reading = g_console.weather->Next(
            SecondsSince1970(), g_console.settings.dUtcOffset, g_console.settings.bImperial);
    }
    g_console.bLoaded = true;
    return 0;
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetUnits_V(UnitCodes *pUnits)
{
    Lock lock;
    Report("GetUnits_V");
    if (pUnits == nullptr || !g_console.bOpen)
        return -1;
    if (g_console.settings.eMode == Mode::Weather)
        *pUnits = CWeather::Units(g_console.settings.bImperial);
    else if (g_console.current.bHasUnits)
        *pUnits = g_console.current.Units;
    return 0;
}

namespace {

// A getter's value: the loaded script line's or weather reading's, else the dash value.
template <typename T>
T Value(const char *name, T ScriptStep::*scriptField, T WeatherReading::*weatherField, T dash)
{
    Lock lock;
    Report("%s", name);
    if (!g_console.bLoaded)
        return dash;
    if (g_console.settings.eMode == Mode::Script)
        return g_console.current.*scriptField;
    return g_console.reading.*weatherField;
}

}  // namespace

VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetWindDir_V()
{
    return Value("GetWindDir_V", &ScriptStep::nWindDir, &WeatherReading::nWindDir,
                 VANTAGE_DASH_WINDDIR);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetOutsideTemp_V()
{
    return Value("GetOutsideTemp_V", &ScriptStep::fOutsideTemp, &WeatherReading::fOutsideTemp,
                 VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetOutsideHumidity_V()
{
    return Value("GetOutsideHumidity_V", &ScriptStep::nHumidity, &WeatherReading::nHumidity,
                 VANTAGE_DASH_SHORT);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetStormRain_V()
{
    return Value("GetStormRain_V", &ScriptStep::fStormRain, &WeatherReading::fStormRain,
                 VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetBarometer_V()
{
    return Value("GetBarometer_V", &ScriptStep::fBarometer, &WeatherReading::fBarometer,
                 VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetWindSpeed_V()
{
    return Value("GetWindSpeed_V", &ScriptStep::fWindSpeed, &WeatherReading::fWindSpeed,
                 VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetSolarRad_V()
{
    return Value("GetSolarRad_V", &ScriptStep::nSolar, &WeatherReading::nSolar, VANTAGE_DASH_SHORT);
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL CloseCommPort_V()
{
    Lock lock;
    if (!g_console.bSettingsRead)
        ReadSettings();
    Report("CloseCommPort_V");
    g_console.bOpen = false;
    g_console.bLoaded = false;
    return 0;
}
