// Loopback clients of the Pelmora data server and a Pelmora run with replayed stations, for
// the data-server system tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/Response.h"
#include "dataserver/Records.h"
#include "tests/system/loopback.h"
#include "tests/system/service_process.h"

// A blocking TCP client on 127.0.0.1 whose reads give up after a time.
class DataClient {
public:
    // Connects, retrying until the server accepts or the time runs out.
    explicit DataClient(unsigned short port, int timeoutMs = 20000);
    ~DataClient();
    DataClient(const DataClient &) = delete;
    DataClient &operator=(const DataClient &) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const void *data, size_t length);
    bool Send(const std::string &bytes) { return Send(bytes.data(), bytes.size()); }
    // Exactly `length` bytes, or false when the connection ends or the time runs out first.
    bool Receive(std::string &bytes, size_t length, int timeoutMs = 20000);
    // Everything up to the end of the connection; false when it does not end in time.
    // A reset counts as an end.
    bool ReceiveToEnd(std::string &bytes, int timeoutMs = 20000);
    // True when nothing arrives within the time.
    bool Quiet(int timeoutMs);

private:
    int fd_ = -1;
};

// Deciphers one sealed response; false when its digest does not match.
bool OpenResponse(const std::string &sealed, pelmora::MeteoReading &reading);

// Pelmora in console mode in a folder of its own, serving on a free port, with station 1
// replaying two valid readings (and one invalid) and station 2 replaying nothing (or, with
// secondReplays, two readings of its own); or, without replay, one station whose driver is
// missing, so that its thread ends at once. httpPort turns the web face on (on 127.0.0.1):
// 0 on a free port, another value on that port; -1 leaves it off.
class ServedPelmora {
public:
    explicit ServedPelmora(int trace = 1, bool replay = true, int httpPort = -1,
                           bool secondReplays = false);
    ~ServedPelmora();

    bool Started() const { return process_ && process_->Started(); }
    unsigned short Port() const { return port_; }
    unsigned short HttpPort() const { return httpPort_; }
    const std::string &Folder() const { return folder_.Path(); }
    // Waits until station 1's readings are in the table (its measurement file has them).
    bool WaitForReadings();
    // Stops the run; false when the program did not end with result 1.
    bool Stop();
    // What the program wrote, once it has stopped.
    const std::string &Output() const { return output_; }
    std::string Log() const;

private:
    TempFolder folder_{"pelmora-dataserver"};
    unsigned short port_ = 0;
    unsigned short httpPort_ = 0;
    std::unique_ptr<PelmoraProcess> process_;
    std::string output_;
};
