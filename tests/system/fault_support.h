// Helpers of the fault system tests: Pelmora in console mode in a folder of its own with the
// settings a test gives it, the process's descriptors and log, and loopback clients that can
// behave well or badly.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/Response.h"
#include "tests/system/loopback.h"
#include "tests/system/service_process.h"

namespace fault {

using Clock = std::chrono::steady_clock;

// Polls `condition` every few milliseconds until it holds or `timeoutMs` has passed.
bool WaitUntil(const std::function<bool()> &condition, int timeoutMs);

using ::FreePort;
using ::Request;

// Counts the lines of `text` that contain `what`.
size_t CountLines(const std::string &text, const std::string &what);

// The lines of a station's measurement files in `folder` (one file per UTC day), oldest day
// first, without their line ends.
std::vector<std::string> MeasurementLines(const std::string &folder, unsigned long station);
// Column `column` (1 = time stamp) of a measurement line as a number.
double Column(const std::string &line, int column);

// A TCP client on 127.0.0.1. Every wait gives up after its time.
class Client {
public:
    // Connects once; Connected() tells whether it worked. A receive buffer size other than 0
    // is set before connecting, so that the window the server sees is that small.
    explicit Client(unsigned short port, int receiveBuffer = 0);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string &bytes);
    // Exactly `length` bytes; false when the connection ends or the time runs out first.
    bool Receive(std::string &bytes, size_t length, int timeoutMs);
    // Reads until the server ends the connection (an end or a reset); false when it does not
    // end in time.
    bool ReceiveToEnd(std::string &bytes, int timeoutMs);
    // Closes with a reset (linger on, time 0).
    void Reset();
    // Closes the sending side only.
    void ShutdownSend();
    void Close();

private:
    int fd_ = -1;
};

// A well-behaved exchange on a connection of its own: the greeting, then `requests` requests
// for station 1 one after another, each answered in time by a sealed response of station 1
// (or of an empty window); false at the first deviation. `answered` counts the right ones.
bool WellBehavedSession(unsigned short port, int requests, int &answered, int timeoutMs = 10000);

// The latest reading of station 1 as the data server gives it, on a connection of its own.
bool LatestReading(unsigned short port, pelmora::MeteoReading &reading, int timeoutMs = 10000);

// Pelmora run in console mode from a copy in a temporary folder.
class Pelmora {
public:
    Pelmora();
    ~Pelmora();

    const std::string &Folder() const { return folder_.Path(); }
    unsigned short Port() const { return port_; }

    // Writes Pelmora.ini: [General] with the port, logging on, the given extra lines (each
    // ended by CR LF), then `sections` as they are.
    void Configure(const std::string &general, const std::string &sections);
    // Copies a built driver library (from the bin folder or a given path) to `relative`.
    void InstallDriver(const std::string &from, const std::string &relative);

    bool Start();
    // Stops with Ctrl+C; false when it did not end with result 1 in time.
    bool Stop();
    // Ends it at once with SIGKILL, as a crash or a power cut would.
    void Kill();
    bool Running();
    int Pid() const { return pid_; }
    // Open descriptors of the process other than files on disk, or -1 when it is gone.
    int DescriptorCount() const;
    std::string Log() const;
    const PelmoraProcess *Process() const { return process_.get(); }

private:
    TempFolder folder_{"pelmora-fault"};
    std::string program_;
    unsigned short port_ = 0;
    std::unique_ptr<PelmoraProcess> process_;
    int pid_ = -1;
};

}  // namespace fault
