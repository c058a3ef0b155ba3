#include "client/Report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace pelmora {
namespace {

// The drivers' value for "no reading"; shown as "--" and as null.
constexpr double NO_READING = -9999.0;

bool HasValue(double value) { return std::isfinite(value) && value != NO_READING; }

std::string Fixed(double value, int decimals)
{
    if (!HasValue(value))
        return "--";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Direction(double degrees)
{
    if (!HasValue(degrees))
        return "--";
    char text[64];
    std::snprintf(text, sizeof text, "%.0f\u00b0 %s", degrees, CompassPoint(degrees));
    return text;
}

// Columns on a terminal: UTF-8 continuation bytes take no room.
size_t Width(const std::string &text)
{
    size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++width;
    return width;
}

void PadLeft(std::string &line, const std::string &text, size_t width)
{
    const size_t w = Width(text);
    if (w < width)
        line.append(width - w, ' ');
    line += text;
}

// A heading over one or more columns; `subs` names the columns under it when there are several.
struct Group {
    std::string title;
    std::vector<std::string> subs;
    size_t Columns() const { return subs.empty() ? 1 : subs.size(); }
};

struct Row {
    std::vector<std::string> cells;  // one per column, or the leading ones before `message`
    std::string message;             // an answer without data: its status after the cells
};

const char COLUMN_GAP[] = "  ";

std::string Render(const std::vector<Group> &groups, const std::vector<Row> &rows)
{
    std::vector<size_t> widths;
    bool twoLineHeader = false;
    for (const Group &g : groups) {
        for (size_t i = 0; i < g.Columns(); ++i)
            widths.push_back(g.subs.empty() ? 0 : Width(g.subs[i]));
        twoLineHeader = twoLineHeader || !g.subs.empty();
    }
    for (const Row &row : rows)
        for (size_t i = 0; i < row.cells.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], Width(row.cells[i]));

    // A heading wider than its columns widens the last of them.
    std::vector<size_t> spans;
    size_t column = 0;
    for (const Group &g : groups) {
        size_t span = 0;
        for (size_t i = 0; i < g.Columns(); ++i)
            span += widths[column + i] + (i > 0 ? 2 : 0);
        if (Width(g.title) > span) {
            widths[column + g.Columns() - 1] += Width(g.title) - span;
            span = Width(g.title);
        }
        spans.push_back(span);
        column += g.Columns();
    }

    std::string out;
    std::string line;
    for (size_t i = 0; i < groups.size(); ++i) {
        if (i > 0)
            line += COLUMN_GAP;
        PadLeft(line, groups[i].title, spans[i]);
    }
    out += line + "\n";
    if (twoLineHeader) {
        line.clear();
        column = 0;
        for (const Group &g : groups) {
            for (size_t i = 0; i < g.Columns(); ++i) {
                if (column > 0)
                    line += COLUMN_GAP;
                PadLeft(line, g.subs.empty() ? std::string() : g.subs[i], widths[column]);
                ++column;
            }
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    for (const Row &row : rows) {
        line.clear();
        for (size_t i = 0; i < row.cells.size(); ++i) {
            if (i > 0)
                line += COLUMN_GAP;
            PadLeft(line, row.cells[i], widths[i]);
        }
        if (!row.message.empty())
            line += COLUMN_GAP + row.message;
        out += line + "\n";
    }
    return out;
}

const char *StatusText(AnswerStatus status)
{
    switch (status) {
    case AnswerStatus::StationNotConfigured: return "station not configured";
    case AnswerStatus::WindowOutOfRange: return "window out of range";
    case AnswerStatus::NoReadings: return "no readings yet";
    case AnswerStatus::Data: break;
    }
    return "";
}

const char *StatusKey(AnswerStatus status)
{
    switch (status) {
    case AnswerStatus::Data: return "ok";
    case AnswerStatus::StationNotConfigured: return "station-not-configured";
    case AnswerStatus::WindowOutOfRange: return "window-out-of-range";
    case AnswerStatus::NoReadings: return "no-readings";
    }
    return "";
}

std::string WindowText(DWORD nSlot) { return std::to_string(WindowMinutes(nSlot)) + " min"; }

Row WindowRow(const Answer &a)
{
    const MeteoReading &r = a.reading;
    Row row;
    row.cells = {std::to_string(a.nStationNumber), WindowText(a.nSlot)};
    const AnswerStatus status = StatusOf(a);
    if (status != AnswerStatus::Data) {
        row.message = StatusText(status);
        return row;
    }
    const std::vector<std::string> values = {
        std::to_string(r.nCount),
        IsoTime(r.ftTime),
        Fixed(r.dWindSpeed, 1),
        Fixed(r.dCurWindSpeed, 1),
        Direction(r.dWindDir),
        Direction(r.dCurWindDir),
        HasValue(r.dWindStdDir) ? Fixed(r.dWindStdDir, 1) + "\u00b0" : "--",
        Fixed(r.dOutsideTemp, 1),
        Fixed(r.dCurOutsideTemp, 1),
        Fixed(r.dHumidity, 0),
        Fixed(r.dCurHumidity, 0),
        Fixed(r.dRain, 1),
        Fixed(r.dCurRain, 1),
        Fixed(r.dPressure, 1),
        Fixed(r.dCurPressure, 1),
        Fixed(r.dSolar, 0),
        Fixed(r.dCurSolar, 0),
    };
    row.cells.insert(row.cells.end(), values.begin(), values.end());
    return row;
}

// In a latest-reading response the reading sits in the average fields.
Row LatestRow(const Answer &a)
{
    const MeteoReading &r = a.reading;
    Row row;
    row.cells = {std::to_string(a.nStationNumber)};
    const AnswerStatus status = StatusOf(a);
    if (status != AnswerStatus::Data) {
        row.message = StatusText(status);
        return row;
    }
    const std::vector<std::string> values = {
        IsoTime(r.ftTime),        Fixed(r.dWindSpeed, 1), Direction(r.dWindDir),
        Fixed(r.dOutsideTemp, 1), Fixed(r.dHumidity, 0),  Fixed(r.dRain, 1),
        Fixed(r.dPressure, 1),    Fixed(r.dSolar, 0),
    };
    row.cells.insert(row.cells.end(), values.begin(), values.end());
    return row;
}

nlohmann::ordered_json Number(double value)
{
    return HasValue(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json Compass(double degrees)
{
    return HasValue(degrees) ? nlohmann::ordered_json(CompassPoint(degrees))
                             : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json Values(double windSpeed, double windDir, double outsideTemp, double humidity,
                              double rain, double pressure, double solar)
{
    nlohmann::ordered_json v;
    v["windSpeed"] = Number(windSpeed);
    v["windDirection"] = Number(windDir);
    v["windCompass"] = Compass(windDir);
    v["outsideTemperature"] = Number(outsideTemp);
    v["humidity"] = Number(humidity);
    v["rain"] = Number(rain);
    v["pressure"] = Number(pressure);
    v["solarRadiation"] = Number(solar);
    return v;
}

}  // namespace

AnswerStatus StatusOf(const Answer &answer)
{
    switch (answer.reading.nStation) {
    case STATION_NOT_CONFIGURED: return AnswerStatus::StationNotConfigured;
    case SLOT_OUT_OF_RANGE: return AnswerStatus::WindowOutOfRange;
    case WINDOW_EMPTY: return AnswerStatus::NoReadings;
    default: return AnswerStatus::Data;
    }
}

int ExitCodeFor(ClientFailure failure)
{
    switch (failure) {
    case ClientFailure::ConnectionRefused: return exitcode::CONNECTION_REFUSED;
    case ClientFailure::TimedOut: return exitcode::TIMED_OUT;
    case ClientFailure::NotAGreeting: return exitcode::NOT_A_GREETING;
    case ClientFailure::RefusedByServer: return exitcode::REFUSED_BY_SERVER;
    case ClientFailure::DigestMismatch: return exitcode::DIGEST_MISMATCH;
    case ClientFailure::HostNotFound:
    case ClientFailure::ConnectionLost:
    case ClientFailure::UnexpectedResponse:
    case ClientFailure::SocketError: break;
    }
    return exitcode::FAILURE;
}

int ExitCodeFor(AnswerStatus status)
{
    switch (status) {
    case AnswerStatus::Data: return exitcode::OK;
    case AnswerStatus::StationNotConfigured: return exitcode::STATION_NOT_CONFIGURED;
    case AnswerStatus::WindowOutOfRange: return exitcode::WINDOW_OUT_OF_RANGE;
    case AnswerStatus::NoReadings: return exitcode::NO_READINGS;
    }
    return exitcode::FAILURE;
}

const char *ExitCodeHelp()
{
    return "Exit codes:\n"
           "   0  every response carried readings\n"
           "   1  other failure (host not found, connection lost, unexpected answer)\n"
           "   2  wrong command line\n"
           "   3  connection refused\n"
           "   4  time-out\n"
           "   5  the server's first record is not a greeting\n"
           "   6  the server refused the connection\n"
           "   7  a response failed its digest check\n"
           "   8  station not configured\n"
           "   9  window out of range\n"
           "  10  no readings yet\n"
           "With several responses, the first one without readings sets the code.\n"
           "Units: km/h, degrees, degrees Celsius, %, mm, hPa, W/m2.";
}

DWORD WindowMinutes(DWORD nSlot) { return 5 * (nSlot + 1); }

const char *CompassPoint(double degrees)
{
    static const char *const points[16] = {"N", "NNE", "NE", "ENE", "E", "ESE", "SE", "SSE",
                                           "S", "SSW", "SW", "WSW", "W", "WNW", "NW", "NNW"};
    if (!HasValue(degrees))
        return "-";
    double d = std::fmod(degrees, 360.0);
    if (d < 0)
        d += 360.0;
    // Each point is the middle of a 22.5-degree sector.
    return points[int(std::floor(d / 22.5 + 0.5)) % 16];
}

std::string IsoTime(const FILETIME &time)
{
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&time, &st))
        return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned(st.wYear),
                  unsigned(st.wMonth), unsigned(st.wDay), unsigned(st.wHour), unsigned(st.wMinute),
                  unsigned(st.wSecond));
    return text;
}

std::string FormatTable(const std::vector<Answer> &answers)
{
    const bool latest = !answers.empty() && answers.front().latest;
    std::vector<Group> groups;
    std::vector<Row> rows;
    if (latest) {
        groups = {{"Station", {}},   {"Time (UTC)", {}},   {"Wind km/h", {}},
                  {"Direction", {}}, {"Temp \u00b0C", {}}, {"Humidity %", {}},
                  {"Rain mm", {}},   {"Pressure hPa", {}}, {"Solar W/m\u00b2", {}}};
        for (const Answer &a : answers)
            rows.push_back(LatestRow(a));
    } else {
        const std::vector<std::string> pair = {"avg", "latest"};
        groups = {{"Station", {}},    {"Window", {}},         {"Samples", {}},
                  {"Time (UTC)", {}}, {"Wind km/h", pair},    {"Direction", pair},
                  {"Spread", {}},     {"Temp \u00b0C", pair}, {"Humidity %", pair},
                  {"Rain mm", pair},  {"Pressure hPa", pair}, {"Solar W/m\u00b2", pair}};
        for (const Answer &a : answers)
            rows.push_back(WindowRow(a));
    }
    return Render(groups, rows);
}

std::string FormatJson(const Answer &answer)
{
    const MeteoReading &r = answer.reading;
    const AnswerStatus status = StatusOf(answer);
    nlohmann::ordered_json j;
    j["station"] = answer.nStationNumber;
    j["status"] = StatusKey(status);
    j["mode"] = answer.latest ? "latest" : "window";
    j["window"] = answer.nSlot;
    j["windowMinutes"] = WindowMinutes(answer.nSlot);
    if (status == AnswerStatus::Data) {
        j["time"] = IsoTime(r.ftTime);
        if (answer.latest) {
            j["latest"] = Values(r.dWindSpeed, r.dWindDir, r.dOutsideTemp, r.dHumidity, r.dRain,
                                 r.dPressure, r.dSolar);
        } else {
            j["samples"] = r.nCount;
            j["average"] = Values(r.dWindSpeed, r.dWindDir, r.dOutsideTemp, r.dHumidity, r.dRain,
                                  r.dPressure, r.dSolar);
            j["average"]["windDirectionSpread"] = Number(r.dWindStdDir);
            j["latest"] = Values(r.dCurWindSpeed, r.dCurWindDir, r.dCurOutsideTemp, r.dCurHumidity,
                                 r.dCurRain, r.dCurPressure, r.dCurSolar);
        }
    }
    return j.dump();
}

std::string StatusMessage(const Answer &answer)
{
    const std::string station = "station " + std::to_string(answer.nStationNumber);
    switch (StatusOf(answer)) {
    case AnswerStatus::StationNotConfigured: return station + " is not configured";
    case AnswerStatus::WindowOutOfRange:
        return "window " + std::to_string(answer.nSlot) + " is out of range (windows are 0 to 11)";
    case AnswerStatus::NoReadings:
        if (answer.latest)
            return station + " has no readings in the last hour yet";
        return station + " has no readings in window " + std::to_string(answer.nSlot) + " (" +
               WindowText(answer.nSlot) + ") yet";
    case AnswerStatus::Data: break;
    }
    return "";
}

}  // namespace pelmora
