// Script mode of the console simulator: one line per polling cycle.
//
//   # comment (also after the values)
//   wind=10.26 dir=270 temp=50 hum=80 rain=0.2 baro=30 solar=500 units=0,1,3,2,0
//   open=fail
//   load=fail
//
// Each OpenCommPort_V takes the next line. "open=fail" refuses the port; "load=fail" makes
// LoadCurrentVantageData_V fail. A quantity the line does not give reads as its dash value;
// "units=" gives Temp, Rain, Barom, Wind and Elev codes, and without it GetUnits_V leaves the
// caller's codes untouched.
#pragma once

#include "console/VantagePro.h"

#include <string>
#include <vector>

struct ScriptStep {
    bool bOpenFails = false;
    bool bLoadFails = false;
    bool bHasUnits = false;
    UnitCodes Units{};
    int16_t nWindDir = VANTAGE_DASH_WINDDIR;
    int16_t nHumidity = VANTAGE_DASH_SHORT;
    int16_t nSolar = VANTAGE_DASH_SHORT;
    float fOutsideTemp = VANTAGE_DASH_FLOAT;
    float fStormRain = VANTAGE_DASH_FLOAT;
    float fBarometer = VANTAGE_DASH_FLOAT;
    float fWindSpeed = VANTAGE_DASH_FLOAT;
};

// Parses a whole script. On a malformed line returns false with "line N: what is wrong" in
// szError and leaves steps empty.
bool ParseScript(const std::string &text, std::vector<ScriptStep> &steps, std::string &error);
