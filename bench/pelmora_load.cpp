// pelmora-load: drives a data server with N connections, each keeping K requests in flight
// (pipelined), for a duration or a request count, and reports requests per second, latency
// percentiles and errors. Every greeting is checked; responses are deciphered and their digest
// checked, all of them or every n-th one, so that the client's own work can be kept small.
//
// Linux only (epoll, plain sockets): a measuring tool, not product code. Every run is bounded:
// connecting, the measurement and the drain each have a time limit.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/WireProtocol.h"

using namespace pelmora::bench;

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 7599;
    unsigned connections = 64;
    unsigned inFlight = 1;
    double duration = 5.0;
    double warmup = 0.5;
    uint64_t requests = 0;  // 0: as many as the duration allows
    unsigned threads = 1;
    unsigned verifyEvery = 1;
    unsigned connectBurst = 4;  // within a listen backlog of 5
    double connectTimeout = 20.0;
    double drainTimeout = 5.0;
    bool idle = false;
    bool keyValue = false;
    uint32_t station = 1;
    uint32_t slot = 0;
    int32_t operation = 0;
};

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t Seconds(double s) { return uint64_t(s * 1e9); }

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }

// Counters of one thread; summed at the end.
struct Errors {
    uint64_t connect = 0;     // refused, failed or timed out before the greeting
    uint64_t greeting = 0;    // the first record was not the greeting
    uint64_t refused = 0;     // the server sent its refusal text
    uint64_t digest = 0;      // a response's digest did not match
    uint64_t response = 0;    // a sound record that is not an answer to our request
    uint64_t closed = 0;      // the server closed or reset a connection we were using
    uint64_t unanswered = 0;  // requests still without answer when the drain time ran out

    uint64_t Total() const
    {
        return connect + greeting + refused + digest + response + closed + unanswered;
    }
    void Add(const Errors &o)
    {
        connect += o.connect;
        greeting += o.greeting;
        refused += o.refused;
        digest += o.digest;
        response += o.response;
        closed += o.closed;
        unanswered += o.unanswered;
    }
};

// State shared by the threads of one run.
struct Shared {
    const Options *options = nullptr;
    sockaddr_in address{};
    uint8_t request[kRequestSize];
    std::atomic<unsigned> ready{0};  // threads whose connections are all set up
    std::atomic<bool> go{false};     // start sending (load) or holding (idle)
    std::atomic<uint64_t> startNs{0};
    std::atomic<uint64_t> issued{0};  // requests issued, against options->requests
    std::atomic<bool> countReached{false};
    std::atomic<uint64_t> established{0};  // connections greeted by the end of the set-up
};

struct Connection {
    enum class State { Idle, Connecting, Greeting, Running, Closed };
    int fd = -1;
    State state = State::Idle;
    uint64_t connectStart = 0;
    std::vector<uint8_t> rx;
    size_t rxUsed = 0;
    std::vector<uint8_t> tx;  // unsent request bytes, from txOffset
    size_t txOffset = 0;
    std::vector<uint64_t> sent;  // send times of the requests in flight, a ring
    size_t sentHead = 0;
    size_t sentCount = 0;
    bool wantWrite = false;
};

constexpr size_t kMaxLatencySamples = size_t(32) << 20;

class Worker {
public:
    Worker(Shared &shared, unsigned connections)
        : m_shared(shared), m_options(*shared.options), m_connections(connections)
    {
        for (auto &c : m_connections) {
            c.rx.resize(std::max<size_t>(16384, kResponseSize * (m_options.inFlight + 2)));
            c.sent.resize(m_options.inFlight);
        }
    }

    ~Worker()
    {
        for (auto &c : m_connections)
            if (c.fd >= 0)
                ::close(c.fd);
        if (m_epoll >= 0)
            ::close(m_epoll);
    }

    void Run();

    Errors errors;
    uint64_t established = 0;
    uint64_t verified = 0;
    uint64_t completedInWindow = 0;
    uint64_t lastCompletion = 0;
    std::vector<uint32_t> latencies;  // in 100 ns units, responses inside the window

private:
    void StartConnect(size_t i);
    void Fail(Connection &c, uint64_t &counter);
    void OnEvent(size_t i, uint32_t events);
    void OnConnected(Connection &c);
    void ReadAll(Connection &c);
    void HandleRecords(Connection &c);
    void Issue(Connection &c, unsigned count);
    void Flush(Connection &c);
    void UpdateInterest(size_t i);
    bool Issuing() const;

