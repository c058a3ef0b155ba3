// Many clients at once, each with many pipelined requests: every response arrives, in request
// order per connection, and opens with a valid digest.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/dataserver_client.h"

namespace {

constexpr int kThreads = 20;
constexpr int kClientsPerThread = 10;  // 200 connections
constexpr int kRequests = 100;

// Request i asks for one of four answers, so that a response out of place shows. The one
// station has no driver: its windows stay empty.
std::string RequestNumber(int i)
{
    switch (i % 4) {
    case 0: return Request(0, 1, DWORD(i % 12));
    case 1: return Request(1, 9, 0);
    case 2: return Request(0, 1, 12);
    default: return Request(0, 2, 0);
    }
}

LONG ExpectedStation(int i)
{
    static const LONG answers[4] = {WINDOW_EMPTY, STATION_NOT_CONFIGURED, SLOT_OUT_OF_RANGE,
                                    STATION_NOT_CONFIGURED};
    return answers[i % 4];
}

struct Outcome {
    int connected = 0;  // pipelines sent
    int answered = 0;
    int damaged = 0;
    int misplaced = 0;
};

TEST(DataServerLoad, pipelined_requests_of_200_clients_are_all_answered_in_order)
{
    // No station readings: they would change station 1's answers during the run, and the
    // station threads would outlive the run (they end with the process).
    ServedPelmora pelmora(0, false);
    ASSERT_TRUE(pelmora.Started());

    std::string pipeline;
    for (int i = 0; i < kRequests; ++i)
        pipeline += RequestNumber(i);

    // Connections are made one after another: the listen backlog is 5, and a burst beyond it
    // is not what this test is about.
    std::vector<std::unique_ptr<DataClient>> clients;
    for (int c = 0; c < kThreads * kClientsPerThread; ++c) {
        auto client = std::make_unique<DataClient>(pelmora.Port());
        std::string greeting;
        ASSERT_TRUE(client->Connected()) << c;
        ASSERT_TRUE(client->Receive(greeting, METEO_RESPONSE_SIZE)) << c;
        clients.push_back(std::move(client));
    }

    std::vector<Outcome> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Outcome &outcome = outcomes[size_t(t)];
            const size_t first = size_t(t) * kClientsPerThread;
            for (size_t c = first; c < first + kClientsPerThread; ++c)
                outcome.connected += clients[c]->Send(pipeline) ? 1 : 0;
            for (size_t c = first; c < first + kClientsPerThread; ++c) {
                for (int i = 0; i < kRequests; ++i) {
                    std::string sealed;
                    if (!clients[c]->Receive(sealed, METEO_RESPONSE_SIZE, 60000))
                        break;
                    ++outcome.answered;
                    pelmora::MeteoReading reading{};
                    if (!OpenResponse(sealed, reading))
                        ++outcome.damaged;
                    else if (reading.nStation != ExpectedStation(i))
                        ++outcome.misplaced;
                }
            }
        });
    }
    for (auto &thread : threads)
        thread.join();

    Outcome total;
    for (const Outcome &o : outcomes) {
        total.connected += o.connected;
        total.answered += o.answered;
        total.damaged += o.damaged;
        total.misplaced += o.misplaced;
    }
    EXPECT_EQ(kThreads * kClientsPerThread, total.connected);
    EXPECT_EQ(kThreads * kClientsPerThread * kRequests, total.answered);
    EXPECT_EQ(0, total.damaged);
    EXPECT_EQ(0, total.misplaced);
    EXPECT_TRUE(pelmora.Stop()) << pelmora.Output();
}

}  // namespace
