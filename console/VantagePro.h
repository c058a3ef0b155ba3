// The console SDK calls the station driver uses. The SDK holds the open port and the loaded
// current data itself, one of each per process; the calls carry no handle.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(VANTAGEPRO_BUILD)
#define VANTAGEPRO_API extern "C" __declspec(dllexport)
#else
#define VANTAGEPRO_API extern "C" __declspec(dllimport)
#endif
#define VANTAGEPRO_CALL __stdcall
#else
#define VANTAGEPRO_API extern "C" __attribute__((visibility("default")))
#define VANTAGEPRO_CALL
#endif

// Dash values: the getter has no reading for its quantity.
constexpr int16_t VANTAGE_DASH_WINDDIR = 32767;
constexpr int16_t VANTAGE_DASH_SHORT = -32768;  // humidity, solar radiation
constexpr float VANTAGE_DASH_FLOAT = -32768.0f;

#pragma pack(push, 1)
// The console's unit codes, exchanged with GetUnits_V.
struct UnitCodes {
    int8_t TempUnit;
    int8_t RainUnit;
    int8_t BaromUnit;
    int8_t WindUnit;
    int8_t ElevUnit;
};
#pragma pack(pop)
static_assert(sizeof(UnitCodes) == 5, "UnitCodes is five bytes");

// 0 = port open. One port per process: a second open before CloseCommPort_V is refused.
VANTAGEPRO_API int16_t VANTAGEPRO_CALL OpenCommPort_V(int16_t nPort, int32_t nSpeed);
// 0 = current data loaded for the getters below; fails when the port is not open.
VANTAGEPRO_API int16_t VANTAGEPRO_CALL LoadCurrentVantageData_V();
// Writes the console's five codes; leaves them as they are when the console reports none.
VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetUnits_V(UnitCodes *pUnits);
VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetWindDir_V();
VANTAGEPRO_API float VANTAGEPRO_CALL GetOutsideTemp_V();
VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetOutsideHumidity_V();
VANTAGEPRO_API float VANTAGEPRO_CALL GetStormRain_V();
VANTAGEPRO_API float VANTAGEPRO_CALL GetBarometer_V();
VANTAGEPRO_API float VANTAGEPRO_CALL GetWindSpeed_V();
VANTAGEPRO_API int16_t VANTAGEPRO_CALL GetSolarRad_V();
VANTAGEPRO_API int16_t VANTAGEPRO_CALL CloseCommPort_V();