    Shared &m_shared;
    const Options &m_options;
    std::vector<Connection> m_connections;
    int m_epoll = -1;
    size_t m_nextToConnect = 0;
    unsigned m_pending = 0;  // connecting or awaiting the greeting
    uint64_t m_responses = 0;
    uint64_t m_windowStart = 0;
    uint64_t m_windowEnd = 0;
    bool m_sending = false;
    bool m_stopIssuing = false;
};

bool Worker::Issuing() const { return m_sending && !m_stopIssuing; }

void Worker::StartConnect(size_t i)
{
    Connection &c = m_connections[i];
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
        ++errors.connect;
        c.state = Connection::State::Closed;
        return;
    }
    const int one = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c.connectStart = NowNs();
    const int rc = ::connect(c.fd, reinterpret_cast<const sockaddr *>(&m_shared.address),
                             sizeof m_shared.address);
    if (rc < 0 && errno != EINPROGRESS) {
        Fail(c, errors.connect);
        return;
    }
    c.state = rc == 0 ? Connection::State::Greeting : Connection::State::Connecting;
    ++m_pending;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (rc == 0 ? 0u : uint32_t(EPOLLOUT));
    ev.data.u64 = i;
    c.wantWrite = rc != 0;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.fd, &ev) < 0)
        Fail(c, errors.connect);
}

void Worker::Fail(Connection &c, uint64_t &counter)
{
    ++counter;
    if (c.state == Connection::State::Connecting || c.state == Connection::State::Greeting)
        --m_pending;
    if (c.fd >= 0) {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        c.fd = -1;
    }
    c.state = Connection::State::Closed;
    c.sentCount = 0;
}

void Worker::UpdateInterest(size_t i)
{
    Connection &c = m_connections[i];
    const bool want = c.state == Connection::State::Connecting || c.txOffset < c.tx.size();
    if (want == c.wantWrite || c.fd < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (want ? uint32_t(EPOLLOUT) : 0u);
    ev.data.u64 = i;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &ev);
    c.wantWrite = want;
}

void Worker::OnConnected(Connection &c)
{
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        Fail(c, errors.connect);
        return;
    }
    c.state = Connection::State::Greeting;
}

// Queues `count` requests (fewer when the request budget runs out) and sends what it can.
void Worker::Issue(Connection &c, unsigned count)
{
    const uint64_t now = NowNs();
    for (unsigned k = 0; k < count && Issuing(); ++k) {
        if (m_options.requests) {
            if (m_shared.issued.fetch_add(1) >= m_options.requests) {
                m_shared.countReached = true;
                m_stopIssuing = true;
                break;
            }
        }
        c.tx.insert(c.tx.end(), m_shared.request, m_shared.request + kRequestSize);
        c.sent[(c.sentHead + c.sentCount) % c.sent.size()] = now;
        ++c.sentCount;
    }
}

