// Weather mode of the console simulator: plausible readings that change slowly.
//
// Temperature follows the season and a daily curve (coolest before sunrise, warmest in the
// afternoon); clouds, pressure, the mean wind and its direction wander; gusts ride on the mean
// wind; humidity falls as the day warms; sunshine follows the sun's height and the clouds;
// storm rain collects while it rains and is cleared after a dry spell.
#pragma once

#include "console/VantagePro.h"

#include <cstdint>
#include <random>

struct WeatherReading {
    float fWindSpeed;    // km/h, or mph when imperial
    float fOutsideTemp;  // deg C, or deg F
    float fStormRain;    // mm, or in
    float fBarometer;    // hPa, or inHg
    int16_t nWindDir;    // 1..360 degrees
    int16_t nHumidity;   // percent
    int16_t nSolar;      // W/m2
};

class CWeather {
public:
    explicit CWeather(uint32_t nSeed);

    // The reading at the given time (seconds since 1970, UTC); the state moves on by the time
    // passed since the previous reading. dUtcOffsetHours places the station's local noon.
    WeatherReading Next(double dNow, double dUtcOffsetHours, bool bImperial);

    // Unit codes of the readings Next delivers.
    static UnitCodes Units(bool bImperial);

private:
    double Normal() { return m_normal(m_rng); }

    std::mt19937 m_rng;
    std::normal_distribution<double> m_normal{0.0, 1.0};
    bool m_bStarted = false;
    double m_dLast = 0.0;
    double m_dTempOffset = 0.0;  // deg C off the climate curve
    double m_dCloud = 0.3;       // 0 clear .. 1 overcast
    double m_dPressure = 1013.0;
    double m_dMeanWind = 10.0;  // km/h
    double m_dDirection = 240.0;
    double m_dStormRain = 0.0;  // mm
    double m_dDrySeconds = 0.0;
};
