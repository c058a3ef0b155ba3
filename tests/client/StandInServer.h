// A data server stand-in on 127.0.0.1 for the client's tests: one thread, plain blocking
// sockets, one connection at a time. It greets, reads 128-byte requests and answers each as the
// data server does, from a small table of its own, sealed with the seal library; a Behaviour
// makes it misbehave in one chosen way.
#pragma once

#include "dataserver/Records.h"

#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace clienttest {

enum class Behaviour {
    Normal,
    Silent,           // accepts and never sends
    StrangerBytes,    // sends a few bytes that are no greeting, then waits
    WrongVersion,     // a 304-byte greeting-like record with version 2
    RefusalGreeting,  // sends the refusal text instead of the greeting and closes
    RefuseRequests,   // greets, then answers a request with the refusal text and closes
    TamperResponses,  // flips one byte of every sealed response
    CutResponses,     // sends half of a response and closes
    ByteByByte,       // sends everything one byte per send
    WrongStation,     // answers with a station number other than the one asked
};

// Winsock started for as long as the object lives.
class WinsockStarted {
public:
    WinsockStarted();
    ~WinsockStarted();
};

// A window-mode record for station `station` (nStation set) with distinct values.
MeteoResponse FilledWindow(LONG station, DWORD nCount);

class StandInServer {
public:
    explicit StandInServer(Behaviour behaviour = Behaviour::Normal);
    ~StandInServer();
    StandInServer(const StandInServer &) = delete;
    StandInServer &operator=(const StandInServer &) = delete;

    USHORT Port() const { return port_; }

    // Stations 1..count are configured; windows without data answer status 0.
    void SetStationCount(DWORD count);
    // The window-mode answer of (station, slot); latest-mode answers are made from it the way
    // the data server fills them (latest values in the average fields).
    void SetWindow(DWORD station, DWORD slot, const MeteoResponse &record);

    // Every request received so far, in arrival order.
    std::vector<QueryData> Requests() const;
    int Connections() const;

private:
    void Serve();
    void Converse(SOCKET s);
    bool SendBytes(SOCKET s, const BYTE *bytes, size_t length);
    bool Answer(const QueryData &query, MeteoResponse &response) const;

    WinsockStarted winsock_;
    Behaviour behaviour_;
    SOCKET listener_ = INVALID_SOCKET;
    USHORT port_ = 0;
    mutable std::mutex lock_;
    SOCKET current_ = INVALID_SOCKET;
    bool stopping_ = false;
    DWORD stationCount_ = 1;
    std::map<std::pair<DWORD, DWORD>, MeteoResponse> windows_;
    std::vector<QueryData> requests_;
    int connections_ = 0;
    std::thread thread_;
};

// A port on 127.0.0.1 that refuses connections: bound, not listening, for as long as the
// object lives.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    USHORT Port() const { return port_; }

private:
    WinsockStarted winsock_;
    SOCKET socket_ = INVALID_SOCKET;
    USHORT port_ = 0;
};

}  // namespace clienttest
