// The client connection against the stand-in server: greeting, requests, sealed responses, and
// each way a peer can fail it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "client/Connection.h"
#include "tests/client/StandInServer.h"

using namespace pelmora;
using clienttest::Behaviour;
using clienttest::FilledWindow;
using clienttest::StandInServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr DWORD GENEROUS_MS = 20000;

// The failure that connecting and asking station 1, window 0, ends with.
ClientFailure FailureOf(Behaviour behaviour, DWORD timeoutMs = GENEROUS_MS)
{
    StandInServer server(behaviour);
    server.SetWindow(1, 0, FilledWindow(1, 3));
    try {
        CQueryConnection connection("127.0.0.1", server.Port(), timeoutMs);
        connection.Ask(MakeQuery(0, 1, 0));
    } catch (const CClientError &e) {
        return e.Failure();
    }
    ADD_FAILURE() << "no failure";
    return ClientFailure::SocketError;
}

}  // namespace

TEST(ClientConnection, sends_well_formed_requests_and_reads_their_responses_in_order)
{
    StandInServer server;
    server.SetStationCount(2);
    server.SetWindow(1, 0, FilledWindow(1, 7));
    server.SetWindow(2, 3, FilledWindow(2, 40));

    CQueryConnection connection("127.0.0.1", server.Port(), GENEROUS_MS);
    const MeteoReading first = connection.Ask(MakeQuery(0, 1, 0));
    const MeteoReading second = connection.Ask(MakeQuery(0, 2, 3));
    const MeteoReading latest = connection.Ask(MakeQuery(1, 2, 3));

    EXPECT_EQ(1, first.nStation);
    EXPECT_EQ(7u, first.nCount);
    EXPECT_EQ(12.3, first.dWindSpeed);
    EXPECT_EQ(1013.5, first.dCurPressure);
    EXPECT_EQ(2, second.nStation);
    EXPECT_EQ(40u, second.nCount);
    EXPECT_EQ(2, latest.nStation);
    EXPECT_EQ(-1.0, latest.dWindStdDir);
    EXPECT_EQ(14.0, latest.dWindSpeed);

    const std::vector<QueryData> requests = server.Requests();
    ASSERT_EQ(3u, requests.size());
    const QueryData expected[3] = {MakeQuery(0, 1, 0), MakeQuery(0, 2, 3), MakeQuery(1, 2, 3)};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(0, std::memcmp(&expected[i], &requests[i], sizeof(QueryData))) << "request " << i;
}

TEST(ClientConnection, answers_without_data_come_back_with_their_status)
{
    StandInServer server;
    server.SetStationCount(3);
    CQueryConnection connection("127.0.0.1", server.Port(), GENEROUS_MS);
    EXPECT_EQ(STATION_NOT_CONFIGURED, connection.Ask(MakeQuery(0, 5, 12)).nStation);
    EXPECT_EQ(SLOT_OUT_OF_RANGE, connection.Ask(MakeQuery(0, 1, 12)).nStation);
    const MeteoReading empty = connection.Ask(MakeQuery(0, 1, 11));
    EXPECT_EQ(WINDOW_EMPTY, empty.nStation);
    EXPECT_EQ(0u, empty.nCount);
}

TEST(ClientConnection, records_that_arrive_a_byte_at_a_time_are_put_together)
{
    StandInServer server(Behaviour::ByteByByte);
    server.SetWindow(1, 4, FilledWindow(1, 9));
    CQueryConnection connection("127.0.0.1", server.Port(), GENEROUS_MS);
    const MeteoReading reading = connection.Ask(MakeQuery(0, 1, 4));
    EXPECT_EQ(1, reading.nStation);
    EXPECT_EQ(9u, reading.nCount);
}

TEST(ClientConnection, host_names_are_resolved)
{
    StandInServer server;
    server.SetWindow(1, 1, FilledWindow(1, 2));
    CQueryConnection connection("localhost", server.Port(), GENEROUS_MS);
    EXPECT_EQ(2u, connection.Ask(MakeQuery(0, 1, 1)).nCount);
    EXPECT_EQ("localhost:" + std::to_string(server.Port()), connection.Peer());
}

TEST(ClientConnection, a_port_where_nothing_listens_is_connection_refused)
{
    clienttest::RefusingPort port;
    try {
        CQueryConnection connection("127.0.0.1", port.Port(), GENEROUS_MS);
        FAIL() << "connected";
    } catch (const CClientError &e) {
        EXPECT_EQ(ClientFailure::ConnectionRefused, e.Failure());
        EXPECT_NE(std::string::npos, std::string(e.what()).find("connection refused")) << e.what();
    }
}

TEST(ClientConnection, a_server_that_never_greets_times_out_after_the_time_allowed)
{
    const auto start = Clock::now();
    EXPECT_EQ(ClientFailure::TimedOut, FailureOf(Behaviour::Silent, 300));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(15));
}

TEST(ClientConnection, bytes_that_cannot_begin_a_greeting_fail_at_once_without_waiting_for_more)
{
    const auto start = Clock::now();
    EXPECT_EQ(ClientFailure::NotAGreeting, FailureOf(Behaviour::StrangerBytes, 60000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
}

TEST(ClientConnection, a_greeting_of_the_wrong_version_is_not_a_greeting)
{
    EXPECT_EQ(ClientFailure::NotAGreeting, FailureOf(Behaviour::WrongVersion));
}

TEST(ClientConnection, the_refusal_text_is_reported_as_a_refusal_before_or_after_greeting)
{
    EXPECT_EQ(ClientFailure::RefusedByServer, FailureOf(Behaviour::RefusalGreeting));
    EXPECT_EQ(ClientFailure::RefusedByServer, FailureOf(Behaviour::RefuseRequests));
}

TEST(ClientConnection, a_tampered_response_fails_its_digest_check)
{
    EXPECT_EQ(ClientFailure::DigestMismatch, FailureOf(Behaviour::TamperResponses));
}

TEST(ClientConnection, a_response_cut_short_is_a_lost_connection)
{
    EXPECT_EQ(ClientFailure::ConnectionLost, FailureOf(Behaviour::CutResponses));
}

TEST(ClientConnection, a_sound_response_for_another_station_is_unexpected)
{
    EXPECT_EQ(ClientFailure::UnexpectedResponse, FailureOf(Behaviour::WrongStation));
}

TEST(ClientConnection, a_failed_connection_cannot_be_asked_again)
{
    StandInServer server(Behaviour::TamperResponses);
    CQueryConnection connection("127.0.0.1", server.Port(), GENEROUS_MS);
    EXPECT_THROW(connection.Ask(MakeQuery(0, 1, 0)), CClientError);
    try {
        connection.Ask(MakeQuery(0, 1, 0));
        FAIL() << "asked a closed connection";
    } catch (const CClientError &e) {
        EXPECT_EQ(ClientFailure::ConnectionLost, e.Failure());
    }
    EXPECT_EQ(1u, server.Requests().size());
}
