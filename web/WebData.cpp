#include "web/WebData.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "acquisition/Counters.h"
#include "dataserver/Counters.h"

namespace web {

namespace {

constexpr LONGLONG UnixEpochAsFiletime = 116444736000000000LL;
constexpr LONGLONG FiletimeUnitsPerSecond = 10000000LL;

Values SampleValues(const MeteoSample &s)
{
    Values v;
    v.time = FiletimeToUnix(s.ftTime);
    v.windSpeed = s.dWindSpeed;
    v.windDir = s.dWindDir;
    v.temperature = s.dOutsideTemp;
    v.humidity = s.dHumidity;
    v.rain = s.dRain;
    v.pressure = s.dPressure;
    v.solar = s.dSolar;
    return v;
}

// As the data server divides them, so both give the same numbers.
Window SlotWindow(const AverageSlot &slot)
{
    Window w;
    w.samples = slot.nCount;
    if (slot.nCount == 0)
        return w;
    const double count = double(slot.nCount);
    w.average.time = FiletimeToUnix(slot.ftLast);
    w.average.windSpeed = slot.dSumWindSpeed / count;
    if (w.average.windSpeed < 0)
        w.average.windSpeed = 0.0;
    w.average.windDir = slot.dWindMeanDir;
    w.average.temperature = slot.dSumOutsideTemp / count;
    w.average.humidity = slot.dSumHumidity / count;
    w.average.rain = slot.dSumRain / count;
    w.average.pressure = slot.dSumPressure / count;
    w.average.solar = slot.dSumSolar / count;
    w.dirMean = slot.dWindMeanDir;
    w.dirSpread = slot.dWindStdDir;
    return w;
}

// NaN and infinities have no JSON form: they are missing values.
nlohmann::json Number(double d) { return std::isfinite(d) ? nlohmann::json(d) : nlohmann::json(); }

// The number of n decimal digits at p, or -1 when one of them is not a digit.
int Digits(const char *p, int n)
{
    int value = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

nlohmann::json WindowJson(int index, const Window &w)
{
    nlohmann::json j;
    j["window"] = index;
    j["minutes"] = (index + 1) * 5;
    j["samples"] = w.samples;
    if (w.samples == 0) {
        j["time"] = nullptr;
        for (const char *key : {"wind_speed", "wind_dir", "temperature", "humidity", "rain",
                                "pressure", "solar", "wind_dir_mean", "wind_dir_spread"})
            j[key] = nullptr;
        return j;
    }
    j.update(ValuesJson(w.average, true));
    j["wind_dir_mean"] = Number(w.dirMean);
    j["wind_dir_spread"] = w.dirSpread < 0 ? nlohmann::json() : Number(w.dirSpread);
    return j;
}

void Metric(std::string &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string &out, const char *name, int station, double value)
{
    char line[160];
    if (station > 0)
        std::snprintf(line, sizeof line, "%s{station=\"%d\"} %.17g\n", name, station, value);
    else
        std::snprintf(line, sizeof line, "%s %.17g\n", name, value);
    out += line;
}

}  // namespace

LONGLONG FiletimeToUnix(const FILETIME &ft)
{
    const LONGLONG t = (LONGLONG(ft.dwHighDateTime) << 32) | LONGLONG(ft.dwLowDateTime);
    return (t - UnixEpochAsFiletime) / FiletimeUnitsPerSecond;
}

LONGLONG NowUnix()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return FiletimeToUnix(ft);
}

std::string IsoTime(LONGLONG unixSeconds)
{
    LONGLONG days = unixSeconds / 86400;
    LONGLONG rest = unixSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const LONGLONG z = days + 719468;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const LONGLONG doe = z - era * 146097;
    const LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const LONGLONG mp = (5 * doy + 2) / 153;
    const LONGLONG d = doy - (153 * mp + 2) / 5 + 1;
    const LONGLONG m = mp < 10 ? mp + 3 : mp - 9;
    const LONGLONG y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return text;
}

void CopyBlock(const AverageSlot *block, bool withHour, StationCopy &copy)
{
    copy = StationCopy();
    for (int v = 0; v < USED_SLOTS; ++v)
        copy.windows[v] = SlotWindow(block[v]);
    const AverageSlot &hour = block[USED_SLOTS - 1];
    if (hour.nCount == 0 || hour.pNewest == nullptr)
        return;
    copy.hasReading = true;
    copy.newest = SampleValues(*hour.pNewest);
    if (!withHour)
        return;
    // Newest first back to the window's oldest sample, then turned around.
    for (const MeteoSample *s = hour.pNewest; s != nullptr && copy.hour.size() < MaxHourSamples;
         s = s->pPrev) {
        copy.hour.push_back(SampleValues(*s));
        if (s == hour.pOldest)
            break;
    }
    std::reverse(copy.hour.begin(), copy.hour.end());
}

bool CopyStation(int index, bool withHour, StationCopy &copy, DWORD timeoutMs)
{
    if (index < 0 || index >= STATION_BLOCKS)
        return false;
    if (WaitToRead(&MeteoDataGuard, timeoutMs) != 0)
        return false;
    CopyBlock(StationTable[index], withHour, copy);
    DoneReading(&MeteoDataGuard);
    return true;
}

nlohmann::json ValuesJson(const Values &v, bool withTime)
{
    nlohmann::json j;
    if (withTime)
        j["time"] = IsoTime(v.time);
    j["wind_speed"] = Number(v.windSpeed);
    j["wind_dir"] = Number(v.windDir);
    j["temperature"] = Number(v.temperature);
    j["humidity"] = Number(v.humidity);
    j["rain"] = Number(v.rain);
    j["pressure"] = Number(v.pressure);
    j["solar"] = Number(v.solar);
    return j;
}

nlohmann::json StationJson(const StationInfo &info, const StationCopy &copy, LONGLONG now,
                           bool allWindows)
{
    nlohmann::json j;
    j["number"] = info.number;
    j["id"] = info.id;
    j["driver"] = info.driver;
    if (copy.hasReading) {
        j["latest"] = ValuesJson(copy.newest, true);
        j["age_seconds"] = now - copy.newest.time;
    } else {
        j["latest"] = nullptr;
        j["age_seconds"] = nullptr;
    }
    j["average_10min"] = WindowJson(1, copy.windows[1]);
    if (allWindows) {
        nlohmann::json windows = nlohmann::json::array();
        for (int v = 0; v < USED_SLOTS; ++v)
            windows.push_back(WindowJson(v, copy.windows[v]));
        j["windows"] = windows;
    }
    return j;
}

nlohmann::json HourJson(const StationInfo &info, const StationCopy &copy)
{
    nlohmann::json samples = nlohmann::json::array();
    for (const Values &v : copy.hour)
        samples.push_back(ValuesJson(v, true));
    return {{"number", info.number}, {"samples", samples}};
}

bool ParseDay(const std::string &text, SYSTEMTIME &day)
{
    if (text.size() != 8 || Digits(text.c_str(), 8) < 0)
        return false;
    const int y = Digits(text.c_str(), 4);
    const int m = Digits(text.c_str() + 4, 2);
    const int d = Digits(text.c_str() + 6, 2);
    static const int daysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1601 || m < 1 || m > 12 || d < 1)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > daysIn[m - 1] + (m == 2 && leap ? 1 : 0))
        return false;
    day = SYSTEMTIME{};
    day.wYear = WORD(y);
    day.wMonth = WORD(m);
    day.wDay = WORD(d);
    return true;
}

