// The data server of the running service: the application's thread pool and socket server,
// started, toggled and shut down by the service run.
#pragma once

#include <memory>

#include "platform/win32.h"

// [General] values the service run read from Pelmora.ini.
struct DataServerSettings {
    WORD listenPort;         // Port, low 16 bits
    DWORD maxPooledSockets;  // maxSockets
    DWORD maxPooledBuffers;  // maxBuffers
    DWORD minThreads;        // minThreads
    DWORD maxThreads;        // maxThreads
};

class CDataServer {
public:
    // Destroys the socket server, then the thread pool.
    virtual ~CDataServer() = default;

    // The pause/resume toggle of the service run.
    virtual void StartAcceptingConnections() = 0;
    virtual void StopAcceptingConnections() = 0;

    // Shuts the thread pool down (15000 ms, then forced), then the socket server.
    virtual void Shutdown() = 0;
};

// Constructs and starts the thread pool, then the socket server, which begins accepting.
// Failures throw (Tarnwick::Win32::CException and derived); whatever was built is destroyed.
std::unique_ptr<CDataServer> StartDataServer(const DataServerSettings &settings);
