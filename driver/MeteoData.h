// The reading record that a station driver fills for the service, and the driver's exports.
// Shared by the service and every driver; its layout is the contract between them.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "MeteoData is exchanged little-endian"
#endif

// Calling convention of the driver exports: the callee removes the arguments on 32-bit
// Windows; one convention elsewhere.
#if defined(_WIN32)
#define METEO_DRIVER_CALL __stdcall
#else
#define METEO_DRIVER_CALL
#endif

// -9999.0 in any value of the record means that there is no reading.
constexpr double METEODATA_MISSING = -9999.0;

constexpr int32_t METEODATA_SIZE = 64;         // a version-1 record
constexpr int32_t METEODATA_BUFFER_SIZE = 68;  // what the service provides: room for nSequence

// Packed: a field of a record inside an array or a larger struct may be misaligned, so take
// fields by value rather than binding references or pointers to them.
#pragma pack(push, 1)

// One reading, little-endian, no padding. Version 1 ends at byte 64.
struct MeteoData {
    int32_t nSize;        // record size: 64 for version 1, 68 for version 2 and higher
    int32_t nVersion;     // 1, or 2 and higher when nSequence follows the record
    double dWindSpeed;    // km/h, cut to one decimal
    double dWindDir;      // degrees
    double dOutsideTemp;  // degrees Celsius
    double dHumidity;     // percent
    double dRain;         // storm rain, mm
    double dPressure;     // hPa
    double dSolar;        // solar radiation
};

// The caller's buffer: a record followed by the reading counter of version 2 and higher.
// A version-1 driver never touches nSequence.
struct MeteoDataBuffer {
    MeteoData Data;
    uint32_t nSequence;  // changes with every new reading
};

#pragma pack(pop)

static_assert(sizeof(double) == 8, "MeteoData needs 64-bit doubles");
static_assert(sizeof(MeteoData) == 64, "MeteoData is 64 bytes");
static_assert(sizeof(MeteoDataBuffer) == 68, "MeteoDataBuffer is 68 bytes");
static_assert(offsetof(MeteoData, nSize) == 0, "MeteoData layout");
static_assert(offsetof(MeteoData, nVersion) == 4, "MeteoData layout");
static_assert(offsetof(MeteoData, dWindSpeed) == 8, "MeteoData layout");
static_assert(offsetof(MeteoData, dWindDir) == 16, "MeteoData layout");
static_assert(offsetof(MeteoData, dOutsideTemp) == 24, "MeteoData layout");
static_assert(offsetof(MeteoData, dHumidity) == 32, "MeteoData layout");
static_assert(offsetof(MeteoData, dRain) == 40, "MeteoData layout");
static_assert(offsetof(MeteoData, dPressure) == 48, "MeteoData layout");
static_assert(offsetof(MeteoData, dSolar) == 56, "MeteoData layout");
static_assert(offsetof(MeteoDataBuffer, Data) == 0, "MeteoDataBuffer layout");
static_assert(offsetof(MeteoDataBuffer, nSequence) == 64, "MeteoDataBuffer layout");

// The three exports every driver offers, bound by name:
//   OpenPort()                  -> handle, null when the station cannot be reached
//   GetData(handle, record)     -> greater than 0 when the record holds a reading
//   ClosePort(handle)           -> frees the handle, always 1
// The record points to 64 bytes (68 when the driver writes version 2 or higher).
typedef void *(METEO_DRIVER_CALL *PFN_OPENPORT)();
typedef int32_t(METEO_DRIVER_CALL *PFN_GETDATA)(void *hPort, MeteoData *pData);
typedef int32_t(METEO_DRIVER_CALL *PFN_CLOSEPORT)(void *hPort);
