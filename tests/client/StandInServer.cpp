#include "tests/client/StandInServer.h"

#include "client/Connection.h"
#include "dataserver/Seal.h"

#include <cstring>
#include <stdexcept>

namespace clienttest {
namespace {

SOCKET NewSocket() { return WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0); }

// Binds to 127.0.0.1 at a port the system picks; returns the port, 0 on failure.
USHORT BindLoopback(SOCKET s)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool ReceiveAll(SOCKET s, BYTE *buffer, size_t size)
{
    size_t received = 0;
    while (received < size) {
        const int n = recv(s, reinterpret_cast<char *>(buffer + received), int(size - received), 0);
        if (n <= 0)
            return false;
        received += size_t(n);
    }
    return true;
}

}  // namespace

WinsockStarted::WinsockStarted()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("WSAStartup failed");
}

WinsockStarted::~WinsockStarted() { WSACleanup(); }

MeteoResponse FilledWindow(LONG station, DWORD nCount)
{
    MeteoResponse r;
    std::memset(&r, 0, sizeof r);
    r.nSize = LONG(METEO_RESPONSE_SIZE);
    r.nVersion = METEO_RESPONSE_VERSION;
    // 2026-12-08T16:20:00Z
    const ULONGLONG ft = (1796746800ull + 11644473600ull) * 10000000ull;
    r.ftTime.dwLowDateTime = DWORD(ft);
    r.ftTime.dwHighDateTime = DWORD(ft >> 32);
    r.dWindSpeed = 12.3;
    r.dWindDir = 271.0;
    r.dWindStdDir = 12.5;
    r.dOutsideTemp = -4.5;
    r.dHumidity = 87.0;
    r.dRain = 0.2;
    r.dPressure = 1013.2;
    r.dSolar = 412.0;
    r.dCurWindSpeed = 14.0;
    r.dCurWindDir = 45.0;
    r.dCurOutsideTemp = -4.7;
    r.dCurHumidity = 88.0;
    r.dCurRain = 0.5;
    r.dCurPressure = 1013.5;
    r.dCurSolar = 415.0;
    r.nCount = nCount;
    r.nStation = station;
    return r;
}

StandInServer::StandInServer(Behaviour behaviour) : behaviour_(behaviour)
{
    listener_ = NewSocket();
    if (listener_ == INVALID_SOCKET || (port_ = BindLoopback(listener_)) == 0 ||
        listen(listener_, 8) != 0)
        throw std::runtime_error("the stand-in server cannot listen");
    thread_ = std::thread([this] { Serve(); });
}

StandInServer::~StandInServer()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        closesocket(listener_);  // releases the accept
        if (current_ != INVALID_SOCKET) {
            closesocket(current_);  // releases a recv
            current_ = INVALID_SOCKET;
        }
    }
    thread_.join();
}

void StandInServer::SetStationCount(DWORD count)
{
    std::lock_guard<std::mutex> guard(lock_);
    stationCount_ = count;
}

void StandInServer::SetWindow(DWORD station, DWORD slot, const MeteoResponse &record)
{
    std::lock_guard<std::mutex> guard(lock_);
    windows_[{station, slot}] = record;
}

std::vector<QueryData> StandInServer::Requests() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

int StandInServer::Connections() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

void StandInServer::Serve()
{
    for (;;) {
        SOCKET s = accept(listener_, nullptr, nullptr);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) {
                if (s != INVALID_SOCKET)
                    closesocket(s);
                return;
            }
            if (s == INVALID_SOCKET)
                continue;
            current_ = s;
            ++connections_;
        }
        Converse(s);
        std::lock_guard<std::mutex> guard(lock_);
        if (current_ == s) {
            closesocket(s);
            current_ = INVALID_SOCKET;
        }
    }
}

bool StandInServer::SendBytes(SOCKET s, const BYTE *bytes, size_t length)
{
    if (behaviour_ != Behaviour::ByteByByte)
        return send(s, reinterpret_cast<const char *>(bytes), int(length), 0) == int(length);
    for (size_t i = 0; i < length; ++i)
        if (send(s, reinterpret_cast<const char *>(bytes + i), 1, 0) != 1)
            return false;
    return true;
}