nlohmann::json DayRowsJson(const std::string &fileText)
{
    static const char *const keys[] = {
        "wind_speed", "wind_dir", "wind_dir_mean", "wind_dir_spread", "temperature", "humidity",
        "rain",       "pressure", "solar"};
    nlohmann::json rows = nlohmann::json::array();
    std::istringstream in(fileText);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // "yyyymmdd hh:mm:ss" and a tab
        const char *t = line.c_str();
        if (line.size() < 18 || Digits(t, 8) < 0 || t[8] != ' ' || Digits(t + 9, 2) < 0 ||
            t[11] != ':' || Digits(t + 12, 2) < 0 || t[14] != ':' || Digits(t + 15, 2) < 0 ||
            t[17] != '\t')
            continue;
        const std::string iso = line.substr(0, 4) + '-' + line.substr(4, 2) + '-' +
                                line.substr(6, 2) + 'T' + line.substr(9, 8) + 'Z';
        nlohmann::json row;
        row["time"] = iso;
        const char *p = t + 17;
        bool ok = true;
        for (const char *key : keys) {
            if (*p != '\t') {
                ok = false;
                break;
            }
            char *end = nullptr;
            const double value = std::strtod(p + 1, &end);
            if (end == p + 1) {
                ok = false;
                break;
            }
            row[key] = Number(value);
            p = end;
        }
        if (ok)
            rows.push_back(row);
    }
    return rows;
}

