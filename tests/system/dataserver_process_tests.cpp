// The Pelmora program answering data clients on loopback, end to end: greeting, framing,
// refusal, status codes and averages of replayed readings, every response deciphered and its
// digest checked.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "tests/system/dataserver_client.h"

namespace {

constexpr size_t kResponse = METEO_RESPONSE_SIZE;

class DataServerProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pelmora_ = new ServedPelmora();
        readingsArrived_ = pelmora_->Started() && pelmora_->WaitForReadings();
    }
    static void TearDownTestSuite()
    {
        const bool stopped = pelmora_->Stop();
        EXPECT_TRUE(stopped) << "the service did not end with result 1:\n" << pelmora_->Output();
        delete pelmora_;
        pelmora_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(pelmora_->Started());
        ASSERT_TRUE(readingsArrived_) << "station 1 never delivered its readings";
    }

    // A connected client past its greeting.
    std::unique_ptr<DataClient> Greeted()
    {
        auto client = std::make_unique<DataClient>(pelmora_->Port());
        std::string greeting;
        if (!client->Connected() || !client->Receive(greeting, kResponse))
            return nullptr;
        return client;
    }

    static ServedPelmora *pelmora_;
    static bool readingsArrived_;
};

ServedPelmora *DataServerProcess::pelmora_ = nullptr;
bool DataServerProcess::readingsArrived_ = false;

// Reads one response and opens it; fails the test when it is missing or damaged.
::testing::AssertionResult NextResponse(DataClient &client, pelmora::MeteoReading &reading)
{
    std::string sealed;
    if (!client.Receive(sealed, kResponse))
        return ::testing::AssertionFailure() << "no response";
    if (!OpenResponse(sealed, reading))
        return ::testing::AssertionFailure() << "digest does not match";
    return ::testing::AssertionSuccess();
}

TEST_F(DataServerProcess, silent_client_gets_exactly_the_plain_greeting)
{
    DataClient client(pelmora_->Port());
    ASSERT_TRUE(client.Connected());
    std::string greeting;
    ASSERT_TRUE(client.Receive(greeting, kResponse));

    std::string expected(kResponse, '\0');
    expected[0] = char(0x30);  // 304
    expected[1] = char(0x01);
    expected[4] = char(0x01);  // version 1
    EXPECT_EQ(expected, greeting);
    EXPECT_TRUE(client.Quiet(500)) << "more than the greeting arrived";
}

TEST_F(DataServerProcess, request_in_one_byte_writes_is_answered_once)
{
    auto client = Greeted();
    ASSERT_TRUE(client);
    const std::string request = Request(0, 1, 0);
    for (char byte : request)
        ASSERT_TRUE(client->Send(&byte, 1));

    pelmora::MeteoReading reading{};
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(1, reading.nStation);
    EXPECT_EQ(2u, reading.nCount);
    EXPECT_TRUE(client->Quiet(500)) << "answered more than once";
}

TEST_F(DataServerProcess, three_requests_in_one_write_are_answered_in_order)
{
    auto client = Greeted();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->Send(Request(0, 1, 12) + Request(0, 1, 0) + Request(0, 7, 0)));

    pelmora::MeteoReading reading{};
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(SLOT_OUT_OF_RANGE, reading.nStation);
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(1, reading.nStation);
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(STATION_NOT_CONFIGURED, reading.nStation);
}

TEST_F(DataServerProcess, responses_carry_status_codes_and_window_averages)
{
    auto client = Greeted();
    ASSERT_TRUE(client);
    pelmora::MeteoReading reading{};

    ASSERT_TRUE(client->Send(Request(0, 3, 0)));
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(STATION_NOT_CONFIGURED, reading.nStation);
    EXPECT_EQ(0u, reading.nCount);
    EXPECT_EQ(METEO_RESPONSE_VERSION, reading.nVersion);

    ASSERT_TRUE(client->Send(Request(0, 1, 12)));
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(SLOT_OUT_OF_RANGE, reading.nStation);

    // Station 2 replays an empty file: its windows stay empty.
    ASSERT_TRUE(client->Send(Request(0, 2, 0)));
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(WINDOW_EMPTY, reading.nStation);
    EXPECT_EQ(0u, reading.nCount);

    // Two valid readings of station 1 (the invalid one between them is dropped).
    for (DWORD slot : {0u, 11u}) {
        ASSERT_TRUE(client->Send(Request(0, 1, slot)));
        ASSERT_TRUE(NextResponse(*client, reading));
        EXPECT_EQ(1, reading.nStation) << slot;
        EXPECT_EQ(2u, reading.nCount) << slot;
        EXPECT_NEAR(13.0, reading.dWindSpeed, 1e-9) << slot;
        EXPECT_NEAR(2.1, reading.dOutsideTemp, 1e-9) << slot;
        EXPECT_NEAR(87.0, reading.dHumidity, 1e-9) << slot;
        EXPECT_NEAR(0.05, reading.dRain, 1e-9) << slot;
        EXPECT_NEAR(1012.5, reading.dPressure, 1e-9) << slot;
        EXPECT_NEAR(162.8, reading.dSolar, 1e-9) << slot;
        EXPECT_NEAR(13.4, reading.dCurWindSpeed, 1e-9) << slot;
        EXPECT_NEAR(2.2, reading.dCurOutsideTemp, 1e-9) << slot;
    }
}

