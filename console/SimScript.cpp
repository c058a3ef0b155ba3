#include "console/SimScript.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace {

bool ParseFloat(const std::string &text, float &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const float v = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

bool ParseLong(const std::string &text, long lo, long hi, long &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

bool ParseShort(const std::string &text, int16_t &value)
{
    long v = 0;
    if (!ParseLong(text, -32768, 32767, v))
        return false;
    value = static_cast<int16_t>(v);
    return true;
}

bool ParseUnits(const std::string &text, UnitCodes &units)
{
    int8_t *codes[] = {&units.TempUnit, &units.RainUnit, &units.BaromUnit, &units.WindUnit,
                       &units.ElevUnit};
    std::string::size_type start = 0;
    for (size_t i = 0; i < 5; ++i) {
        const std::string::size_type comma = text.find(',', start);
        if ((i < 4) != (comma != std::string::npos))
            return false;
        const std::string part =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        long v = 0;
        if (!ParseLong(part, -128, 127, v))
            return false;
        *codes[i] = static_cast<int8_t>(v);
        start = comma + 1;
    }
    return true;
}

bool ParseOutcome(const std::string &text, bool &fails)
{
    if (text == "ok")
        fails = false;
    else if (text == "fail")
        fails = true;
    else
        return false;
    return true;
}

// One token key=value into the step; false with the reason in error.
bool ParseToken(const std::string &token, ScriptStep &step, std::string &seen, std::string &error)
{
    const std::string::size_type eq = token.find('=');
    if (eq == std::string::npos || eq == 0) {
        error = "\"" + token + "\" is not key=value";
        return false;
    }
    const std::string key = token.substr(0, eq);
    const std::string value = token.substr(eq + 1);
    if (seen.find(" " + key + " ") != std::string::npos) {
        error = key + " given twice";
        return false;
    }
    seen += " " + key + " ";

    bool ok = false;
    if (key == "open")
        ok = ParseOutcome(value, step.bOpenFails);
    else if (key == "load")
        ok = ParseOutcome(value, step.bLoadFails);
    else if (key == "wind")
        ok = ParseFloat(value, step.fWindSpeed);
    else if (key == "temp")
        ok = ParseFloat(value, step.fOutsideTemp);
    else if (key == "rain")
        ok = ParseFloat(value, step.fStormRain);
    else if (key == "baro")
        ok = ParseFloat(value, step.fBarometer);
    else if (key == "dir")
        ok = ParseShort(value, step.nWindDir);
    else if (key == "hum")
        ok = ParseShort(value, step.nHumidity);
    else if (key == "solar")
        ok = ParseShort(value, step.nSolar);
    else if (key == "units")
        ok = step.bHasUnits = ParseUnits(value, step.Units);
    else {
        error = "unknown key \"" + key + "\"";
        return false;
    }
    if (!ok)
        error = "bad value \"" + value + "\" for " + key;
    return ok;
}

}  // namespace

bool ParseScript(const std::string &text, std::vector<ScriptStep> &steps, std::string &error)
{
    steps.clear();
    std::vector<ScriptStep> parsed;
    std::istringstream in(text);
    std::string line;
    for (unsigned nLine = 1; std::getline(in, line); ++nLine) {
        const std::string::size_type hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        for (char &c : line)
            if (c == '\t' || c == '\r')
                c = ' ';
        std::istringstream tokens(line);
        std::string token;
        std::string seen;
        ScriptStep step;
        bool any = false;
        while (tokens >> token) {
            std::string what;
            if (!ParseToken(token, step, seen, what)) {
                error = "line " + std::to_string(nLine) + ": " + what;
                return false;
            }
            any = true;
        }
        if (any)
            parsed.push_back(step);
    }
    steps.swap(parsed);
    return true;
}