void Worker::Flush(Connection &c)
{
    while (c.txOffset < c.tx.size()) {
        const ssize_t n = ::send(c.fd, c.tx.data() + c.txOffset, c.tx.size() - c.txOffset,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.txOffset += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        errors.unanswered += c.sentCount;
        Fail(c, errors.closed);
        return;
    }
    c.tx.clear();
    c.txOffset = 0;
}

void Worker::HandleRecords(Connection &c)
{
    size_t offset = 0;
    if (c.state == Connection::State::Greeting) {
        if (c.rxUsed >= kRefusalLength &&
            std::memcmp(c.rx.data(), kRefusalText, kRefusalLength) == 0) {
            Fail(c, errors.refused);
            return;
        }
        if (c.rxUsed < kResponseSize)
            return;
        if (!IsGreeting(c.rx.data())) {
            Fail(c, errors.greeting);
            return;
        }
        offset = kResponseSize;
        c.state = Connection::State::Running;
        --m_pending;
        ++established;
        if (m_sending) {
            Issue(c, m_options.inFlight);
        }
    }
    if (c.state == Connection::State::Running) {
        unsigned answered = 0;
        const uint64_t now = NowNs();
        while (c.rxUsed - offset >= kResponseSize) {
            const uint8_t *record = c.rx.data() + offset;
            offset += kResponseSize;
            if (c.sentCount == 0) {
                if (std::memcmp(record, kRefusalText, kRefusalLength) == 0)
                    Fail(c, errors.refused);
                else
                    Fail(c, errors.response);  // an answer to nothing we asked
                return;
            }
            const uint64_t sentAt = c.sent[c.sentHead];
            c.sentHead = (c.sentHead + 1) % c.sent.size();
            --c.sentCount;
            ++answered;
            if (m_options.verifyEvery && m_responses++ % m_options.verifyEvery == 0) {
                ++verified;
                switch (CheckResponse(record, m_options.station)) {
                case ResponseCheck::Good: break;
                case ResponseCheck::DigestMismatch: ++errors.digest; break;
                case ResponseCheck::Malformed: ++errors.response; break;
                }
            }
            if (now >= m_windowStart && now <= m_windowEnd) {
                ++completedInWindow;
                lastCompletion = now;
                if (latencies.size() < kMaxLatencySamples)
                    latencies.push_back(
                        uint32_t(std::min<uint64_t>((now - sentAt) / 100, UINT32_MAX)));
            }
        }
        if (answered && Issuing())
            Issue(c, answered);
    }
    if (offset) {
        std::memmove(c.rx.data(), c.rx.data() + offset, c.rxUsed - offset);
        c.rxUsed -= offset;
    }
}

void Worker::ReadAll(Connection &c)
{
    for (;;) {
        if (c.rxUsed == c.rx.size()) {
            HandleRecords(c);
            if (c.state == Connection::State::Closed)
                return;
        }
        const ssize_t n =
            ::recv(c.fd, c.rx.data() + c.rxUsed, c.rx.size() - c.rxUsed, MSG_DONTWAIT);
        if (n > 0) {
            c.rxUsed += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // End of stream or an error: whatever came before still counts.
        HandleRecords(c);
        if (c.state == Connection::State::Closed)
            return;
        if (c.state == Connection::State::Connecting || c.state == Connection::State::Greeting) {
            Fail(c, errors.connect);
        } else {
            errors.unanswered += c.sentCount;
            Fail(c, errors.closed);
        }
        return;
    }
    HandleRecords(c);
}

void Worker::OnEvent(size_t i, uint32_t events)
{
    Connection &c = m_connections[i];
    if (c.state == Connection::State::Closed)
        return;
    if (c.state == Connection::State::Connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        OnConnected(c);
        if (c.state == Connection::State::Closed)
            return;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        ReadAll(c);
    if (c.state == Connection::State::Closed)
        return;
    Flush(c);
    if (c.state != Connection::State::Closed)
        UpdateInterest(i);
}

void Worker::Run()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        errors.connect += m_connections.size();
        m_shared.ready.fetch_add(1);
        return;
    }
    std::vector<epoll_event> events(256);
    const uint64_t setupDeadline = NowNs() + Seconds(m_options.connectTimeout);
    bool readyReported = false;
    uint64_t drainDeadline = 0;

    for (;;) {
        // Set-up: keep at most connectBurst connections between connect and greeting, so that
        // a short listen backlog is not overrun.
        while (m_nextToConnect < m_connections.size() && m_pending < m_options.connectBurst &&
               !g_interrupted)
            StartConnect(m_nextToConnect++);

        const uint64_t now = NowNs();
        if (!readyReported) {
            const bool allStarted = m_nextToConnect == m_connections.size();
            if ((allStarted && m_pending == 0) || now >= setupDeadline || g_interrupted) {
                for (auto &c : m_connections)
                    if (c.state == Connection::State::Connecting ||
                        c.state == Connection::State::Greeting)
                        Fail(c, errors.connect);
                errors.connect += m_connections.size() - m_nextToConnect;
                m_nextToConnect = m_connections.size();
                readyReported = true;
                m_shared.established.fetch_add(established);
                m_shared.ready.fetch_add(1);
            }
        }

        if (readyReported && !m_sending && m_shared.go) {
            m_sending = true;
            const uint64_t start = m_shared.startNs;
            m_windowStart = start + Seconds(m_options.idle ? 0 : m_options.warmup);
            m_windowEnd = m_windowStart + Seconds(m_options.duration);
            if (!m_options.idle) {
                for (size_t i = 0; i < m_connections.size(); ++i) {
                    Connection &c = m_connections[i];
                    if (c.state != Connection::State::Running)
                        continue;
                    Issue(c, m_options.inFlight);
                    Flush(c);
                    if (c.state != Connection::State::Closed)
                        UpdateInterest(i);
                }
            }
        }

        if (m_sending && !m_stopIssuing &&
            (now >= m_windowEnd || g_interrupted || m_shared.countReached || m_options.idle))
            m_stopIssuing = true;
        // Idle connections are held to the end of the window; loaded ones drain their answers.
        if (m_stopIssuing && drainDeadline == 0)
            drainDeadline = m_options.idle ? m_windowEnd : now + Seconds(m_options.drainTimeout);
        if (drainDeadline) {
            size_t inFlight = 0;
            for (const auto &c : m_connections)
                inFlight += c.sentCount;
            if (m_options.idle ? (now >= drainDeadline || g_interrupted)
                               : (inFlight == 0 || now >= drainDeadline)) {
                errors.unanswered += inFlight;
                break;
            }
        }

        const int n = ::epoll_wait(m_epoll, events.data(), int(events.size()),
                                   readyReported && !m_sending ? 1 : 10);
        for (int e = 0; e < n; ++e)
            OnEvent(size_t(events[size_t(e)].data.u64), events[size_t(e)].events);
    }
}

std::string Ms(double hundredNs)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", hundredNs / 1e4);
    return text;
}

