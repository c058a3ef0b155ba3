// Hostile clients of the data server: a thousand connections reset at once, clients that send
// one byte a second, clients that never read their responses, clients that go away in the
// middle of a request. A well-behaved client is answered throughout,
// and once the hostile ones are gone the server holds no more descriptors than before and its
// pools hold no more connections and buffers than their limits.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/fault_support.h"

namespace {

using namespace fault;

constexpr int MaxSockets = 10;
constexpr int MaxBuffers = 10;

// A client that opens a session of a few requests every 20 ms, every one answered in time,
// until it is stopped.
class WellBehavedClient {
public:
    explicit WellBehavedClient(unsigned short port)
        : thread_([this, port] {
              std::unique_lock<std::mutex> lock(mutex_);
              while (!stop_) {
                  lock.unlock();
                  int answered = 0;
                  if (!WellBehavedSession(port, 5, answered, 10000))
                      ++failures_;
                  answered_ += answered;
                  ++sessions_;
                  lock.lock();
                  // A client of its own pace: a session now and then, not a flood.
                  stopped_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; });
              }
          })
    {
    }
    ~WellBehavedClient() { Stop(); }
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    int Answered() const { return answered_; }
    int Sessions() const { return sessions_; }
    int Failures() const { return failures_; }

private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::atomic<int> answered_{0};
    std::atomic<int> sessions_{0};
    std::atomic<int> failures_{0};
    std::thread thread_;
};

class FaultConnections : public ::testing::Test {
protected:
    void SetUp() override
    {
        pelmora_.InstallDriver(FAULT_DRIVER_FILE, "station/" FAULT_DRIVER_FILE);
        pelmora_.Configure("maxSockets=" + std::to_string(MaxSockets) +
                               "\r\nmaxBuffers=" + std::to_string(MaxBuffers) +
                               "\r\nCycleTime=200\r\nStations=1\r\nStationIDs=1\r\n",
                           "[1]\r\nDriver=station/" FAULT_DRIVER_FILE "\r\n");
        ASSERT_TRUE(pelmora_.Start());
        // The first readings are in and the server has made its threads and first objects.
        int answered = 0;
        ASSERT_TRUE(
            WaitUntil([&] { return WellBehavedSession(pelmora_.Port(), 1, answered); }, 20000));
        ASSERT_TRUE(WaitUntil([&] { return Quiescent(); }, 20000));
        baseline_ = pelmora_.DescriptorCount();
        ASSERT_GT(baseline_, 0);
        client_ = std::make_unique<WellBehavedClient>(pelmora_.Port());
    }

    // No connection objects or buffers beyond the pool limits, as the log counts them; the
    // accept loop holds one more buffer for the address of the connection it waits for.
    bool Quiescent() const
    {
        const std::string log = pelmora_.Log();
        const long sockets = long(CountLines(log, "OnConnectionCreated")) -
                             long(CountLines(log, "OnConnectionDestroyed"));
        const long buffers =
            long(CountLines(log, "OnBufferCreated")) - long(CountLines(log, "OnBufferDestroyed"));
        return sockets <= MaxSockets && buffers <= MaxBuffers + 1;
    }

    // Stops the well-behaved client and checks that it was answered throughout, that the
    // server is back to its descriptors and within its pool limits, and that it still answers.
    void CheckAfterwards()
    {
        client_->Stop();
        EXPECT_EQ(0, client_->Failures());
        EXPECT_GT(client_->Answered(), 0);
        RecordProperty("well_behaved_sessions", client_->Sessions());
        RecordProperty("requests_answered", client_->Answered());
        ASSERT_TRUE(pelmora_.Running());

        // At most as many as before: the baseline may still have held the closing socket of
        // the first session.
        EXPECT_TRUE(WaitUntil(
            [&] {
                const int count = pelmora_.DescriptorCount();
                return count >= 0 && count <= baseline_;
            },
            30000))
            << "descriptors " << pelmora_.DescriptorCount() << ", before " << baseline_;
        EXPECT_TRUE(WaitUntil([&] { return Quiescent(); }, 30000));
        const std::string log = pelmora_.Log();
        RecordProperty("connections_created", int(CountLines(log, "OnConnectionCreated")));
        RecordProperty("connections_destroyed", int(CountLines(log, "OnConnectionDestroyed")));
        RecordProperty("buffers_created", int(CountLines(log, "OnBufferCreated")));
        RecordProperty("buffers_destroyed", int(CountLines(log, "OnBufferDestroyed")));

        int answered = 0;
        EXPECT_TRUE(WellBehavedSession(pelmora_.Port(), 12, answered));
        EXPECT_EQ(12, answered);
        EXPECT_TRUE(pelmora_.Stop());
        EXPECT_EQ(0u, CountLines(pelmora_.Log(), "Leaked"));
    }

    Pelmora pelmora_;
    int baseline_ = 0;
    std::unique_ptr<WellBehavedClient> client_;
};

TEST_F(FaultConnections, a_thousand_connections_reset_at_once_leave_nothing_behind)
{
    int connected = 0;
    for (int i = 0; i < 1000; ++i) {
        Client c(pelmora_.Port());
        if (c.Connected())
            ++connected;
        c.Reset();
    }
    EXPECT_EQ(1000, connected);
    RecordProperty("connections_reset", connected);
    CheckAfterwards();
}

