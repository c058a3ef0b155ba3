// How pelmora-query shows what it got: the table for people, one JSON object per response for
// scripts, the one-line messages and the exit codes.
#pragma once

#include "client/Connection.h"

#include <string>
#include <vector>

namespace pelmora {

// One request and the response it got.
struct Answer {
    DWORD nStationNumber;
    DWORD nSlot;
    bool latest;  // nOperation was not 0: the newest reading rather than averages
    MeteoReading reading;
};

enum class AnswerStatus { Data, StationNotConfigured, WindowOutOfRange, NoReadings };

AnswerStatus StatusOf(const Answer &answer);

// Exit codes of pelmora-query.
namespace exitcode {
constexpr int OK = 0;
constexpr int FAILURE = 1;  // host not found, connection lost, an answer that fits no request
constexpr int USAGE = 2;
constexpr int CONNECTION_REFUSED = 3;
constexpr int TIMED_OUT = 4;
constexpr int NOT_A_GREETING = 5;
constexpr int REFUSED_BY_SERVER = 6;
constexpr int DIGEST_MISMATCH = 7;
constexpr int STATION_NOT_CONFIGURED = 8;
constexpr int WINDOW_OUT_OF_RANGE = 9;
constexpr int NO_READINGS = 10;
}  // namespace exitcode

int ExitCodeFor(ClientFailure failure);
int ExitCodeFor(AnswerStatus status);

// The exit codes as a text block for --help.
const char *ExitCodeHelp();

// Length of window `nSlot` in minutes: 5 x (nSlot + 1).
DWORD WindowMinutes(DWORD nSlot);

// The 16-point compass name of a direction in degrees ("N", "NNE", ... "NNW"); "-" when there
// is no direction (the no-reading value, or not a number).
const char *CompassPoint(double degrees);

// ISO 8601 UTC, to the second: "2026-12-08T16:20:00Z"; "-" when the time cannot be shown.
std::string IsoTime(const FILETIME &time);

// The table of one round, a header and one row per answer, in the answers' order. A row of an
// answer without data names its status instead of values.
std::string FormatTable(const std::vector<Answer> &answers);

// One answer as a one-line JSON object (no line end).
std::string FormatJson(const Answer &answer);

// The one-line message for an answer without data; empty for an answer with data.
std::string StatusMessage(const Answer &answer);

}  // namespace pelmora
