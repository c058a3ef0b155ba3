#include "tests/system/fault_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace fault {
namespace {

// The process whose executable is `program`, or -1.
int FindProcess(const std::string &program)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return -1;
    int found = -1;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        char link[PATH_MAX];
        const std::string exe = "/proc/" + std::string(entry->d_name) + "/exe";
        const ssize_t n = readlink(exe.c_str(), link, sizeof link - 1);
        if (n <= 0)
            continue;
        link[n] = '\0';
        if (program == link) {
            found = int(pid);
            break;
        }
    }
    closedir(proc);
    return found;
}

}  // namespace

bool WaitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() > deadline)
            return false;
        // The program's files, log and descriptors give no other sign of a change.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

size_t CountLines(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos;) {
        ++count;
        // On to the next line: one count per line.
        const size_t end = text.find('\n', at);
        at = end == std::string::npos ? end : text.find(what, end);
    }
    return count;
}

std::vector<std::string> MeasurementLines(const std::string &folder, unsigned long station)
{
    std::vector<fs::path> files;
    const std::string prefix = std::to_string(station) + "_Meteo";
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto &file : files) {
        const std::string text = ReadFile(file.string());
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            start = end + 1;
        }
    }
    return lines;
}

double Column(const std::string &line, int column)
{
    size_t start = 0;
    for (int c = 1; c < column; ++c) {
        start = line.find('\t', start);
        if (start == std::string::npos)
            return std::nan("");
        ++start;
    }
    return std::strtod(line.c_str() + start, nullptr);
}

Client::Client(unsigned short port, int receiveBuffer)
{
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ >= 0 && receiveBuffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = LoopbackAddress(port);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

Client::~Client() { Close(); }

bool Client::Send(const std::string &bytes) { return SendAll(fd_, bytes.data(), bytes.size()); }

bool Client::Receive(std::string &bytes, size_t length, int timeoutMs)
{
    return ReceiveExactly(fd_, bytes, length, timeoutMs);
}

bool Client::ReceiveToEnd(std::string &bytes, int timeoutMs)
{
    return ReceiveUntilEnd(fd_, bytes, timeoutMs);
}

void Client::Reset()
{
    if (fd_ < 0)
        return;
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
}

void Client::ShutdownSend()
{
    if (fd_ >= 0)
        shutdown(fd_, SHUT_WR);
}

void Client::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool WellBehavedSession(unsigned short port, int requests, int &answered, int timeoutMs)
{
    static const pelmora::CResponseReader reader;
    Client client(port);
    if (!client.Connected())
        return false;
    std::string record;
    if (!client.Receive(record, METEO_RESPONSE_SIZE, timeoutMs) ||
        !pelmora::IsGreeting(reinterpret_cast<const BYTE *>(record.data())))
        return false;
    for (int i = 0; i < requests; ++i) {
        if (!client.Send(Request(i % 2, 1, DWORD(i % 12))) ||
            !client.Receive(record, METEO_RESPONSE_SIZE, timeoutMs))
            return false;
        pelmora::MeteoReading reading{};
        if (!reader.Read(reinterpret_cast<const BYTE *>(record.data()), reading) ||
            reading.nSize != LONG(METEO_RESPONSE_SIZE) || reading.nVersion != 2 ||
            (reading.nStation != 1 && reading.nStation != 0))
            return false;
        ++answered;
    }
    return true;
}

bool LatestReading(unsigned short port, pelmora::MeteoReading &reading, int timeoutMs)
{
    static const pelmora::CResponseReader reader;
    Client client(port);
    std::string record;
    return client.Connected() && client.Receive(record, METEO_RESPONSE_SIZE, timeoutMs) &&
           client.Send(Request(1, 1, 0)) &&
           client.Receive(record, METEO_RESPONSE_SIZE, timeoutMs) &&
           reader.Read(reinterpret_cast<const BYTE *>(record.data()), reading);
}

Pelmora::Pelmora()
{
    program_ = CopyPelmora(folder_.Path());
    port_ = FreePort();
}

Pelmora::~Pelmora()
{
    if (process_ && process_->Started())
        Stop();
}

void Pelmora::Configure(const std::string &general, const std::string &sections)
{
    WriteFile(folder_.Path() + "/Pelmora.ini", "[General]\r\nPort=" + std::to_string(port_) +
                                                   "\r\nTrace=1\r\nDebug=1\r\nStartDelay=0\r\n" +
                                                   general + sections);
}

void Pelmora::InstallDriver(const std::string &from, const std::string &relative)
{
    const fs::path source =
        fs::path(from).is_absolute() ? fs::path(from) : fs::path(PELMORA_BIN_DIR) / from;
    const fs::path target = fs::path(folder_.Path()) / relative;
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
}

bool Pelmora::Start()
{
    process_ =
        std::make_unique<PelmoraProcess>(program_, std::vector<std::string>{"-d"},
                                         std::map<std::string, std::string>{{"NOTIFY_SOCKET", ""}});
    if (!process_->Started())
        return false;
    const std::string program = fs::canonical(program_).string();
    return WaitUntil([&] { return (pid_ = FindProcess(program)) > 0; }, 10000);
}

bool Pelmora::Stop()
{
    if (!process_)
        return false;
    bool ok = process_->WaitForBlockedSignal(SIGINT);
    if (ok) {
        process_->Signal(SIGINT);
        ok = process_->WaitForExit(60000) && process_->ExitCode() == 1;
    }
    if (!ok) {
        process_->Signal(SIGKILL);
        process_->WaitForExit(10000);
        // A sanitizer report ends the program with its own exit code; show it with the failure.
        std::fprintf(stderr,
                     "Pelmora did not stop cleanly (exit code %d). Its console output:\n%s\n",
                     process_->ExitCode(), process_->Output().c_str());
    }
    process_.reset();
    pid_ = -1;
    return ok;
}

void Pelmora::Kill()
{
    if (!process_)
        return;
    process_->Signal(SIGKILL);
    process_->WaitForExit(10000);
    process_.reset();
    pid_ = -1;
}

bool Pelmora::Running() { return pid_ > 0 && kill(pid_, 0) == 0 && DescriptorCount() >= 0; }

int Pelmora::DescriptorCount() const
{
    DIR *fds = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (!fds)
        return -1;
    // Files the connector and the log open and close every cycle come and go; sockets, the
    // poller and its events are what a lost connection would leave behind.
    const std::string folder = "/proc/" + std::to_string(pid_) + "/fd/";
    int count = 0;
    while (dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[256] = {};
        const ssize_t length =
            readlink((folder + entry->d_name).c_str(), target, sizeof(target) - 1);
        if (length > 0 && target[0] == '/')
            continue;
        ++count;
    }
    closedir(fds);
    return count;
}

std::string Pelmora::Log() const { return ReadFile(folder_.Path() + "/Pelmora.log"); }

}  // namespace fault
