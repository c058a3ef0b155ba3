// The SDK calls of VantagePro.h: a simulated console, or real consoles on serial lines or TCP.
//
// Settings: the file named by the environment variable PELMORA_VANTAGESIM_INI, else
// VantageSim.ini beside the program, else VantageSim.ini beside this library (one copy of the
// library serves a process, whichever station's copy was loaded first); read at every
// OpenCommPort_V (and by a CloseCommPort_V that comes before any open).
// No file: weather mode.
//
//   [Simulator]
//   Mode       weather (default), script, or serial (real consoles)
//   Device     serial mode: the device of a port that [Ports] does not name
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
//   [Ports]    serial mode: N=device for port N of OpenCommPort_V: a serial device (/dev/ttyUSB0,
//              COM3) or tcp:HOST:PORT; without one, /dev/ttyS<N-1> on Linux and COM<N> on Windows
//
// A script is read when the settings first name it; naming another file starts that one from
// its first line. A script that cannot be read or parsed is reported on stderr and the port
// does not open. In the simulated modes every call is serialised and the port and the loaded
// data are one per process. In serial mode each calling thread has its own port and loaded
// data (one station's sequence runs on one thread), talks to its console without holding the
// lock, and a device open on one thread is refused to another.
#include "platform/win32.h"
#include "console/ConsoleLink.h"
#include "console/ConsoleProtocol.h"
#include "console/SimScript.h"
#include "console/SimWeather.h"
#include "console/VantagePro.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kAnchor = 0;  // an address inside this library, to find its file
const char kSection[] = "Simulator";

enum class Mode { Weather, Script, Serial };

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
    std::string strPath;  // the settings file
};

// A real console's port, owned by the thread that opened it.
struct SerialPort {
    std::string strDevice;
    std::unique_ptr<console::CConsoleLink> link;  // null while the thread is still opening it
    uint8_t nCollector = 0;
    bool bLoaded = false;
    console::ConsoleValues values;
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

    std::map<DWORD, std::unique_ptr<SerialPort>> serial;  // by thread
};

Console g_console;

