// Files that cannot be written: a LogPath whose parent is a regular file (root cannot write
// there either), a log file that cannot be opened, a disk that is full. The program logs what
// it can, keeps polling and keeps answering clients; once there is room again the files grow.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/system/fault_support.h"

namespace {

namespace fs = std::filesystem;
using namespace fault;

// A station whose driver delivers a good reading every cycle, solar 1000, 1001, ...
void ConfigureStation(Pelmora &pelmora, const std::string &logPath, const std::string &extra = "")
{
    pelmora.InstallDriver(FAULT_DRIVER_FILE, "station/" FAULT_DRIVER_FILE);
    pelmora.Configure("Log=1\r\nCycleTime=50\r\nStations=1\r\nStationIDs=1\r\nLogPath=" + logPath +
                          "\r\n" + extra,
                      "[1]\r\nDriver=station/" FAULT_DRIVER_FILE "\r\nDebug=1\r\n");
}

// Waits until the data server hands out a latest reading of station 1 with solar `solar` or
// more: the station's readings reach the table and clients.
bool ReadingsReachClients(const Pelmora &pelmora, double solar)
{
    return WaitUntil(
        [&] {
            pelmora::MeteoReading reading{};
            return LatestReading(pelmora.Port(), reading) && reading.nStation == 1 &&
                   reading.dSolar >= solar;
        },
        30000);
}

// The day files' names for today and tomorrow (UTC), so that a run across midnight finds them.
std::vector<std::string> DayFileNames(const char *kind)
{
    std::vector<std::string> names;
    const time_t now = time(nullptr);
    for (time_t t : {now, now + 86400}) {
        tm utc{};
        gmtime_r(&t, &utc);
        char name[64];
        std::snprintf(name, sizeof name, "1_%s%04d%02d%02d.txt", kind, utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday);
        names.push_back(name);
    }
    return names;
}

TEST(FaultFiles, a_log_path_below_a_regular_file_is_logged_and_the_station_goes_on)
{
    Pelmora pelmora;
    const std::string blocker = pelmora.Folder() + "/blocker";
    WriteFile(blocker, "not a folder");
    ConfigureStation(pelmora, blocker + "/data");
    ASSERT_TRUE(pelmora.Start());

    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string log = pelmora.Log();
            return CountLines(log, "Error creating datafile " + blocker) >= 3 &&
                   CountLines(log, "Error creating debug file " + blocker) >= 3;
        },
        30000))
        << pelmora.Log();
    EXPECT_TRUE(ReadingsReachClients(pelmora, 1005));
    int answered = 0;
    EXPECT_TRUE(WellBehavedSession(pelmora.Port(), 12, answered));
    EXPECT_EQ(12, answered);
    ASSERT_TRUE(pelmora.Running());
    ASSERT_TRUE(pelmora.Stop());
    EXPECT_TRUE(fs::is_regular_file(blocker));
    // Every accepted reading tried its file and said so.
    const std::string log = pelmora.Log();
    EXPECT_EQ(CountLines(log, "Data Retrieved"), CountLines(log, "Error creating datafile "));
}

TEST(FaultFiles, a_log_file_that_cannot_be_opened_costs_the_log_only)
{
    Pelmora pelmora;
    // A folder in the log file's place: no one, root included, can open it for writing.
    fs::create_directories(pelmora.Folder() + "/Pelmora.log");
    const std::string data = pelmora.Folder() + "/data";
    fs::create_directories(data);
    ConfigureStation(pelmora, data);
    ASSERT_TRUE(pelmora.Start());

    EXPECT_TRUE(ReadingsReachClients(pelmora, 1005));
    EXPECT_TRUE(WaitUntil([&] { return MeasurementLines(data, 1).size() >= 5; }, 30000));
    int answered = 0;
    EXPECT_TRUE(WellBehavedSession(pelmora.Port(), 12, answered));
    EXPECT_EQ(12, answered);
    ASSERT_TRUE(pelmora.Running());
    ASSERT_TRUE(pelmora.Stop());
    EXPECT_TRUE(fs::is_directory(pelmora.Folder() + "/Pelmora.log"));
}

TEST(FaultFiles, a_full_disk_under_the_log_and_the_day_files_is_survived)
{
    Pelmora pelmora;
    // Every write to these fails with "no space left on device".
    fs::create_symlink("/dev/full", pelmora.Folder() + "/Pelmora.log");
    const std::string data = pelmora.Folder() + "/data";
    fs::create_directories(data);
    for (const char *kind : {"Meteo", "Debug"})
        for (const std::string &name : DayFileNames(kind))
            fs::create_symlink("/dev/full", data + "/" + name);
    ConfigureStation(pelmora, data);
    ASSERT_TRUE(pelmora.Start());

    EXPECT_TRUE(ReadingsReachClients(pelmora, 1010));
    int answered = 0;
    EXPECT_TRUE(WellBehavedSession(pelmora.Port(), 12, answered));
    EXPECT_EQ(12, answered);
    ASSERT_TRUE(pelmora.Running());
    ASSERT_TRUE(pelmora.Stop());
}

// A small file system of its own, unmounted at the end.
class TinyFileSystem {
public:
    TinyFileSystem(const std::string &folder, const char *size) : folder_(folder)
    {
        fs::create_directories(folder);
        const std::string options = std::string("size=") + size;
        mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
        error_ = errno;
    }
    ~TinyFileSystem()
    {
        if (mounted_)
            umount2(folder_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    int Error() const { return error_; }

private:
    std::string folder_;
    bool mounted_ = false;
    int error_ = 0;
};

// Fills the file system under `path` until a write fails for lack of space.
bool Fill(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    static const char block[4096] = {};
    while (std::fwrite(block, 1, sizeof block, f) == sizeof block) {
    }
    const bool full = std::ferror(f) != 0;
    std::fclose(f);
    return full;
}

TEST(FaultFiles, day_files_on_a_file_system_that_fills_up_resume_once_there_is_room)
{
    Pelmora pelmora;
    const std::string data = pelmora.Folder() + "/data";
    TinyFileSystem tiny(data, "256k");
    // Tests run as root; without the right to mount, this test cannot make its disk.
    ASSERT_TRUE(tiny.Mounted()) << "mount tmpfs: " << std::strerror(tiny.Error());
    ConfigureStation(pelmora, data);
    ASSERT_TRUE(pelmora.Start());
    ASSERT_TRUE(WaitUntil([&] { return MeasurementLines(data, 1).size() >= 3; }, 30000));

    ASSERT_TRUE(Fill(data + "/filler"));
    // Readings go on reaching clients while no line can be written.
    pelmora::MeteoReading reading{};
    ASSERT_TRUE(LatestReading(pelmora.Port(), reading));
    EXPECT_TRUE(ReadingsReachClients(pelmora, reading.dSolar + 20));
    const size_t whileFull = MeasurementLines(data, 1).size();

    fs::remove(data + "/filler");
    EXPECT_TRUE(
        WaitUntil([&] { return MeasurementLines(data, 1).size() >= whileFull + 5; }, 30000));
    int answered = 0;
    EXPECT_TRUE(WellBehavedSession(pelmora.Port(), 12, answered));
    EXPECT_EQ(12, answered);
    ASSERT_TRUE(pelmora.Running());
    ASSERT_TRUE(pelmora.Stop());
}

}  // namespace
