// The three exports of a station driver library (see MeteoData.h for their contract).
#pragma once

#include "driver/MeteoData.h"

#if defined(_WIN32)
// Names and ordinals come from the library's module-definition file.
#define METEO_DRIVER_EXPORT extern "C"
#else
#define METEO_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

METEO_DRIVER_EXPORT void *METEO_DRIVER_CALL OpenPort();
METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL GetData(void *hPort, MeteoData *pData);
METEO_DRIVER_EXPORT int32_t METEO_DRIVER_CALL ClosePort(void *hPort);
