// The weather-station service: its run (configuration, data server, station threads, the wait
// for the stop request, shutdown) and its stop request.
#pragma once

#include <atomic>

#include "service/NTService.h"

class CKALMeteoService : public CNTService {
public:
    CKALMeteoService();

    // The whole life of the running service; returns once asked to stop (or when start-up
    // failed). Runs on the service thread, or on the main thread in a debug run.
    void Run(DWORD argc, LPSTR *argv) override;
    // Reports stop pending and tells Run to end; Run notices it within about 10 s.
    void Stop() override;

protected:
    std::atomic<HANDLE> m_hStopEvent;  // unnamed manual-reset event, while Run owns one
    // A stop that came before Run had its stop event (a console or session event, or SIGTERM,
    // during start-up); Run takes it over once the event exists.
    std::atomic<bool> m_bStopRequested;
};
