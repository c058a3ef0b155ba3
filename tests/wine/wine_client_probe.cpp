// A native client for the Wine-hosted service: proves that the Windows program serves the
// protocol to a Linux peer on loopback, and that its station reads the console through
// Halmdrv.dll and the SDK stand-in.
//
//   wine_client_probe free-port            prints a loopback port that nobody listens on
//   wine_client_probe check PORT SECONDS   connects (retrying until the server listens), checks
//                                          the greeting and sealed answers, and waits for the
//                                          first station's readings; exit 0 when all hold
#include "client/Response.h"
#include "tests/system/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string &text)
{
    std::fprintf(stderr, "wine_client_probe: %s\n", text.c_str());
    std::exit(1);
}

int PrintFreePort()
{
    const unsigned short port = FreePort();
    if (port == 0)
        Fail("no free port");
    std::printf("%u\n", unsigned(port));
    return 0;
}

// Connects once the server listens; the service under Wine takes a while to come up.
int Connect(unsigned port, Clock::time_point deadline)
{
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            Fail("socket failed");
        const sockaddr_in address = LoopbackAddress(static_cast<unsigned short>(port));
        if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            timeval timeout{10, 0};  // per receive; a silent server fails the check
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            return fd;
        }
        close(fd);
        if (Clock::now() >= deadline)
            Fail("nothing accepted connections on port " + std::to_string(port));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

void ReceiveRecord(int fd, BYTE record[METEO_RESPONSE_SIZE], const char *what)
{
    size_t received = 0;
    while (received < METEO_RESPONSE_SIZE) {
        const ssize_t n = recv(fd, record + received, METEO_RESPONSE_SIZE - received, 0);
        if (n <= 0)
            Fail(std::string(what) + ": connection ended or timed out after " +
                 std::to_string(received) + " bytes");
        received += size_t(n);
    }
}

pelmora::MeteoReading Ask(int fd, const pelmora::CResponseReader &reader, LONG nOperation,
                          DWORD nStation, DWORD nSlot)
{
    const QueryData query = pelmora::MakeQuery(nOperation, nStation, nSlot);
    if (send(fd, &query, sizeof query, MSG_NOSIGNAL) != ssize_t(sizeof query))
        Fail("send failed");
    BYTE sealed[METEO_RESPONSE_SIZE];
    ReceiveRecord(fd, sealed, "response");
    pelmora::MeteoReading reading{};
    if (!reader.Read(sealed, reading))
        Fail("a response failed its digest check");
    if (reading.nSize != LONG(METEO_RESPONSE_SIZE) || reading.nVersion != METEO_RESPONSE_VERSION)
        Fail("a response has size " + std::to_string(reading.nSize) + ", version " +
             std::to_string(reading.nVersion));
    return reading;
}

int Check(unsigned port, int seconds)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    const int fd = Connect(port, deadline);

    BYTE greeting[METEO_RESPONSE_SIZE];
    ReceiveRecord(fd, greeting, "greeting");
    if (!pelmora::IsGreeting(greeting))
        Fail("the first record is not the greeting");
    std::printf("greeting: %u bytes\n", unsigned(METEO_RESPONSE_SIZE));

    const pelmora::CResponseReader reader;
    const pelmora::MeteoReading unknown = Ask(fd, reader, 0, 2, 0);
    if (unknown.nStation != STATION_NOT_CONFIGURED)
        Fail("station 2 (not configured) answered with station " +
             std::to_string(unknown.nStation));
    const pelmora::MeteoReading outOfRange = Ask(fd, reader, 0, 1, AVERAGE_SLOTS_IN_USE);
    if (outOfRange.nStation != SLOT_OUT_OF_RANGE)
        Fail("window 12 answered with station " + std::to_string(outOfRange.nStation));
    std::printf("sealed answers: station not configured, window out of range\n");

    // The station's first readings come after its start delay and first cycle.
    for (;;) {
        const pelmora::MeteoReading averages = Ask(fd, reader, 0, 1, 0);
        const pelmora::MeteoReading latest = Ask(fd, reader, 1, 1, 0);
        if (averages.nStation == 1 && averages.nCount > 0 && latest.nStation == 1) {
            // The stand-in's weather: plausible values in the record's units.
            if (!(latest.dPressure > 900.0 && latest.dPressure < 1100.0) ||
                !(latest.dHumidity >= 0.0 && latest.dHumidity <= 100.0) ||
                !(latest.dWindSpeed >= 0.0) ||
                !(latest.dOutsideTemp > -60.0 && latest.dOutsideTemp < 60.0))
                Fail("implausible reading: pressure " + std::to_string(latest.dPressure) +
                     ", humidity " + std::to_string(latest.dHumidity) + ", wind " +
                     std::to_string(latest.dWindSpeed) + ", temperature " +
                     std::to_string(latest.dOutsideTemp));
            std::printf("station 1: %lu readings, latest %.1f km/h, %.1f C, %.0f %%, %.1f hPa\n",
                        static_cast<unsigned long>(averages.nCount), latest.dWindSpeed,
                        latest.dOutsideTemp, latest.dHumidity, latest.dPressure);
            break;
        }
        if (averages.nStation != WINDOW_EMPTY && averages.nStation != 1)
            Fail("station 1 answered with station " + std::to_string(averages.nStation));
        if (Clock::now() >= deadline)
            Fail("station 1 delivered no reading in time");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "free-port") == 0)
        return PrintFreePort();
    if (argc == 4 && std::strcmp(argv[1], "check") == 0)
        return Check(unsigned(std::atoi(argv[2])), std::atoi(argv[3]));
    std::fprintf(stderr, "usage: wine_client_probe free-port | check PORT SECONDS\n");
    return 2;
}