class Lock {
public:
    Lock() { EnterCriticalSection(&g_console.cs); }
    ~Lock()
    {
        if (m_bHeld)
            LeaveCriticalSection(&g_console.cs);
    }
    // Lets go while a thread talks to its console, and takes the lock again.
    void Unlock()
    {
        m_bHeld = false;
        LeaveCriticalSection(&g_console.cs);
    }
    void Relock()
    {
        EnterCriticalSection(&g_console.cs);
        m_bHeld = true;
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    bool m_bHeld = true;
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

// VantageSim.ini beside the module, or empty when its path is not known.
std::string BesideModule(HMODULE hModule)
{
    char szModule[MAX_PATH] = "";
    if (GetModuleFileNameA(hModule, szModule, MAX_PATH) == 0)
        return "";
    char szDrive[_MAX_DRIVE] = "";
    char szDir[_MAX_DIR] = "";
    _splitpath(szModule, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir + "VantageSim.ini";
}

std::string SettingsPath()
{
    const char *env = std::getenv("PELMORA_VANTAGESIM_INI");
    if (env != nullptr && env[0] != '\0')
        return env;
    std::string program = BesideModule(nullptr);
    if (!program.empty() && GetFileAttributesA(program.c_str()) != INVALID_FILE_ATTRIBUTES)
        return program;
    HMODULE hSelf = nullptr;
    const std::string library = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                   &kAnchor, &hSelf)
                                    ? BesideModule(hSelf)
                                    : "";
    return library.empty() ? "VantageSim.ini" : library;
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

std::string ReadString(const char *key, const std::string &path, const char *section = kSection)
{
    char szValue[MAX_PATH] = "";
    GetPrivateProfileStringA(section, key, "", szValue, sizeof(szValue), path.c_str());
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
    } else if (mode == "serial") {
        s.eMode = Mode::Serial;
    } else if (!mode.empty() && mode != "weather") {
        Complain(path + ": unknown Mode \"" + mode + "\" (weather, script or serial)");
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
    s.strPath = path;
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

// The calling thread's real console, or null.
SerialPort *ThreadPort()
{
    const auto it = g_console.serial.find(GetCurrentThreadId());
    return it == g_console.serial.end() ? nullptr : it->second.get();
}

// The device of port nPort: [Ports] N, else [Simulator] Device, else the system's n-th port.
std::string DeviceOf(int16_t nPort)
{
    const std::string &path = g_console.settings.strPath;
    std::string device = ReadString(std::to_string(nPort).c_str(), path, "Ports");
    if (device.empty())
        device = ReadString("Device", path);
    if (device.empty() && nPort >= 1) {
#ifdef _WIN32
        device = "COM" + std::to_string(nPort);
#else
        device = "/dev/ttyS" + std::to_string(nPort - 1);
#endif
    }
    return device;
}

// Serial mode's open, entered under the lock: reserves the device for this thread, then opens
// it and reads the rain collector's size without the lock.
int16_t OpenSerial(int16_t nPort, int32_t nSpeed, Lock &lock)
{
    if (ThreadPort() != nullptr)
        return -1;
    const std::string device = DeviceOf(nPort);
    if (device.empty()) {
        Complain(g_console.settings.strPath + ": port " + std::to_string(nPort) +
                 " names no device");
        return -1;
    }
    for (const auto &entry : g_console.serial) {
        if (entry.second->strDevice == device) {
            Complain(device + ": in use by another station");
            return -1;
        }
    }
    auto reserved = std::make_unique<SerialPort>();
    reserved->strDevice = device;
    SerialPort *pPort = reserved.get();
    g_console.serial[GetCurrentThreadId()] = std::move(reserved);
    lock.Unlock();

    std::string error;
    std::unique_ptr<console::CConsoleLink> link =
        console::OpenConsoleLink(device, nSpeed, console::kCallBudgetMs, error);
    uint8_t nCollector = 0;
    const bool bOpen = link && console::CConsoleSession(*link).ReadCollector(nCollector);
    if (link && !bOpen)
        error = device + ": the console does not answer";

    lock.Relock();
    if (!bOpen) {
        Complain(error);
        g_console.serial.erase(GetCurrentThreadId());
        return -1;
    }
    g_console.strLastMessage.clear();  // a later fault is worth saying again
    pPort->link = std::move(link);
    pPort->nCollector = nCollector;
    return 0;
}

}  // namespace

VANTAGEPRO_API int16_t VANTAGEPRO_CALL OpenCommPort_V(int16_t nPort, int32_t nSpeed)
{
    Lock lock;
    ReadSettings();
    Report("OpenCommPort_V %d %ld", nPort, static_cast<long>(nSpeed));
    if (g_console.settings.bValid && g_console.settings.eMode == Mode::Serial)
        return OpenSerial(nPort, nSpeed, lock);
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
    if (SerialPort *pPort = ThreadPort()) {
        // Only this thread uses or removes its port: it is read without the lock.
        pPort->bLoaded = false;
        lock.Unlock();
        console::LoopPacket packet;
        const bool bRead = console::CConsoleSession(*pPort->link).ReadLoop(packet);
        lock.Relock();
        if (!bRead) {
            Complain(pPort->strDevice + ": no current data from the console");
            return -1;
        }
        pPort->values = console::ValuesOf(packet, pPort->nCollector);
        pPort->bLoaded = true;
        return 0;
    }
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
    if (const SerialPort *pPort = ThreadPort()) {
        if (pUnits == nullptr)
            return -1;
        if (pPort->bLoaded)
            *pUnits = pPort->values.units;
        return 0;
    }
    if (pUnits == nullptr || !g_console.bOpen)
        return -1;
    if (g_console.settings.eMode == Mode::Weather)
        *pUnits = CWeather::Units(g_console.settings.bImperial);
    else if (g_console.current.bHasUnits)
        *pUnits = g_console.current.Units;
    return 0;
}

namespace {

// A getter's value: the thread's console's, the loaded script line's or weather reading's,
// else the dash value.
template <typename T>
T Value(const char *name, T ScriptStep::*scriptField, T WeatherReading::*weatherField,
        T console::ConsoleValues::*serialField, T dash)
{
    Lock lock;
    Report("%s", name);
    if (const SerialPort *pPort = ThreadPort())
        return pPort->bLoaded ? pPort->values.*serialField : dash;
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
                 &console::ConsoleValues::nWindDir, VANTAGE_DASH_WINDDIR);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetOutsideTemp_V()
{
    return Value("GetOutsideTemp_V", &ScriptStep::fOutsideTemp, &WeatherReading::fOutsideTemp,
                 &console::ConsoleValues::fOutsideTemp, VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetOutsideHumidity_V()
{
    return Value("GetOutsideHumidity_V", &ScriptStep::nHumidity, &WeatherReading::nHumidity,
                 &console::ConsoleValues::nHumidity, VANTAGE_DASH_SHORT);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetStormRain_V()
{
    return Value("GetStormRain_V", &ScriptStep::fStormRain, &WeatherReading::fStormRain,
                 &console::ConsoleValues::fStormRain, VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetBarometer_V()
{
    return Value("GetBarometer_V", &ScriptStep::fBarometer, &WeatherReading::fBarometer,
                 &console::ConsoleValues::fBarometer, VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API float VANTAGEPRO_CALL GetWindSpeed_V()
{
    return Value("GetWindSpeed_V", &ScriptStep::fWindSpeed, &WeatherReading::fWindSpeed,
                 &console::ConsoleValues::fWindSpeed, VANTAGE_DASH_FLOAT);
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetSolarRad_V()
{
    return Value("GetSolarRad_V", &ScriptStep::nSolar, &WeatherReading::nSolar,
                 &console::ConsoleValues::nSolar, VANTAGE_DASH_SHORT);
}

VANTAGEPRO_API int16_t VANTAGEPRO_CALL CloseCommPort_V()
{
    Lock lock;
    if (!g_console.bSettingsRead)
        ReadSettings();
    Report("CloseCommPort_V");
    const auto it = g_console.serial.find(GetCurrentThreadId());
    if (it != g_console.serial.end()) {
        std::unique_ptr<SerialPort> port = std::move(it->second);
        g_console.serial.erase(it);
        lock.Unlock();
        return 0;  // the port closes as it goes
    }
    g_console.bOpen = false;
    g_console.bLoaded = false;
    return 0;
}
