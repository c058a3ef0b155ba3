#include "acquisition/MeteoFiles.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "service/Log.h"

namespace {

#if defined(__GNUC__)
#define PELMORA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define PELMORA_PRINTF(f, a)
#endif

// Bounded formatting into a string of whatever length the text needs.
PELMORA_PRINTF(1, 2) std::string Format(const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    std::string text;
    if (n > 0) {
        std::vector<char> buffer(static_cast<size_t>(n) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), pszFormat, args);
        text.assign(buffer.data(), static_cast<size_t>(n));
    }
    va_end(args);
    return text;
}

#ifdef _WIN32
constexpr char FolderSeparator = '\\';
#else
constexpr char FolderSeparator = '/';
#endif

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Names of 260 characters and more do not fit the file-name buffers of the design; they are
// refused as if the open had failed.
constexpr size_t MaxFileName = MAX_PATH - 1;

HANDLE OpenForAppend(const std::string &name, const char *pszFailure)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD dwError = ERROR_FILENAME_EXCED_RANGE;
    if (name.size() <= MaxFileName) {
        h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
        dwError = GetLastError();
    }
    if (h == INVALID_HANDLE_VALUE) {
        if (TraceLevel != 0) {
            WriteLog(Format("%s %s (%lu)", pszFailure, name.c_str(),
                            static_cast<unsigned long>(dwError)));
        }
        return INVALID_HANDLE_VALUE;
    }
    SetFilePointer(h, 0, nullptr, FILE_END);
    return h;
}

void WriteText(HANDLE h, const std::string &text)
{
    DWORD dwWritten = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &dwWritten, nullptr);
}

}  // namespace

std::string ReportFolderFromLogPath(const char *pszLogPath)
{
    std::string folder(pszLogPath);
    size_t first = 0;
    while (first < folder.size() && IsBlank(folder[first])) {
        ++first;
    }
    size_t last = folder.size();
    while (last > first && IsBlank(folder[last - 1])) {
        --last;
    }
    folder = folder.substr(first, last - first);
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') {
        folder += FolderSeparator;
    }
    return folder;
}

std::string FormatTimeStamp(const SYSTEMTIME &st)
{
    return Format("%04hu%02hu%02hu %02hu:%02hu:%02hu", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
}

std::string MeasurementFileName(const std::string &report, DWORD nStationID, const SYSTEMTIME &st)
{
    return Format("%s%lu_Meteo%04hu%02hu%02hu.txt", report.c_str(),
                  static_cast<unsigned long>(nStationID), st.wYear, st.wMonth, st.wDay);
}

std::string DebugFileName(const std::string &report, DWORD nStationID, const SYSTEMTIME &st)
{
    return Format("%s%lu_Debug%04hu%02hu%02hu.txt", report.c_str(),
                  static_cast<unsigned long>(nStationID), st.wYear, st.wMonth, st.wDay);
}

std::string MeasurementLine(const SYSTEMTIME &st, const MeteoData &data, const AverageSlot &slot1)
{
    return Format("%s\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\r\n",
                  FormatTimeStamp(st).c_str(), data.dWindSpeed, data.dWindDir, slot1.dWindMeanDir,
                  slot1.dWindStdDir, data.dOutsideTemp, data.dHumidity, data.dRain, data.dPressure,
                  data.dSolar);
}

std::string DebugLine(const SYSTEMTIME &st, int v, const AverageSlot &slot)
{
    const std::string stamp = FormatTimeStamp(st);
    if (slot.nCount == 0) {
        return Format("%s\t%i\r\n", stamp.c_str(), v);
    }
    // Each quantity's sum holds only the samples that carried it.
    return Format("%s\t%i\t%lu\t%.1f\t%.1f\t%.2f\t%.3f\t%.3f\t%.1f\t%.0f\t%.1f\t%.1f\t%.1f\r\n",
                  stamp.c_str(), v, static_cast<unsigned long>(slot.nCount), slot.dWindMeanDir,
                  slot.dWindStdDir, SlotAverage(slot.dSumWindSpeed, slot.nCount),
                  SlotAverage(slot.dSumCos, slot.nCountDir),
                  SlotAverage(slot.dSumSin, slot.nCountDir),
                  SlotAverage(slot.dSumOutsideTemp, slot.nCountOutsideTemp),
                  SlotAverage(slot.dSumHumidity, slot.nCountHumidity),
                  SlotAverage(slot.dSumRain, slot.nCountRain),
                  SlotAverage(slot.dSumPressure, slot.nCountPressure),
                  SlotAverage(slot.dSumSolar, slot.nCountSolar));
}

void WriteMeasurementFile(const std::string &report, DWORD nStationID, const SYSTEMTIME &st,
                          const MeteoData &data, const AverageSlot &slot1)
{
    HANDLE h =
        OpenForAppend(MeasurementFileName(report, nStationID, st), "Error creating datafile");
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    WriteText(h, MeasurementLine(st, data, slot1));
    CloseHandle(h);
}

void WriteDebugFile(const std::string &report, DWORD nStationID, const SYSTEMTIME &st,
                    const AverageSlot *block)
{
    HANDLE h = OpenForAppend(DebugFileName(report, nStationID, st), "Error creating debug file");
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    for (int v = 0; v < USED_SLOTS; ++v) {
        WriteText(h, DebugLine(st, v, block[v]));
    }
    CloseHandle(h);
}
