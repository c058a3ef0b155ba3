// Daily measurement files as the acquisition writes them, read back for replay: one reading
// per line, ten tab-separated columns (time stamp "YYYYMMDD hh:mm:ss", wind speed, wind
// direction, 10-minute mean direction, its spread, temperature, humidity, rain, pressure,
// solar radiation), lines ended by CR LF (a bare LF is accepted too).
#pragma once

#include <string>
#include <vector>

struct ReplayRow {
    std::string strTime;
    double dWindSpeed;
    double dWindDir;
    double dOutsideTemp;
    double dHumidity;
    double dRain;
    double dPressure;
    double dSolar;
};

// Parses a whole file. A malformed line makes it fail with "line N: what is wrong" in error;
// rows are then left empty. An empty file has no rows and is not an error.
bool ParseReplayFile(const std::string &text, std::vector<ReplayRow> &rows, std::string &error);
