// The console SDK's calls bound by name from a loaded copy of the library, and the settings
// file it is told to read.
#pragma once

#include "DriverLibraries.h"
#include "console/VantagePro.h"

#include <cstdlib>

namespace drivertest {

struct Sdk {
    int16_t(VANTAGEPRO_CALL *OpenCommPort)(int16_t, int32_t) = nullptr;
    int16_t(VANTAGEPRO_CALL *LoadCurrentData)() = nullptr;
    int16_t(VANTAGEPRO_CALL *GetUnits)(UnitCodes *) = nullptr;
    int16_t(VANTAGEPRO_CALL *GetWindDir)() = nullptr;
    float(VANTAGEPRO_CALL *GetOutsideTemp)() = nullptr;
    int16_t(VANTAGEPRO_CALL *GetOutsideHumidity)() = nullptr;
    float(VANTAGEPRO_CALL *GetStormRain)() = nullptr;
    float(VANTAGEPRO_CALL *GetBarometer)() = nullptr;
    float(VANTAGEPRO_CALL *GetWindSpeed)() = nullptr;
    int16_t(VANTAGEPRO_CALL *GetSolarRad)() = nullptr;
    int16_t(VANTAGEPRO_CALL *CloseCommPort)() = nullptr;

    template <typename F>
    static void Bind(HMODULE h, F &f, const char *name)
    {
        f = Export<F>(h, name);
        ASSERT_NE(f, nullptr) << name;
    }

    void Load(HMODULE h)
    {
        Bind(h, OpenCommPort, "OpenCommPort_V");
        Bind(h, LoadCurrentData, "LoadCurrentVantageData_V");
        Bind(h, GetUnits, "GetUnits_V");
        Bind(h, GetWindDir, "GetWindDir_V");
        Bind(h, GetOutsideTemp, "GetOutsideTemp_V");
        Bind(h, GetOutsideHumidity, "GetOutsideHumidity_V");
        Bind(h, GetStormRain, "GetStormRain_V");
        Bind(h, GetBarometer, "GetBarometer_V");
        Bind(h, GetWindSpeed, "GetWindSpeed_V");
        Bind(h, GetSolarRad, "GetSolarRad_V");
        Bind(h, CloseCommPort, "CloseCommPort_V");
    }
};

inline void SetEnv(const char *name, const char *value)
{
#ifdef _WIN32
    _putenv_s(name, value);
#else
    if (value[0] == '\0')
        unsetenv(name);
    else
        setenv(name, value, 1);
#endif
}

// A suite of tests on one copy of the SDK library in a folder of the suite's own.
class SdkSuite : public ::testing::Test {
protected:
    static void LoadSdk(const char *folder)
    {
        s_folder = FolderWith(folder, {kVantagePro});
        s_hModule = LoadLibraryA((s_folder / kVantagePro).string().c_str());
        ASSERT_NE(s_hModule, nullptr) << Driver::LoadError();
        s_sdk.Load(s_hModule);
    }
    static void TearDownTestSuite()
    {
        if (s_hModule != nullptr)
            FreeLibrary(s_hModule);
        s_hModule = nullptr;
    }

    static inline fs::path s_folder;
    static inline HMODULE s_hModule = nullptr;
    static inline Sdk s_sdk;
};

}  // namespace drivertest
