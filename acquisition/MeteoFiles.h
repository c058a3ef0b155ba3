// The daily measurement and debug files of a station: tab-separated text, CR LF line ends,
// one pair per station and UTC day in the report folder. Each call opens, appends and closes;
// no handle stays open. Only the station's own connector thread writes its files.
#pragma once

#include <string>

#include "acquisition/StationTable.h"
#include "driver/MeteoData.h"
#include "platform/win32.h"

// The report folder a non-empty [General] LogPath names: blanks around it removed and a folder
// separator appended unless it already ends in one ('\' or '/'). Empty when nothing but blanks
// is left, which leaves the current folder in force.
std::string ReportFolderFromLogPath(const char *pszLogPath);

// "yyyymmdd hh:mm:ss" of a UTC time.
std::string FormatTimeStamp(const SYSTEMTIME &st);

std::string MeasurementFileName(const std::string &report, DWORD nStationID, const SYSTEMTIME &st);
std::string DebugFileName(const std::string &report, DWORD nStationID, const SYSTEMTIME &st);

// One line of the measurement file: the reading as the connector corrected it, and the
// direction results of slot 1 (10 minutes) after the reading was added.
std::string MeasurementLine(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1);

// The line of slot v of the debug file.
std::string DebugLine(const SYSTEMTIME &st, int v, const AverageSlot &slot);

// Append to the day's files; an open failure is logged and loses that file's lines. Callers
// hold MeteoDataGuard for reading, so the slots are consistent.
void WriteMeasurementFile(const std::string &report, DWORD nStationID, const SYSTEMTIME &st,
                          const MeteoData &data, const AverageSlot &slot1);
void WriteDebugFile(const std::string &report, DWORD nStationID, const SYSTEMTIME &st,
                    const AverageSlot *block);
