// The web face: an HTTP server inside the service with the JSON API, the Prometheus metrics
// and the dashboard. It reads the station table only through web::CopyStation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "web/WebData.h"

namespace web {

struct Settings {
    std::string bind = "0.0.0.0";
    int port = 0;              // 0: off
    int maxConnections = 64;   // connections served at once; more wait to be accepted
    int timeoutSeconds = 5;    // read and write time-out of a connection
    std::string reportFolder;  // where the measurement files are, ending in a separator
    std::vector<StationInfo> stations;
};

// [http] Port, Bind, MaxConnections, Timeout and the stations of [General] from Pelmora.ini;
// the report folder as the connector threads choose it.
Settings ReadSettings(const char *szFNINI);

class Server {
public:
    virtual ~Server() = default;
    // Stops listening and waits for the connections being served.
    virtual void Stop() = 0;
};

// Started and listening, or null (off, or the port could not be had; that is logged).
std::unique_ptr<Server> Start(const Settings &settings);
// Stops listening and waits for the connections being served (bounded by the time-outs).
void Stop(std::unique_ptr<Server> &server);

}  // namespace web
