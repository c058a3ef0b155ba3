// The replay-file reader on arbitrary text: it either fails naming a line, with no rows, or
// gives one finite row per line; the rows written out again read back to the same values.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/replay/ReplayFile.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

size_t LineCount(const std::string &text)
{
    size_t lines = 0;
    for (size_t start = 0; start < text.size(); ++lines) {
        const size_t end = text.find('\n', start);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void AppendNumber(std::string &line, double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "\t%.17g", value);
    line += text;
}

std::string WriteRows(const std::vector<ReplayRow> &rows)
{
    std::string text;
    for (const ReplayRow &r : rows) {
        text += r.strTime;
        AppendNumber(text, r.dWindSpeed);
        AppendNumber(text, r.dWindDir);
        AppendNumber(text, 0.0);  // mean direction and spread: not read back
        AppendNumber(text, 0.0);
        AppendNumber(text, r.dOutsideTemp);
        AppendNumber(text, r.dHumidity);
        AppendNumber(text, r.dRain);
        AppendNumber(text, r.dPressure);
        AppendNumber(text, r.dSolar);
        text += "\r\n";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<ReplayRow> rows(1);  // must be emptied on failure
    std::string error;
    if (!ParseReplayFile(text, rows, error)) {
        FUZZ_CHECK(rows.empty());
        FUZZ_CHECK(error.compare(0, 5, "line ") == 0);
        return 0;
    }
    FUZZ_CHECK(rows.size() == LineCount(text));
    for (const ReplayRow &r : rows) {
        FUZZ_CHECK(r.strTime.size() == 17);
        for (double v : {r.dWindSpeed, r.dWindDir, r.dOutsideTemp, r.dHumidity, r.dRain,
                         r.dPressure, r.dSolar})
            FUZZ_CHECK(std::isfinite(v));
    }

    std::vector<ReplayRow> again;
    FUZZ_CHECK(ParseReplayFile(WriteRows(rows), again, error));
    FUZZ_CHECK(again.size() == rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        FUZZ_CHECK(again[i].strTime == rows[i].strTime);
        FUZZ_CHECK(SameBits(again[i].dWindSpeed, rows[i].dWindSpeed));
        FUZZ_CHECK(SameBits(again[i].dWindDir, rows[i].dWindDir));
        FUZZ_CHECK(SameBits(again[i].dOutsideTemp, rows[i].dOutsideTemp));
        FUZZ_CHECK(SameBits(again[i].dHumidity, rows[i].dHumidity));
        FUZZ_CHECK(SameBits(again[i].dRain, rows[i].dRain));
        FUZZ_CHECK(SameBits(again[i].dPressure, rows[i].dPressure));
        FUZZ_CHECK(SameBits(again[i].dSolar, rows[i].dSolar));
    }
    return 0;
}
