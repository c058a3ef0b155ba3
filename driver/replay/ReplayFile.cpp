#include "driver/replay/ReplayFile.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

bool IsTimeStamp(const std::string &s)
{
    static const char kPattern[] = "dddddddd dd:dd:dd";
    if (s.size() != sizeof(kPattern) - 1)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if (kPattern[i] == 'd' ? !digit : s[i] != kPattern[i])
            return false;
    }
    return true;
}

bool ParseNumber(const std::string &s, double &value)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

bool ParseLine(const std::string &line, ReplayRow &row, std::string &error)
{
    std::vector<std::string> columns;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type tab = line.find('\t', start);
        columns.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    if (columns.size() != 10) {
        error = "expected 10 tab-separated columns, found " + std::to_string(columns.size());
        return false;
    }
    if (!IsTimeStamp(columns[0])) {
        error = "time stamp \"" + columns[0] + "\" is not YYYYMMDD hh:mm:ss";
        return false;
    }
    row.strTime = columns[0];
    // Columns 4 and 5 are the averaged direction and its spread: the service works them out
    // again from the readings.
    double *fields[10] = {nullptr,        &row.dWindSpeed,   &row.dWindDir,  nullptr,
                          nullptr,        &row.dOutsideTemp, &row.dHumidity, &row.dRain,
                          &row.dPressure, &row.dSolar};
    for (size_t i = 1; i < 10; ++i) {
        double value = 0.0;
        if (!ParseNumber(columns[i], value)) {
            error = "column " + std::to_string(i + 1) + " is not a number: \"" + columns[i] + "\"";
            return false;
        }
        if (fields[i] != nullptr)
            *fields[i] = value;
    }
    return true;
}

}  // namespace

bool ParseReplayFile(const std::string &text, std::vector<ReplayRow> &rows, std::string &error)
{
    rows.clear();
    std::vector<ReplayRow> parsed;
    std::string::size_type start = 0;
    for (unsigned nLine = 1; start < text.size(); ++nLine) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ReplayRow row{};
        std::string what;
        if (!ParseLine(line, row, what)) {
            error = "line " + std::to_string(nLine) + ": " + what;
            return false;
        }
        parsed.push_back(row);
    }
    rows.swap(parsed);
    return true;
}
