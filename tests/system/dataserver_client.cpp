#include "tests/system/dataserver_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

const char Day[] =
    "20261208 10:00:00\t12.6\t252.0\t249.1\t8.3\t2.0\t88.0\t0.0\t1012.4\t155.6\r\n"
    "20261208 10:00:20\t-9999.0\t250.0\t249.0\t8.0\t2.1\t87.0\t0.0\t1012.5\t160.2\r\n"
    "20261208 10:00:40\t13.4\t248.0\t247.0\t7.9\t2.2\t86.0\t0.1\t1012.6\t170.0\r\n";

// Station 2's day when it replays too: other values, so that the stations tell apart.
const char SecondDay[] =
    "20261208 10:00:00\t5.0\t90.0\t90.0\t0.0\t-3.5\t70.0\t0.0\t1020.0\t10.0\r\n"
    "20261208 10:00:20\t6.0\t95.0\t92.5\t2.5\t-4.0\t72.0\t0.0\t1020.2\t12.0\r\n";

void InstallReplay(const fs::path &folder, const std::string &day)
{
    fs::create_directories(folder);
    fs::copy_file(fs::path(PELMORA_BIN_DIR) / REPLAYDRV_FILE, folder / REPLAYDRV_FILE,
                  fs::copy_options::overwrite_existing);
    WriteFile((folder / "Replaydrv.ini").string(), "[Settings]\r\nFile=day.txt\r\nLoop=0\r\n");
    WriteFile((folder / "day.txt").string(), day);
}

}  // namespace

DataClient::DataClient(unsigned short port, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = LoopbackAddress(port);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return;
        close(fd_);
        fd_ = -1;
        if (Clock::now() > deadline)
            return;
        // The server is not listening yet; the program gives no other sign.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

DataClient::~DataClient()
{
    if (fd_ >= 0)
        close(fd_);
}

bool DataClient::Send(const void *data, size_t length) { return SendAll(fd_, data, length); }

bool DataClient::Receive(std::string &bytes, size_t length, int timeoutMs)
{
    return ReceiveExactly(fd_, bytes, length, timeoutMs);
}

bool DataClient::ReceiveToEnd(std::string &bytes, int timeoutMs)
{
    return ReceiveUntilEnd(fd_, bytes, timeoutMs);
}

bool DataClient::Quiet(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 0;
}

bool OpenResponse(const std::string &sealed, pelmora::MeteoReading &reading)
{
    static const pelmora::CResponseReader reader;
    if (sealed.size() != METEO_RESPONSE_SIZE)
        return false;
    return reader.Read(reinterpret_cast<const BYTE *>(sealed.data()), reading);
}

ServedPelmora::ServedPelmora(int trace, bool replay, int httpPort, bool secondReplays)
{
    const fs::path root = folder_.Path();
    const std::string program = CopyPelmora(root.string());
    fs::create_directories(root / "data");
    port_ = FreePort();
    std::string ini = "[General]\r\nPort=" + std::to_string(port_) +
                      "\r\nTrace=" + std::to_string(trace) +
                      "\r\nLog=1\r\nStartDelay=0\r\nCycleTime=50\r\n" +
                      "LogPath=" + (root / "data").string() + "\r\n";
    if (replay) {
        InstallReplay(root / "stations" / "1", Day);
        InstallReplay(root / "stations" / "2", secondReplays ? SecondDay : "");
        ini +=
            "Stations=2\r\nStationIDs=1\r\n"
            "[1]\r\nDriver=stations/1/" REPLAYDRV_FILE
            "\r\n"
            "[2]\r\nDriver=stations/2/" REPLAYDRV_FILE "\r\n";
    } else {
        ini += "Stations=1\r\nStationIDs=1\r\n[1]\r\nDriver=missing.so\r\n";
    }
    if (httpPort >= 0) {
        httpPort_ = httpPort == 0 ? FreePort() : static_cast<unsigned short>(httpPort);
        ini +=
            "[http]\r\nBind=127.0.0.1\r\nTimeout=1\r\nPort=" + std::to_string(httpPort_) + "\r\n";
    }
    WriteFile((root / "Pelmora.ini").string(), ini);
    process_ =
        std::make_unique<PelmoraProcess>(program, std::vector<std::string>{"-d"},
                                         std::map<std::string, std::string>{{"NOTIFY_SOCKET", ""}});
}

ServedPelmora::~ServedPelmora()
{
    if (process_ && process_->Started())
        Stop();
}

bool ServedPelmora::WaitForReadings()
{
    const fs::path data = fs::path(folder_.Path()) / "data";
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        size_t lines = 0;
        for (const auto &entry : fs::directory_iterator(data)) {
            if (entry.path().filename().string().rfind("1_Meteo", 0) == 0) {
                const std::string text = ReadFile(entry.path().string());
                for (char c : text)
                    lines += c == '\n';
            }
        }
        if (lines >= 2)
            return true;
        if (Clock::now() > deadline)
            return false;
        // The files are the program's only sign of its readings.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ServedPelmora::Stop()
{
    if (!process_->WaitForBlockedSignal(SIGINT))
        return false;
    process_->Signal(SIGINT);
    const bool ended = process_->WaitForExit(60000);
    const bool ok = ended && process_->ExitCode() == 1;
    output_ = process_->Output();
    process_.reset();
    return ok;
}

std::string ServedPelmora::Log() const { return ReadFile(folder_.Path() + "/Pelmora.log"); }
