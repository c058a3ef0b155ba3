// Replaydrv: a station driver that replays a recorded daily measurement file, one line per
// GetData, as version-2 records whose nSequence counts the lines delivered.
//
// Replaydrv.ini beside this library, read at every OpenPort:
//   [Settings]
//   File   the measurement file to replay; a relative name is taken from this folder
//   Loop   0 (default): after the last line, GetData keeps delivering the last line with the
//          same nSequence, which the service drops as "no new reading";
//          1: start again at the first line, nSequence counting on
//
// The replay position belongs to the loaded library, since the service opens and closes the
// port around every reading. To poll several stations in one process, give each station its
// own copy of the library in its own folder (Driver=station7/Replaydrv.so), each with its own
// Replaydrv.ini: every copy is loaded separately and replays its own file. Calls are
// serialised, so stations sharing one copy take turns at its lines.
//
// Naming another file starts that one from its first line. A file that cannot be read or
// parsed is reported on stderr and OpenPort returns null, as for a station that cannot be
// reached; the next OpenPort tries again.
#include "platform/win32.h"
#include "driver/DriverExports.h"
#include "driver/ModuleFolder.h"
#include "driver/replay/ReplayFile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ReplayPort {
    bool bLoop;
};

const char kAnchor = 0;  // an address inside this library, to find its file
const HMODULE g_hModule = ModuleOf(&kAnchor);

struct Replay {
    Replay() { InitializeCriticalSection(&cs); }
    ~Replay() { DeleteCriticalSection(&cs); }

    CRITICAL_SECTION cs;
    std::string strPath;  // the file in rows; empty until one was read
    std::vector<ReplayRow> rows;
    size_t nNext = 0;
    uint32_t nSequence = 0;
    size_t nLast = 0;  // the row that went out with nSequence
    std::string strLastMessage;
};

Replay g_replay;

class Lock {
public:
    Lock() { EnterCriticalSection(&g_replay.cs); }
    ~Lock() { LeaveCriticalSection(&g_replay.cs); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

void Complain(const std::string &text)
{
    // OpenPort is retried every half second while it fails: say each problem once.
    if (text == g_replay.strLastMessage)
        return;
    g_replay.strLastMessage = text;
    std::fprintf(stderr, "Replaydrv: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string Resolve(const char *szName, const char *szIni)
{
    std::string name = szName;
    if (name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'))
        return name;
    char szDrive[_MAX_DRIVE] = "";
    char szDir[_MAX_DIR] = "";
    _splitpath(szIni, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir + name;
}

bool Load(const std::string &path)
{
    if (path == g_replay.strPath)
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Complain("cannot read " + path);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<ReplayRow> rows;
    std::string error;
    if (!ParseReplayFile(text.str(), rows, error)) {
        Complain(path + ": " + error);
        return false;
    }
    g_replay.rows.swap(rows);
    g_replay.strPath = path;
    g_replay.nNext = 0;
    g_replay.strLastMessage.clear();
    return true;
}

}  // namespace

METEO_DRIVER_EXPORT void *METEO_DRIVER_CALL OpenPort()
{
    char szIni[MAX_PATH];
    BesideModule(g_hModule, "Replaydrv.ini", szIni);
    char szFile[MAX_PATH] = "";
    GetPrivateProfileStringA("Settings", "File", "", szFile, sizeof(szFile), szIni);
    const bool bLoop = GetPrivateProfileIntA("Settings", "Loop", 0, szIni) != 0;

    Lock lock;
    if (szFile[0] == '\0') {
        Complain(std::string(szIni) + ": [Settings] File names no file to replay");
        return nullptr;
    }
    if (!Load(Resolve(szFile, szIni)))
        return nullptr;
    return new ReplayPort{bLoop};
}

METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL GetData(void *hPort, MeteoData *pData)
{
    if (pData == nullptr)
        return -1;
    // The caller provides room for nSequence (68 bytes), as for any version-2 driver.
    MeteoDataBuffer *pBuffer = reinterpret_cast<MeteoDataBuffer *>(pData);
    std::memset(pBuffer, 0, sizeof(MeteoDataBuffer));
    pBuffer->Data.nSize = METEODATA_BUFFER_SIZE;
    pBuffer->Data.nVersion = 2;
    if (hPort == nullptr)
        return -1;
    const ReplayPort *pPort = static_cast<const ReplayPort *>(hPort);

    Lock lock;
    if (g_replay.rows.empty())
        return 0;
    if (g_replay.nNext >= g_replay.rows.size() && pPort->bLoop)
        g_replay.nNext = 0;
    if (g_replay.nNext < g_replay.rows.size()) {
        g_replay.nLast = g_replay.nNext++;
        ++g_replay.nSequence;
    }
    // At the end without Loop the last line goes out again, under its old sequence number.
    const ReplayRow &row = g_replay.rows[g_replay.nLast];
    pBuffer->Data.dWindSpeed = row.dWindSpeed;
    pBuffer->Data.dWindDir = row.dWindDir;
    pBuffer->Data.dOutsideTemp = row.dOutsideTemp;
    pBuffer->Data.dHumidity = row.dHumidity;
    pBuffer->Data.dRain = row.dRain;
    pBuffer->Data.dPressure = row.dPressure;
    pBuffer->Data.dSolar = row.dSolar;
    pBuffer->nSequence = g_replay.nSequence;
    return 1;
}

METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL ClosePort(void *hPort)
{
    delete static_cast<ReplayPort *>(hPort);
    return 1;
}