TEST_F(FaultConnections, clients_sending_one_byte_a_second_hold_up_no_one)
{
    constexpr int SlowClients = 5;
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < SlowClients; ++i)
        slow.push_back(std::make_unique<Client>(pelmora_.Port()));
    std::string greeting;
    for (auto &c : slow)
        ASSERT_TRUE(c->Receive(greeting, METEO_RESPONSE_SIZE, 10000));

    const std::string request = Request(1, 1, 0);
    const int answeredBefore = client_->Answered();
    const int slowBytes = 4;
    for (int b = 0; b < slowBytes; ++b) {
        for (auto &c : slow)
            ASSERT_TRUE(c->Send(request.substr(size_t(b), 1)));
        // One byte a second is the point of this client.
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    // The others were answered meanwhile.
    EXPECT_GT(client_->Answered(), answeredBefore);

    // The slow requests were kept: their rest completes them.
    std::string response;
    for (auto &c : slow) {
        ASSERT_TRUE(c->Send(request.substr(size_t(slowBytes))));
        ASSERT_TRUE(c->Receive(response, METEO_RESPONSE_SIZE, 10000));
        pelmora::MeteoReading reading{};
        static const pelmora::CResponseReader reader;
        EXPECT_TRUE(reader.Read(reinterpret_cast<const BYTE *>(response.data()), reading));
        EXPECT_EQ(1, reading.nStation);
    }
    slow.clear();
    CheckAfterwards();
}

TEST_F(FaultConnections, clients_that_never_read_their_responses_hold_up_no_one)
{
    constexpr int Readers = 4;
    constexpr int Requests = 3000;
    std::string burst;
    for (int i = 0; i < Requests; ++i)
        burst += Request(i % 2, 1, DWORD(i % 12));

    std::vector<std::unique_ptr<Client>> deaf;
    std::vector<std::thread> senders;
    std::atomic<int> sent{0};
    for (int i = 0; i < Readers; ++i) {
        deaf.push_back(std::make_unique<Client>(pelmora_.Port(), 4096));
        ASSERT_TRUE(deaf.back()->Connected());
    }
    // Their requests go out in full; the responses pile up unread.
    for (auto &c : deaf)
        senders.emplace_back([&, client = c.get()] {
            if (client->Send(burst))
                ++sent;
        });
    for (auto &t : senders)
        t.join();
    EXPECT_EQ(Readers, sent.load());

    const int answeredBefore = client_->Answered();
    EXPECT_TRUE(WaitUntil([&] { return client_->Answered() >= answeredBefore + 50; }, 20000));
    RecordProperty("unread_requests", Readers * Requests);
    for (auto &c : deaf)
        c->Reset();
    deaf.clear();
    CheckAfterwards();
}

TEST_F(FaultConnections, clients_leaving_in_the_middle_of_a_request_leave_nothing_behind)
{
    const std::string request = Request(0, 1, 1);
    int halfClosed = 0;
    for (int i = 0; i < 100; ++i) {
        // Half a request, then an orderly close.
        Client closing(pelmora_.Port());
        ASSERT_TRUE(closing.Send(request.substr(0, 64)));
        closing.Close();

        // Half a request, then a reset.
        Client resetting(pelmora_.Port());
        ASSERT_TRUE(resetting.Send(request.substr(0, 64)));
        resetting.Reset();

        // One and a half requests, then no more sending: the whole one is still answered.
        Client leaving(pelmora_.Port());
        ASSERT_TRUE(leaving.Send(request + request.substr(0, 64)));
        leaving.ShutdownSend();
        std::string received;
        if (leaving.ReceiveToEnd(received, 10000) && received.size() == 2 * METEO_RESPONSE_SIZE)
            ++halfClosed;
    }
    EXPECT_EQ(100, halfClosed);
    RecordProperty("connections_left_halfway", 300);
    CheckAfterwards();
}

TEST_F(FaultConnections, refused_clients_leave_nothing_behind_once_they_have_gone)
{
    // A wrong length prefix is refused with a line and a shut-down while the server's reads are
    // still pending on the connection; the client's close or reset must end them.
    const std::string badPrefix("\x7f\x00", 2);
    int refused = 0;
    for (int i = 0; i < 100; ++i) {
        Client c(pelmora_.Port());
        std::string greeting;
        ASSERT_TRUE(c.Receive(greeting, METEO_RESPONSE_SIZE, 10000));
        ASSERT_TRUE(c.Send(badPrefix + Request(0, 1, 1).substr(2)));
        std::string rest;
        if (c.ReceiveToEnd(rest, 10000) && rest == "Invalid connection! Go away!\r\n")
            ++refused;
        if (i % 2 == 0)
            c.Close();
        else
            c.Reset();
    }
    EXPECT_EQ(100, refused);
    RecordProperty("connections_refused", refused);
    // The log line goes out before the refusal does.
    EXPECT_EQ(100u, CountLines(pelmora_.Log(), "Invalid message size"));
    CheckAfterwards();
}

}  // namespace
