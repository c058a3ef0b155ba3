// The pelmora-query command: its command line, its rounds of requests and its output.
#pragma once

#include "client/Report.h"

#include <ostream>
#include <string>
#include <vector>

namespace pelmora {

constexpr WORD DEFAULT_PORT = 7599;
constexpr DWORD DEFAULT_WINDOW = 1;  // 10 minutes
constexpr double DEFAULT_TIMEOUT_SECONDS = 5;

// What one round asks: one request per window, in this order, on one connection.
struct QueryPlan {
    std::string host = "localhost";
    WORD port = DEFAULT_PORT;
    DWORD nStationNumber = 1;
    std::vector<DWORD> slots = {DEFAULT_WINDOW};
    bool latest = false;
    DWORD timeoutMs = DWORD(DEFAULT_TIMEOUT_SECONDS * 1000);
};

// Connects, asks, and returns the answers in request order. Throws CClientError.
std::vector<Answer> RunRound(const QueryPlan &plan);

// The whole command: `args` without the program name. Data goes to `out`, messages to `err`;
// returns the exit code (exitcode::...).
int RunQueryCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace pelmora