void StandInServer::Converse(SOCKET s)
{
    const BYTE *refusal = reinterpret_cast<const BYTE *>(pelmora::REFUSAL_TEXT);
    MeteoResponse greeting = MakeGreeting();
    switch (behaviour_) {
    case Behaviour::Silent: {
        BYTE byte;
        recv(s, reinterpret_cast<char *>(&byte), 1, 0);  // until the client gives up
        return;
    }
    case Behaviour::StrangerBytes: {
        const BYTE banner[] = {'S', 'S', 'H', '-', '2', '.', '0', '\r', '\n'};
        SendBytes(s, banner, sizeof banner);
        BYTE byte;
        recv(s, reinterpret_cast<char *>(&byte), 1, 0);
        return;
    }
    case Behaviour::RefusalGreeting:
        SendBytes(s, refusal, pelmora::REFUSAL_TEXT_LENGTH);
        shutdown(s, SD_BOTH);
        return;
    case Behaviour::WrongVersion: greeting.nVersion = 2; break;
    default: break;
    }
    if (!SendBytes(s, reinterpret_cast<const BYTE *>(&greeting), sizeof greeting))
        return;

    pelmora::SaferKey key;
    pelmora::ExpandSealKey(key);
    for (;;) {
        QueryData query;
        if (!ReceiveAll(s, reinterpret_cast<BYTE *>(&query), sizeof query))
            return;
        {
            std::lock_guard<std::mutex> guard(lock_);
            requests_.push_back(query);
        }
        if (behaviour_ == Behaviour::RefuseRequests) {
            SendBytes(s, refusal, pelmora::REFUSAL_TEXT_LENGTH);
            shutdown(s, SD_BOTH);
            return;
        }
        MeteoResponse response;
        if (!Answer(query, response))
            continue;
        if (behaviour_ == Behaviour::WrongStation)
            response.nStation = LONG(query.nStationNumber) + 1;
        BYTE sealed[METEO_RESPONSE_SIZE];
        pelmora::SealInto(response, key, sealed);
        if (behaviour_ == Behaviour::TamperResponses)
            sealed[100] ^= 0x01;
        const size_t length =
            behaviour_ == Behaviour::CutResponses ? sizeof sealed / 2 : sizeof sealed;
        if (!SendBytes(s, sealed, length) || behaviour_ == Behaviour::CutResponses)
            return;
    }
}

// The data server's rule, over the stand-in's own table.
bool StandInServer::Answer(const QueryData &query, MeteoResponse &response) const
{
    if (query.nSize != QUERY_DATA_SIZE || query.nStationNumber == 0)
        return false;
    std::memset(&response, 0, sizeof response);
    response.nSize = LONG(METEO_RESPONSE_SIZE);
    response.nVersion = METEO_RESPONSE_VERSION;
    std::lock_guard<std::mutex> guard(lock_);
    if (query.nStationNumber - 1 >= stationCount_) {
        response.nStation = STATION_NOT_CONFIGURED;
        return true;
    }
    if (query.nSlot >= AVERAGE_SLOTS_IN_USE) {
        response.nStation = SLOT_OUT_OF_RANGE;
        return true;
    }
    auto window = windows_.find({query.nStationNumber, query.nSlot});
    if (window == windows_.end())
        return true;  // nStation 0: no readings
    const MeteoResponse &w = window->second;
    if (query.nOperation == 0) {
        response = w;
        std::memset(response.digest, 0, sizeof response.digest);
        return true;
    }
    response.nStation = w.nStation;
    response.ftTime = w.ftTime;
    response.dWindSpeed = w.dCurWindSpeed;
    response.dWindDir = w.dCurWindDir;
    response.dWindStdDir = -1.0;
    response.dOutsideTemp = w.dCurOutsideTemp;
    response.dHumidity = w.dCurHumidity;
    response.dRain = w.dCurRain;
    response.dPressure = w.dCurPressure;
    response.dSolar = w.dCurSolar;
    return true;
}

RefusingPort::RefusingPort()
{
    socket_ = NewSocket();
    if (socket_ == INVALID_SOCKET || (port_ = BindLoopback(socket_)) == 0)
        throw std::runtime_error("cannot bind a refusing port");
}

RefusingPort::~RefusingPort() { closesocket(socket_); }

}  // namespace clienttest
