// Halmdrv: the station driver for the weather console, through the console SDK.
//
// Halmdrv.ini beside this library, read at every OpenPort and GetData:
//   [Settings] COMPORT (1), COMSPEED (19200)          serial port and speed for the SDK
//   [Units]    Barom, Wind, Elev, Temp, Rain          override the codes the console reports
//
// No lock is taken: the SDK holds one port and one loaded reading per process, so a caller
// runs one OpenPort - GetData - ClosePort sequence at a time.
#include "platform/win32.h"
#include "driver/DriverExports.h"
#include "driver/ModuleFolder.h"
#include "console/VantagePro.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The settings a port was opened with.
struct PortHandle {
    int32_t nComPort;
    int32_t nComSpeed;
};

const char kAnchor = 0;  // an address inside this library, to find its file

// This library's module, whose folder holds Halmdrv.ini; set while the library is attached.
const HMODULE g_hModule = ModuleOf(&kAnchor);

// A key's value as a signed byte: only the low 8 bits of the profile value count.
int8_t ReadCode(const char *szKey, int8_t nCurrent, const char *szIni)
{
    const UINT value = GetPrivateProfileIntA("Units", szKey, nCurrent, szIni);
    return static_cast<int8_t>(static_cast<uint8_t>(value & 0xFFu));
}

// Wind speed in km/h, cut to one decimal with a tolerance of 0.05 tenths.
double WindSpeed(double v, int8_t nCode)
{
    double w;
    switch (nCode) {
    case 0: w = v * 1.609344; break;  // mph
    case 1: w = v * 0.539956803456; break;
    case 2: w = v * 1.0; break;  // km/h
    case 3: w = v / 3.6; break;
    default: return METEODATA_MISSING;
    }
    return std::floor(w * 10.0 + 0.05) / 10.0;
}

double Temperature(double v, int8_t nCode)
{
    switch (nCode) {
    case 0: return (v - 32.0) / 1.8;  // deg F
    case 1: return v;                 // deg C
    default: return METEODATA_MISSING;
    }
}

double Pressure(double v, int8_t nCode)
{
    switch (nCode) {
    case 3: return v;             // hPa
    case 0: return v * 33.86389;  // inHg
    case 1: return v * 1.333224;  // mmHg
    case 2: return v * 33.86389;  // the same factor as inHg
    default: return METEODATA_MISSING;
    }
}

double Rain(double v, int8_t nCode)
{
    switch (nCode) {
    case 0: return v * 25.4;  // in
    case 1: return v;         // mm
    default: return METEODATA_MISSING;
    }
}

}  // namespace

METEO_DRIVER_EXPORT void *METEO_DRIVER_CALL OpenPort()
{
    PortHandle *pPort = new PortHandle();
    char szIni[MAX_PATH];
    BesideModule(g_hModule, "Halmdrv.ini", szIni);
    pPort->nComPort = static_cast<int32_t>(GetPrivateProfileIntA("Settings", "COMPORT", 1, szIni));
    pPort->nComSpeed =
        static_cast<int32_t>(GetPrivateProfileIntA("Settings", "COMSPEED", 19200, szIni));
    if (OpenCommPort_V(static_cast<int16_t>(pPort->nComPort & 0xFFFF), pPort->nComSpeed) != 0) {
        delete pPort;
        return nullptr;
    }
    return pPort;
}

METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL GetData(void * /*hPort*/, MeteoData *pData)
{
    if (pData == nullptr)
        return -1;
    char szIni[MAX_PATH];
    BesideModule(g_hModule, "Halmdrv.ini", szIni);

    // The record is set before the console is asked: a failed call leaves 64, 1 and zeros.
    std::memset(pData, 0, sizeof(MeteoData));
    pData->nSize = METEODATA_SIZE;
    pData->nVersion = 1;

    if (LoadCurrentVantageData_V() != 0)
        return -1;

    // The codes under which every value passes unconverted, unless the console says otherwise.
    UnitCodes units{1, 1, 3, 2, 0};
    GetUnits_V(&units);
    units.BaromUnit = ReadCode("Barom", units.BaromUnit, szIni);
    units.WindUnit = ReadCode("Wind", units.WindUnit, szIni);
    units.ElevUnit = ReadCode("Elev", units.ElevUnit, szIni);
    units.TempUnit = ReadCode("Temp", units.TempUnit, szIni);
    units.RainUnit = ReadCode("Rain", units.RainUnit, szIni);

    const double dWindDir = GetWindDir_V();
    const double dOutsideTemp = GetOutsideTemp_V();
    const double dHumidity = GetOutsideHumidity_V();
    const double dRain = GetStormRain_V();
    const double dPressure = GetBarometer_V();
    const double dWindSpeed = GetWindSpeed_V();
    const double dSolar = GetSolarRad_V();

    // A dash value means no reading and is never converted.
    const double kShortDash = -32768.0;
    const double kFloatDash = -32768.0;
    pData->dWindDir = dWindDir == 32767.0 ? METEODATA_MISSING : dWindDir;
    pData->dHumidity = dHumidity == kShortDash ? METEODATA_MISSING : dHumidity;
    pData->dSolar = dSolar == kShortDash ? METEODATA_MISSING : dSolar;
    pData->dWindSpeed =
        dWindSpeed == kFloatDash ? METEODATA_MISSING : WindSpeed(dWindSpeed, units.WindUnit);
    pData->dOutsideTemp =
        dOutsideTemp == kFloatDash ? METEODATA_MISSING : Temperature(dOutsideTemp, units.TempUnit);
    pData->dPressure =
        dPressure == kFloatDash ? METEODATA_MISSING : Pressure(dPressure, units.BaromUnit);
    pData->dRain = dRain == kFloatDash ? METEODATA_MISSING : Rain(dRain, units.RainUnit);
    return 1;
}

METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL ClosePort(void *hPort)
{
    delete static_cast<PortHandle *>(hPort);
    CloseCommPort_V();
    return 1;
}