TEST_F(DataServerProcess, wrong_length_prefix_is_refused_and_the_connection_shut)
{
    for (unsigned prefix : {129u, 384u}) {
        auto client = Greeted();
        ASSERT_TRUE(client);
        std::string request = Request(0, 1, 0);
        request[0] = char(prefix & 0xFF);
        request[1] = char(prefix >> 8);
        ASSERT_TRUE(client->Send(request));

        std::string refusal;
        ASSERT_TRUE(client->Receive(refusal, 30)) << prefix;
        EXPECT_EQ("Invalid connection! Go away!\r\n", refusal) << prefix;
        // A valid request afterwards gets nothing: the connection only ends.
        client->Send(Request(0, 1, 0));
        std::string rest;
        EXPECT_TRUE(client->ReceiveToEnd(rest)) << prefix;
        EXPECT_EQ("", rest) << prefix;
    }
}

TEST_F(DataServerProcess, request_with_a_wrong_size_field_is_skipped_and_the_next_answered)
{
    auto client = Greeted();
    ASSERT_TRUE(client);
    // The length prefix says 128, but nSize as a whole does not.
    std::string unanswered = Request(0, 1, 0);
    unanswered[2] = char(0x01);
    unanswered[3] = char(0x02);
    ASSERT_TRUE(client->Send(unanswered + Request(0, 1, 12) + Request(0, 1, 0)));

    pelmora::MeteoReading reading{};
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(SLOT_OUT_OF_RANGE, reading.nStation);
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(1, reading.nStation);
    EXPECT_TRUE(client->Quiet(500));

    // The connection goes on as before.
    ASSERT_TRUE(client->Send(Request(0, 3, 0)));
    ASSERT_TRUE(NextResponse(*client, reading));
    EXPECT_EQ(STATION_NOT_CONFIGURED, reading.nStation);
}

TEST(DataServerStartup, listen_port_in_use_logs_one_exception_and_never_runs)
{
    // Holds the port the service is told to listen on.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address));
    ASSERT_EQ(0, listen(holder, 1));
    socklen_t length = sizeof address;
    ASSERT_EQ(0, getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length));
    const unsigned short port = ntohs(address.sin_port);

    TempFolder folder("pelmora-dataserver");
    const std::string program = CopyPelmora(folder.Path());
    WriteFile(folder.Path() + "/Pelmora.ini",
              "[General]\r\nPort=" + std::to_string(port) +
                  "\r\nTrace=1\r\nStartDelay=0\r\n[1]\r\nDriver=missing.so\r\n");

    PelmoraProcess pelmora(program, {"-d"}, {{"NOTIFY_SOCKET", ""}});
    ASSERT_TRUE(pelmora.Started());
    // Nothing stops it: the failed start ends the run by itself.
    ASSERT_TRUE(pelmora.WaitForExit(30000));
    EXPECT_EQ(1, pelmora.ExitCode()) << pelmora.Output();
    close(holder);

    const std::string log = ReadFile(folder.Path() + "/Pelmora.log");
    size_t exceptions = 0;
    for (size_t at = log.find("Exception: "); at != std::string::npos;
         at = log.find("Exception: ", at + 1))
        ++exceptions;
    EXPECT_EQ(1u, exceptions) << log;
    EXPECT_EQ(std::string::npos, log.find("ThreadMeteoConnector")) << log;
    EXPECT_EQ(std::string::npos, log.find("OnConnectionEstablished")) << log;
}

}  // namespace
