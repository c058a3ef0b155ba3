// Two real consoles read by one Pelmora: each station has its own copy of Halmdrv and its own
// COMPORT, mapped by the SDK's settings beside the program to an emulated console, one on a
// pseudo-terminal (by a link name, as /dev/serial/by-id gives one) and one over TCP, with other
// values and another rain collector. The measurement files hold each console's values
// converted; a console's fault costs one reading, not the station.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "consoleemu/ConsoleEmulator.h"
#include "tests/system/fault_support.h"

namespace {

using namespace fault;
using emulator::CConsoleEmulator;
using emulator::ConsoleState;
namespace fs = std::filesystem;

#ifndef HALMDRV_FILE
#error HALMDRV_FILE names the console driver
#endif

std::vector<std::string> Fields(const std::string &line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        fields.push_back(field);
    if (!fields.empty() && !fields.back().empty() && fields.back().back() == '\r')
        fields.back().pop_back();
    return fields;
}

// Wind speed, direction, temperature, humidity, rain, pressure, solar of a measurement line.
std::vector<std::string> Readings(const std::string &line)
{
    const std::vector<std::string> f = Fields(line);
    if (f.size() != 10)
        return {"line of " + std::to_string(f.size()) + " fields: " + line};
    return {f[1], f[2], f[5], f[6], f[7], f[8], f[9]};
}

TEST(ConsoleSystem, two_consoles_in_one_process_each_reach_their_stations_file_converted)
{
    const auto pty = CConsoleEmulator::OnPseudoTerminal();
    const auto tcp = CConsoleEmulator::OnTcp();
    ConsoleState inches;  // 72.5 F, 29.921 inHg, 12 mph from 270, 65 %, 450 W/m2, 23 x 0.01 in
    pty->Set(inches);
    ConsoleState millimetres;
    millimetres.nOutsideTemp = 410;
    millimetres.nBarometer = 30105;
    millimetres.nWindSpeed = 5;
    millimetres.nWindDir = 90;
    millimetres.nHumidity = 80;
    millimetres.nSolar = 0;
    millimetres.nStormRain = 7;
    millimetres.nCollector = 0x10;  // 0.2 mm a click
    tcp->Set(millimetres);

    Pelmora pelmora;
    const std::string folder = pelmora.Folder();
    const std::string link = folder + "/console-by-id";
    fs::create_symlink(pty->Device(), link);
    for (int station : {1, 2}) {
        const std::string dir = "stations/" + std::to_string(station) + "/";
        pelmora.InstallDriver(HALMDRV_FILE, dir + HALMDRV_FILE);
        pelmora.InstallDriver(VANTAGEPRO_FILE, dir + VANTAGEPRO_FILE);
        WriteFile(folder + "/" + dir + "Halmdrv.ini",
                  "[Settings]\r\nCOMPORT=" + std::to_string(station) + "\r\nCOMSPEED=19200\r\n");
    }
    WriteFile(folder + "/VantageSim.ini", "[Simulator]\r\nMode=serial\r\n[Ports]\r\n1=" + link +
                                              "\r\n2=" + tcp->Device() + "\r\n");
    const std::string data = folder + "/data";
    fs::create_directories(data);
    pelmora.Configure(
        "Log=1\r\nCycleTime=1000\r\nStations=2\r\nStationIDs=1\r\nLogPath=" + data + "\r\n",
        "[1]\r\nDriver=stations/1/" HALMDRV_FILE "\r\n[2]\r\nDriver=stations/2/" HALMDRV_FILE
        "\r\n");
    ASSERT_TRUE(pelmora.Start());

    auto both = [&](size_t n) {
        return MeasurementLines(data, 1).size() >= n && MeasurementLines(data, 2).size() >= n;
    };
    ASSERT_TRUE(WaitUntil([&] { return both(3); }, 60000)) << pelmora.Log();

    // F to C, inHg to hPa, mph to km/h cut to one decimal, clicks to mm.
    const std::vector<std::string> kStation1 = {"19.3", "270.0",  "22.5", "65.0",
                                                "5.8",  "1013.2", "450.0"};
    const std::vector<std::string> kStation2 = {"8.0", "90.0",   "5.0", "80.0",
                                                "1.4", "1019.5", "0.0"};
    for (const std::string &line : MeasurementLines(data, 1))
        EXPECT_EQ(kStation1, Readings(line)) << line;
    for (const std::string &line : MeasurementLines(data, 2))
        EXPECT_EQ(kStation2, Readings(line)) << line;

    // A cut packet fails one reading of station 1; the next one is read again, and station 2
    // goes on meanwhile.
    pty->SetFault(emulator::Fault::CutPacket);
    ASSERT_TRUE(
        WaitUntil([&] { return CountLines(pelmora.Log(), "GetData Error ret=-1") > 0; }, 30000))
        << pelmora.Log();
    pty->SetFault(emulator::Fault::None);
    const size_t nBefore = MeasurementLines(data, 1).size();
    ASSERT_TRUE(WaitUntil([&] { return MeasurementLines(data, 1).size() >= nBefore + 2; }, 30000));
    EXPECT_GE(MeasurementLines(data, 2).size(), nBefore + 2);
    for (const std::string &line : MeasurementLines(data, 1))
        EXPECT_EQ(kStation1, Readings(line)) << line;

    ASSERT_TRUE(pelmora.Stop());
    EXPECT_TRUE(pelmora.Log().find("Kann Driver-DLL") == std::string::npos) << pelmora.Log();
}

}  // namespace