// The value at quantile q of sorted samples (nearest rank).
double Quantile(const std::vector<uint32_t> &sorted, double q)
{
    if (sorted.empty())
        return 0;
    size_t rank = size_t(q * double(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

bool Resolve(const std::string &host, int port, sockaddr_in &address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &result) != 0 || !result)
        return false;
    std::memcpy(&address, result->ai_addr, sizeof address);
    ::freeaddrinfo(result);
    return true;
}

void RaiseFileLimit(size_t needed)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, needed);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    CLI::App app{
        "Load generator for a Pelmora data server: N connections with K requests in "
        "flight each; reports requests per second, latency percentiles and errors."};
    app.add_option("--host", o.host, "Server host")->capture_default_str();
    app.add_option("-p,--port", o.port, "Server port")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option("-c,--connections", o.connections, "Connections")
        ->check(CLI::Range(1u, 20000u))
        ->capture_default_str();
    app.add_option("-k,--in-flight", o.inFlight, "Requests in flight per connection")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
    app.add_option("-d,--duration", o.duration, "Measured seconds (idle: seconds to hold)")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
    app.add_option("-w,--warmup", o.warmup,
                   "Seconds of load before measuring (none with --requests)")
        ->check(CLI::Range(0.0, 60.0))
        ->capture_default_str();
    app.add_option("-n,--requests", o.requests,
                   "Stop after this many requests (0: as many as the duration allows)")
        ->capture_default_str();
    app.add_option("-t,--threads", o.threads, "Client threads")
        ->check(CLI::Range(1u, 64u))
        ->capture_default_str();
    app.add_option("--verify-every", o.verifyEvery,
                   "Decipher and digest-check every n-th response (1: all, 0: none)")
        ->capture_default_str();
    app.add_option("--connect-burst", o.connectBurst,
                   "Connections per thread between connect and greeting at a time")
        ->check(CLI::Range(1u, 1024u))
        ->capture_default_str();
    app.add_option("--connect-timeout", o.connectTimeout, "Seconds to set up all connections")
        ->check(CLI::Range(0.1, 120.0))
        ->capture_default_str();
    app.add_option("--drain-timeout", o.drainTimeout,
                   "Seconds to wait for answers still in flight at the end")
        ->check(CLI::Range(0.1, 60.0))
        ->capture_default_str();
    app.add_option("--station", o.station, "Station number asked for")->capture_default_str();
    app.add_option("--slot", o.slot, "Averaging window asked for")->capture_default_str();
    app.add_option("--operation", o.operation, "0: window averages, else the latest reading")
        ->capture_default_str();
    app.add_flag("--idle", o.idle,
                 "Connect, check the greetings, print 'ready', hold the connections for the "
                 "duration without sending, then close them");
    app.add_flag("--kv", o.keyValue, "Print the result as one line of key=value pairs");
    CLI11_PARSE(app, argc, argv);

    o.threads = std::min(o.threads, o.connections);
    if (o.requests)
        o.warmup = 0;  // a counted run measures every request
    Shared shared;
    shared.options = &o;
    if (!Resolve(o.host, o.port, shared.address)) {
        std::fprintf(stderr, "pelmora-load: cannot resolve %s\n", o.host.c_str());
        return 2;
    }
    MakeRequest(o.operation, o.station, o.slot, shared.request);
    RaiseFileLimit(size_t(o.connections) + 64);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned t = 0; t < o.threads; ++t) {
        const unsigned share = o.connections / o.threads + (t < o.connections % o.threads ? 1 : 0);
        workers.push_back(std::make_unique<Worker>(shared, share));
    }
    const uint64_t setupStart = NowNs();
    std::vector<std::thread> threads;
    for (auto &w : workers)
        threads.emplace_back([&w] { w->Run(); });

    while (shared.ready.load() < o.threads)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t setupNs = NowNs() - setupStart;
    uint64_t established = shared.established;
    if (o.idle) {
        std::printf("ready %" PRIu64 " connections in %.3f s\n", established,
                    double(setupNs) / 1e9);
        std::fflush(stdout);
    }
    shared.startNs = NowNs();
    shared.go = true;
    for (auto &t : threads)
        t.join();

    Errors errors;
    uint64_t completed = 0, verified = 0, last = 0;
    std::vector<uint32_t> latencies;
    established = 0;
    for (auto &w : workers) {
        errors.Add(w->errors);
        completed += w->completedInWindow;
        verified += w->verified;
        established += w->established;
        last = std::max(last, w->lastCompletion);
        latencies.insert(latencies.end(), w->latencies.begin(), w->latencies.end());
    }
    std::sort(latencies.begin(), latencies.end());

    const uint64_t windowStart = shared.startNs + Seconds(o.idle ? 0 : o.warmup);
    double seconds = o.duration;
    if (!o.idle && (shared.countReached || g_interrupted) && last > windowStart)
        seconds = std::min(seconds, double(last - windowStart) / 1e9);
    const double rps = o.idle || seconds <= 0 ? 0 : double(completed) / seconds;
    const double p50 = Quantile(latencies, 0.50), p99 = Quantile(latencies, 0.99),
                 p999 = Quantile(latencies, 0.999),
                 pmax = latencies.empty() ? 0 : double(latencies.back());

    if (o.keyValue) {
        std::printf("connections=%" PRIu64 " requests=%" PRIu64
                    " seconds=%.3f rps=%.1f "
                    "p50_ms=%s p99_ms=%s p999_ms=%s max_ms=%s verified=%" PRIu64 " errors=%" PRIu64
                    "\n",
                    established, completed, seconds, rps, Ms(p50).c_str(), Ms(p99).c_str(),
                    Ms(p999).c_str(), Ms(pmax).c_str(), verified, errors.Total());
    } else {
        std::printf("pelmora-load %s:%d: %u connections x %u in flight, %u thread(s)\n",
                    o.host.c_str(), o.port, o.connections, o.inFlight, o.threads);
        std::printf("connections %" PRIu64 " established in %.3f s\n", established,
                    double(setupNs) / 1e9);
        if (!o.idle) {
            std::printf("requests    %" PRIu64 " in %.3f s = %.0f per second\n", completed, seconds,
                        rps);
            std::printf("latency     p50 %s ms, p99 %s ms, p99.9 %s ms, max %s ms\n",
                        Ms(p50).c_str(), Ms(p99).c_str(), Ms(p999).c_str(), Ms(pmax).c_str());
            std::printf("verified    %" PRIu64 " responses (every %u)\n", verified, o.verifyEvery);
        }
        std::printf("errors      %" PRIu64 " (connect %" PRIu64 ", greeting %" PRIu64
                    ", refused %" PRIu64 ", digest %" PRIu64 ", response %" PRIu64
                    ", closed %" PRIu64 ", unanswered %" PRIu64 ")\n",
                    errors.Total(), errors.connect, errors.greeting, errors.refused, errors.digest,
                    errors.response, errors.closed, errors.unanswered);
    }
    return errors.Total() == 0 ? 0 : 1;
}
