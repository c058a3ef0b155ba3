// Counters of the data server, for the web face's metrics; atomics, so the server's threads
// never wait for a reader.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint64_t> DataServerConnections;  // connections accepted
extern std::atomic<uint64_t> DataServerRequests;     // requests answered
