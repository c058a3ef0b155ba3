// The Pelmora program polling stations through the replay driver, end to end: the station
// threads start with the run, readings reach the daily files, the stop ends the threads.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/service_process.h"

namespace {

namespace fs = std::filesystem;

const char Day[] =
    "20261208 10:00:00\t12.6\t252.0\t249.1\t8.3\t2.0\t88.0\t0.0\t1012.4\t155.6\r\n"
    "20261208 10:00:20\t-9999.0\t250.0\t249.0\t8.0\t2.1\t87.0\t0.0\t1012.5\t160.2\r\n"
    "20261208 10:00:40\t13.4\t248.0\t247.0\t7.9\t2.2\t86.0\t0.1\t1012.6\t170.0\r\n";

// Puts a copy of the replay driver with its settings and the recorded day into a folder.
void InstallReplay(const fs::path &folder)
{
    fs::create_directories(folder);
    fs::copy_file(fs::path(PELMORA_BIN_DIR) / REPLAYDRV_FILE, folder / REPLAYDRV_FILE,
                  fs::copy_options::overwrite_existing);
    WriteFile((folder / "Replaydrv.ini").string(), "[Settings]\r\nFile=day.txt\r\nLoop=0\r\n");
    WriteFile((folder / "day.txt").string(), Day);
}

// The lines of a station's measurement files (one per UTC day), oldest day first.
std::vector<std::string> MeasurementLines(const fs::path &folder, int station)
{
    std::vector<fs::path> files;
    const std::string prefix = std::to_string(station) + "_Meteo";
    for (const auto &entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto &file : files) {
        std::istringstream in(ReadFile(file.string()));
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Waits until the station's files hold `count` lines; the program gives no other sign.
bool WaitForLines(const fs::path &folder, int station, size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (MeasurementLines(folder, station).size() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Columns 2 onwards with the 10-minute statistics (columns 4 and 5) left out.
std::string ReadingColumns(const std::string &line)
{
    std::vector<std::string> columns;
    std::istringstream in(line);
    std::string column;
    while (std::getline(in, column, '\t')) {
        columns.push_back(column);
    }
    if (columns.size() != 10) {
        return "malformed: " + line;
    }
    return columns[1] + " " + columns[2] + " " + columns[5] + " " + columns[6] + " " + columns[7] +
           " " + columns[8] + " " + columns[9];
}

TEST(AcquisitionProcess, two_replayed_stations_write_their_readings_and_stop_with_the_run)
{
    TempFolder folder("pelmora-acquisition");
    ASSERT_FALSE(folder.Path().empty());
    const fs::path root = folder.Path();
    const std::string program = CopyPelmora(root.string());
    InstallReplay(root / "stations" / "21");
    InstallReplay(root / "stations" / "22");
    const fs::path data = root / "data";
    fs::create_directories(data);
    WriteFile((root / "Pelmora.ini").string(),
              "[General]\r\nPort=0\r\nTrace=1\r\nDebug=1\r\nLog=1\r\nStartDelay=0\r\n"
              "CycleTime=50\r\nStations=2\r\nStationIDs=21\r\nLogPath=  " +
                  data.string() +
                  "  \r\n"
                  "[21]\r\nDriver=stations/21/" REPLAYDRV_FILE
                  "\r\nDebug=1\r\n"
                  "[22]\r\nDriver=stations/22/" REPLAYDRV_FILE "\r\n");

    PelmoraProcess pelmora(program, {"-d"}, {{"NOTIFY_SOCKET", ""}});
    ASSERT_TRUE(pelmora.Started());
    ASSERT_TRUE(pelmora.WaitForOutput("Debugging Pelmora.\n"));
    EXPECT_TRUE(WaitForLines(data, 21, 2));
    EXPECT_TRUE(WaitForLines(data, 22, 2));
    ASSERT_TRUE(pelmora.WaitForBlockedSignal(SIGINT));
    pelmora.Signal(SIGINT);
    ASSERT_TRUE(pelmora.WaitForExit(30000));
    EXPECT_EQ(1, pelmora.ExitCode()) << pelmora.Output();

    // The invalid wind reading is dropped, and the repeated last line too.
    for (int station : {21, 22}) {
        const auto lines = MeasurementLines(data, station);
        ASSERT_EQ(lines.size(), 2u) << station;
        EXPECT_EQ(ReadingColumns(lines[0]), "12.6 252.0 2.0 88.0 0.0 1012.4 155.6\r");
        EXPECT_EQ(ReadingColumns(lines[1]), "13.4 248.0 2.2 86.0 0.1 1012.6 170.0\r");
    }
    // Only station 21 asks for a debug file: twelve lines per reading.
    bool debug21 = false, debug22 = false;
    for (const auto &entry : fs::directory_iterator(data)) {
        const std::string name = entry.path().filename().string();
        debug21 = debug21 || name.rfind("21_Debug", 0) == 0;
        debug22 = debug22 || name.rfind("22_Debug", 0) == 0;
    }
    EXPECT_TRUE(debug21);
    EXPECT_FALSE(debug22);

    const std::string log = ReadFile((root / "Pelmora.log").string());
    for (const char *text :
         {"ThreadMeteoConnector(Station-ID=21): Starting Thread...",
          "ThreadMeteoConnector(Station-ID=22): Starting Thread...",
          "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=21): Windspeed=-9999.00",
          "ERROR INVALID DATA ThreadMeteoConnector(Station-ID=22): Windspeed=-9999.00"}) {
        EXPECT_NE(log.find(text), std::string::npos) << text;
    }
}

TEST(AcquisitionProcess, station_without_driver_logs_it_and_the_service_runs_on)
{
    TempFolder folder("pelmora-acquisition");
    ASSERT_FALSE(folder.Path().empty());
    const fs::path root = folder.Path();
    const std::string program = CopyPelmora(root.string());
    WriteFile((root / "Pelmora.ini").string(),
              "[General]\r\nPort=0\r\nTrace=1\r\nDebug=1\r\nStartDelay=0\r\n"
              "[1]\r\nDriver=missing.so\r\n");

    PelmoraProcess pelmora(program, {"-d"}, {{"NOTIFY_SOCKET", ""}});
    ASSERT_TRUE(pelmora.WaitForOutput("Debugging Pelmora.\n"));
    const std::string expected = "ERROR ThreadMeteoConnector(Station-ID=1): Kann Driver-DLL " +
                                 root.string() + "/missing.so nicht laden.";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadFile((root / "Pelmora.log").string()).find(expected) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(ReadFile((root / "Pelmora.log").string()).find(expected), std::string::npos);
    ASSERT_TRUE(pelmora.WaitForBlockedSignal(SIGINT));
    pelmora.Signal(SIGINT);
    ASSERT_TRUE(pelmora.WaitForExit(30000));
    EXPECT_EQ(1, pelmora.ExitCode()) << pelmora.Output();
}

}  // namespace
