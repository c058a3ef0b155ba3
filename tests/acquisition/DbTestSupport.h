// What the database tests add to the connector harness: the scripted driver as the test loads
// it, and readings to script.
#pragma once

#include "ConnectorHarness.h"
#include "ScriptDriver.h"

namespace acqtest {

// The scripted driver, beside the test program.
struct ScriptedDriver {
    ScriptedDriver()
    {
        h = LoadLibraryA((ExecutableFolder() + SCRIPT_DRIVER).c_str());
        load = reinterpret_cast<PFN_SCRIPTLOAD>(
            reinterpret_cast<void *>(GetProcAddress(h, "ScriptLoad")));
    }
    HMODULE h;
    PFN_SCRIPTLOAD load;
};

struct Reading {
    double speed = 5.2;
    double dir = 90;
    double temp = 11.4;
    double humidity = 70;
    double rain = 0.2;
    double pressure = 1012.6;
    double solar = 120;
};

inline ScriptStep Step(const Reading &r)
{
    ScriptStep step{};
    step.nResult = 1;
    MeteoData &d = step.record.Data;
    d.nSize = 64;
    d.nVersion = 1;
    d.dWindSpeed = r.speed;
    d.dWindDir = r.dir;
    d.dOutsideTemp = r.temp;
    d.dHumidity = r.humidity;
    d.dRain = r.rain;
    d.dPressure = r.pressure;
    d.dSolar = r.solar;
    return step;
}

}  // namespace acqtest
