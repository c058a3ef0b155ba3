// The wire records of the data protocol: the request QueryData and the response MeteoResponse.
// Both are packed and little-endian, the byte order of every host we build for.
#pragma once

#include "platform/win32.h"

#include <cstddef>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The wire records are little-endian and are laid over memory as they are"
#endif

constexpr DWORD QUERY_DATA_SIZE = 128;
constexpr DWORD METEO_RESPONSE_SIZE = 304;
constexpr DWORD METEO_RESPONSE_DATA_SIZE = 288;  // the part covered by the digest

constexpr LONG METEO_RESPONSE_VERSION = 2;
constexpr LONG GREETING_VERSION = 1;

// nStation of a response that carries no data.
constexpr LONG STATION_NOT_CONFIGURED = -1;
constexpr LONG SLOT_OUT_OF_RANGE = -2;
constexpr LONG WINDOW_EMPTY = 0;

constexpr DWORD AVERAGE_SLOTS_IN_USE = 12;

#pragma pack(push, 1)

struct QueryData {
    DWORD nSize;           // 128; its low two bytes are also the framing length
    LONG nOperation;       // 0: window averages, otherwise the latest reading
    DWORD nStationNumber;  // 1 for the first configured station
    DWORD nSlot;           // averaging window 0 to 11
    BYTE reserved[112];
};

struct MeteoResponse {
    LONG nSize;
    LONG nVersion;
    FILETIME ftTime;
    double dWindSpeed;
    double dWindDir;
    double dWindStdDir;
    BYTE reserved1[16];
    double dOutsideTemp;
    double dHumidity;
    double dRain;
    double dPressure;
    double dSolar;
    double dCurWindSpeed;
    double dCurWindDir;
    double dCurOutsideTemp;
    double dCurHumidity;
    double dCurRain;
    double dCurPressure;
    double dCurSolar;
    DWORD nCount;
    LONG nStation;
    BYTE reserved2[128];
    BYTE digest[16];  // MD5 of bytes 0-287
};

#pragma pack(pop)

static_assert(sizeof(QueryData) == QUERY_DATA_SIZE, "QueryData is 128 bytes");
static_assert(offsetof(QueryData, nSize) == 0, "QueryData layout");
static_assert(offsetof(QueryData, nOperation) == 4, "QueryData layout");
static_assert(offsetof(QueryData, nStationNumber) == 8, "QueryData layout");
static_assert(offsetof(QueryData, nSlot) == 12, "QueryData layout");
static_assert(offsetof(QueryData, reserved) == 16, "QueryData layout");

static_assert(sizeof(MeteoResponse) == METEO_RESPONSE_SIZE, "MeteoResponse is 304 bytes");
static_assert(sizeof(FILETIME) == 8, "FILETIME is two 32-bit words");
static_assert(sizeof(double) == 8, "doubles are IEEE 754 binary64");
static_assert(offsetof(MeteoResponse, nSize) == 0, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, nVersion) == 4, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, ftTime) == 8, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dWindSpeed) == 16, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dWindDir) == 24, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dWindStdDir) == 32, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, reserved1) == 40, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dOutsideTemp) == 56, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dHumidity) == 64, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dRain) == 72, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dPressure) == 80, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dSolar) == 88, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurWindSpeed) == 96, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurWindDir) == 104, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurOutsideTemp) == 112, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurHumidity) == 120, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurRain) == 128, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurPressure) == 136, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, dCurSolar) == 144, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, nCount) == 152, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, nStation) == 156, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, reserved2) == 160, "MeteoResponse layout");
static_assert(offsetof(MeteoResponse, digest) == METEO_RESPONSE_DATA_SIZE, "MeteoResponse layout");

// The record a client receives on connecting: nSize 304, nVersion 1, every other byte 0.
// It is sent as it is, not sealed.
MeteoResponse MakeGreeting();
