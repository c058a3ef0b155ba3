// pelmora-console-emulator: plays a weather console on a pseudo-terminal or a loopback TCP
// port until interrupted, so that Pelmora's serial mode can be tried without a console.
#include "consoleemu/ConsoleEmulator.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

using emulator::CConsoleEmulator;
using emulator::ConsoleState;
using emulator::Fault;

namespace {

int Run(int argc, char **argv)
{
    CLI::App app{"Plays a weather console for Pelmora's serial mode (Mode=serial)."};
    std::string link;
    uint16_t nPort = 0;
    bool bTcp = false;
    ConsoleState state;
    double dTemp = 72.5;
    double dBarometer = 29.921;
    unsigned nCollector = 0;
    Fault fault = Fault::None;
    const std::map<std::string, Fault> kFaults = {{"none", Fault::None},
                                                  {"silent", Fault::Silent},
                                                  {"bad-crc-once", Fault::BadCrcOnce},
                                                  {"bad-crc", Fault::BadCrcAlways},
                                                  {"cut", Fault::CutPacket},
                                                  {"junk", Fault::JunkBeforeAck},
                                                  {"slow", Fault::Slow}};
    auto *pty = app.add_option("--pty", link,
                               "a pseudo-terminal, reached through this link name (replaced)");
    auto *tcp = app.add_option("--tcp", nPort, "a TCP port on 127.0.0.1 (0: any free one)");
    pty->excludes(tcp);
    app.add_option("--temp", dTemp, "outside temperature, deg F")->check(CLI::Range(-100.0, 200.0));
    app.add_option("--barometer", dBarometer, "barometer, inHg")->check(CLI::Range(0.0, 40.0));
    app.add_option("--wind", state.nWindSpeed, "wind speed, mph");
    app.add_option("--dir", state.nWindDir, "wind direction, degrees (0: none)")
        ->check(CLI::Range(0, 360));
    app.add_option("--humidity", state.nHumidity, "outside humidity, %")->check(CLI::Range(0, 100));
    app.add_option("--solar", state.nSolar, "solar radiation, W/m2")->check(CLI::Range(0, 1800));
    app.add_option("--rain", state.nStormRain, "storm rain, collector clicks");
    app.add_option("--collector", nCollector, "rain collector: 0 = 0.01 in, 1 = 0.2 mm, 2 = 0.1 mm")
        ->check(CLI::Range(0, 2));
    app.add_option("--fault", fault, "none, silent, bad-crc-once, bad-crc, cut, junk or slow")
        ->transform(CLI::CheckedTransformer(kFaults));
    CLI11_PARSE(app, argc, argv);
    bTcp = tcp->count() > 0;
    if (link.empty() && !bTcp) {
        std::fprintf(stderr, "give --pty LINK or --tcp PORT\n");
        return 2;
    }
    state.nOutsideTemp = static_cast<int16_t>(std::lround(dTemp * 10.0));
    state.nBarometer = static_cast<uint16_t>(std::lround(dBarometer * 1000.0));
    state.nCollector = static_cast<uint8_t>(nCollector << 4);

    // Blocked before the emulator's thread starts, so that only sigwait takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    const std::unique_ptr<CConsoleEmulator> console =
        bTcp ? CConsoleEmulator::OnTcp(nPort) : CConsoleEmulator::OnPseudoTerminal();
    console->Set(state);
    console->SetFault(fault);
    std::error_code error;
    if (!bTcp) {
        std::filesystem::remove(link, error);
        std::filesystem::create_symlink(console->Device(), link, error);
        if (error) {
            std::fprintf(stderr, "pelmora-console-emulator: %s: %s\n", link.c_str(),
                         error.message().c_str());
            return 1;
        }
    }
    std::printf("console on %s%s%s\n", bTcp ? "" : link.c_str(), bTcp ? "" : " -> ",
                console->Device().c_str());
    std::fflush(stdout);
    int nSignal = 0;
    sigwait(&stop, &nSignal);
    if (!bTcp)
        std::filesystem::remove(link, error);
    std::printf("%d LOOP packets sent\n", console->PacketsSent());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "pelmora-console-emulator: %s\n", e.what());
        return 1;
    }
}