Counts StationCounts(int index)
{
    Counts c;
    if (index < 0 || index >= STATION_BLOCKS)
        return c;
    const StationCounters &s = StationStats[index];
    c.accepted = s.accepted.load(std::memory_order_relaxed);
    c.dropped = s.dropped.load(std::memory_order_relaxed);
    c.dbCalls = s.dbCalls.load(std::memory_order_relaxed);
    c.dbFailures = s.dbFailures.load(std::memory_order_relaxed);
    c.dbConnected = s.dbConnected.load(std::memory_order_relaxed);
    c.dbWaiting = s.dbWaiting.load(std::memory_order_relaxed);
    return c;
}

std::string MetricsText(const std::vector<StationInfo> &stations,
                        const std::vector<StationCopy> &copies, LONGLONG now,
                        LONGLONG uptimeSeconds, uint64_t httpRequests)
{
    std::string out;
    struct Counter {
        const char *name, *help;
        uint64_t Counts::*field;
    };
    static const Counter counters[] = {
        {"pelmora_readings_accepted_total", "Readings added to the station table.",
         &Counts::accepted},
        {"pelmora_readings_dropped_total", "Readings refused as invalid.", &Counts::dropped},
        {"pelmora_database_calls_total", "Database calls made.", &Counts::dbCalls},
        {"pelmora_database_failures_total", "Database calls that did not store the reading.",
         &Counts::dbFailures},
    };
    std::vector<Counts> counts;
    counts.reserve(stations.size());
    for (const StationInfo &info : stations)
        counts.push_back(StationCounts(info.number - 1));
    for (const Counter &c : counters) {
        Metric(out, c.name, "counter", c.help);
        for (size_t i = 0; i < stations.size(); ++i)
            Sample(out, c.name, stations[i].number, double(counts[i].*c.field));
    }
    Metric(out, "pelmora_database_connected", "gauge", "1 while a database connection is open.");
    for (size_t i = 0; i < stations.size(); ++i)
        Sample(out, "pelmora_database_connected", stations[i].number,
               counts[i].dbConnected ? 1 : 0);
    Metric(out, "pelmora_database_backlog_rows", "gauge",
           "Readings waiting in the backlog for the database.");
    for (size_t i = 0; i < stations.size(); ++i)
        Sample(out, "pelmora_database_backlog_rows", stations[i].number,
               double(counts[i].dbWaiting));

    struct Gauge {
        const char *name, *help;
        double Values::*field;
    };
    static const Gauge gauges[] = {
        {"pelmora_wind_speed_kmh", "Newest wind speed, km/h.", &Values::windSpeed},
        {"pelmora_wind_direction_degrees", "Newest wind direction.", &Values::windDir},
        {"pelmora_temperature_celsius", "Newest outside temperature.", &Values::temperature},
        {"pelmora_humidity_percent", "Newest relative humidity.", &Values::humidity},
        {"pelmora_rain_mm", "Newest rain.", &Values::rain},
        {"pelmora_pressure_hpa", "Newest air pressure.", &Values::pressure},
        {"pelmora_solar_watts_per_square_metre", "Newest solar radiation.", &Values::solar},
    };
    Metric(out, "pelmora_reading_age_seconds", "gauge", "Age of the newest reading.");
    for (size_t i = 0; i < stations.size() && i < copies.size(); ++i)
        if (copies[i].hasReading)
            Sample(out, "pelmora_reading_age_seconds", stations[i].number,
                   double(now - copies[i].newest.time));
    for (const Gauge &g : gauges) {
        Metric(out, g.name, "gauge", g.help);
        for (size_t i = 0; i < stations.size() && i < copies.size(); ++i)
            if (copies[i].hasReading && std::isfinite(copies[i].newest.*g.field))
                Sample(out, g.name, stations[i].number, copies[i].newest.*g.field);
    }

    Metric(out, "pelmora_dataserver_connections_total", "counter",
           "Connections the data server accepted.");
    Sample(out, "pelmora_dataserver_connections_total", 0,
           double(DataServerConnections.load(std::memory_order_relaxed)));
    Metric(out, "pelmora_dataserver_requests_total", "counter",
           "Requests the data server answered.");
    Sample(out, "pelmora_dataserver_requests_total", 0,
           double(DataServerRequests.load(std::memory_order_relaxed)));
    Metric(out, "pelmora_http_requests_total", "counter", "Requests the web face answered.");
    Sample(out, "pelmora_http_requests_total", 0, double(httpRequests));
    Metric(out, "pelmora_uptime_seconds", "gauge", "Seconds since the web face started.");
    Sample(out, "pelmora_uptime_seconds", 0, double(uptimeSeconds));
    return out;
}

}  // namespace web
