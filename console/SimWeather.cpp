#include "console/SimWeather.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLatitude = 48.0;  // degrees north: the sun's height depends on it
constexpr double kYearDays = 365.2425;

// One step of a value that wanders around dMean and is drawn back to it within dTau seconds,
// with a long-run spread of dSpread.
double Wander(double dValue, double dMean, double dTau, double dSpread, double dt, double dNoise)
{
    const double pull = std::min(1.0, dt / dTau);
    return dValue + (dMean - dValue) * pull + dSpread * std::sqrt(pull * (2.0 - pull)) * dNoise;
}

}  // namespace

CWeather::CWeather(uint32_t nSeed) : m_rng(nSeed) {}

UnitCodes CWeather::Units(bool bImperial)
{
    // Imperial: deg F, in, inHg, mph. Metric: deg C, mm, hPa, km/h.
    if (bImperial)
        return UnitCodes{0, 0, 0, 0, 0};
    return UnitCodes{1, 1, 3, 2, 0};
}

WeatherReading CWeather::Next(double dNow, double dUtcOffsetHours, bool bImperial)
{
    // A first reading starts from a random but settled state; later ones move on by the time
    // passed, at most six hours' worth (a simulator left closed overnight does not jump).
    double dt = 20.0;
    if (!m_bStarted) {
        m_bStarted = true;
        m_dTempOffset = 1.5 * Normal();
        m_dCloud = std::clamp(0.45 + 0.25 * Normal(), 0.0, 1.0);
        m_dPressure = 1013.0 + 8.0 * Normal();
        m_dMeanWind = std::max(2.0, 12.0 + 5.0 * Normal());
        m_dDirection = std::uniform_real_distribution<double>(0.0, 360.0)(m_rng);
    } else {
        dt = std::clamp(dNow - m_dLast, 0.0, 6.0 * 3600.0);
    }
    m_dLast = dNow;

    m_dTempOffset = Wander(m_dTempOffset, 0.0, 12 * 3600.0, 2.0, dt, Normal());
    m_dCloud = std::clamp(Wander(m_dCloud, 0.45, 3 * 3600.0, 0.3, dt, Normal()), 0.0, 1.0);
    m_dPressure =
        std::clamp(Wander(m_dPressure, 1013.0, 96 * 3600.0, 6.0, dt, Normal()), 960.0, 1050.0);
    m_dMeanWind = std::clamp(Wander(m_dMeanWind, 12.0, 2 * 3600.0, 6.0, dt, Normal()), 0.0, 80.0);
    m_dDirection += (20.0 / 60.0) * std::sqrt(dt) * Normal();
    m_dDirection = std::fmod(std::fmod(m_dDirection, 360.0) + 360.0, 360.0);

    // Rain falls under thick cloud; storm rain is cleared after a day without rain.
    const bool bRaining = m_dCloud > 0.8;
    if (bRaining) {
        const double mmPerHour = 8.0 * (m_dCloud - 0.8) / 0.2 * std::max(0.2, 1.0 + 0.5 * Normal());
        m_dStormRain += mmPerHour * dt / 3600.0;
        m_dDrySeconds = 0.0;
    } else {
        m_dDrySeconds += dt;
        if (m_dDrySeconds > 24 * 3600.0)
            m_dStormRain = 0.0;
    }

    const double days = dNow / 86400.0;
    const double dayOfYear = std::fmod(days, kYearDays);
    const double hour = std::fmod(std::fmod(dNow / 3600.0 + dUtcOffsetHours, 24.0) + 24.0, 24.0);

    const double seasonal = 9.0 - 9.0 * std::cos(2 * kPi * (dayOfYear - 15.0) / kYearDays);
    const double daily = (4.0 + 3.0 * (1.0 - m_dCloud)) * std::cos(2 * kPi * (hour - 15.0) / 24.0);
    const double temp = seasonal + daily + m_dTempOffset;

    const double humidity = std::clamp(
        72.0 - 3.0 * daily + 20.0 * (m_dCloud - 0.45) + (bRaining ? 12.0 : 0.0), 15.0, 100.0);

    const double declination = 23.44 * std::sin(2 * kPi * (dayOfYear - 80.0) / kYearDays);
    const double lat = kLatitude * kPi / 180.0;
    const double dec = declination * kPi / 180.0;
    const double hourAngle = (hour - 12.0) * 15.0 * kPi / 180.0;
    const double sinHeight =
        std::sin(lat) * std::sin(dec) + std::cos(lat) * std::cos(dec) * std::cos(hourAngle);
    const double solar = 1000.0 * std::max(0.0, sinHeight) * (1.0 - 0.75 * m_dCloud * m_dCloud);

    const double gust = std::max(0.0, m_dMeanWind * (1.0 + 0.35 * Normal()));
    double direction = std::round(m_dDirection + 10.0 * Normal());
    direction = std::fmod(std::fmod(direction, 360.0) + 360.0, 360.0);

    WeatherReading r{};
    r.nWindDir = static_cast<int16_t>(direction == 0.0 ? 360.0 : direction);
    r.nHumidity = static_cast<int16_t>(std::lround(humidity));
    r.nSolar = static_cast<int16_t>(std::lround(solar));
    if (bImperial) {
        r.fWindSpeed = static_cast<float>(gust / 1.609344);
        r.fOutsideTemp = static_cast<float>(temp * 1.8 + 32.0);
        r.fStormRain = static_cast<float>(m_dStormRain / 25.4);
        r.fBarometer = static_cast<float>(m_dPressure / 33.86389);
    } else {
        r.fWindSpeed = static_cast<float>(gust);
        r.fOutsideTemp = static_cast<float>(temp);
        r.fStormRain = static_cast<float>(m_dStormRain);
        r.fBarometer = static_cast<float>(m_dPressure);
    }
    return r;
}
