#include "web/WebServer.h"

// The posix layer's INVALID_SOCKET is of its own SOCKET type; the library's sockets are ints.
#undef INVALID_SOCKET
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "acquisition/MeteoFiles.h"
#include "service/Globals.h"
#include "service/Log.h"
#include "web/Assets.h"

namespace web {

namespace {

// The request line and each header line are bounded by the library's own 8 KiB limits; this
// bounds the headers together.
constexpr size_t MaxHeaderBytes = 8192;

// A fixed set of workers, one connection each. Accepting waits while every worker is busy
// and `limit` connections are queued, so at most 2 * limit sockets are open at once and the
// rest wait in the listen backlog.
class BoundedPool : public httplib::TaskQueue {
public:
    explicit BoundedPool(size_t limit) : limit_(limit)
    {
        for (size_t i = 0; i < limit; ++i)
            threads_.emplace_back([this] { Work(); });
    }
    ~BoundedPool() override = default;

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        roomy_.wait(lock, [this] { return shutdown_ || queue_.size() < limit_; });
        queue_.push_back(std::move(fn));
        ready_.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        roomy_.notify_all();
        for (std::thread &t : threads_)
            t.join();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return shutdown_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                fn = std::move(queue_.front());
                queue_.pop_front();
            }
            roomy_.notify_one();
            fn();
        }
    }

    const size_t limit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable roomy_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    bool shutdown_ = false;
};

// Copies of the station blocks shared by concurrent requests: the guard is taken at most once
// per block and MaxAge, whatever the load, so the station threads' writer side never queues
// behind a crowd of web readers.
class TableCache {
public:
    static constexpr std::chrono::milliseconds MaxAge{200};

    bool Get(int index, bool withHour, StationCopy &copy)
    {
        if (index < 0 || index >= STATION_BLOCKS)
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        Entry &e = entries_[withHour ? 1 : 0][index];
        const auto now = std::chrono::steady_clock::now();
        if (!e.valid || now - e.taken > MaxAge) {
            e.valid = CopyStation(index, withHour, e.copy);
            e.taken = now;
            if (!e.valid)
                return false;
        }
        copy = e.copy;
        return true;
    }

private:
    struct Entry {
        StationCopy copy;
        std::chrono::steady_clock::time_point taken;
        bool valid = false;
    };
    std::mutex mutex_;
    Entry entries_[2][STATION_BLOCKS];
};

void SendJson(httplib::Response &res, int status, const nlohmann::json &body)
{
    res.status = status;
    res.set_content(body.dump(), "application/json; charset=utf-8");
}

void SendError(httplib::Response &res, int status, const std::string &message)
{
    SendJson(res, status, {{"error", message}});
}

}  // namespace

class HttpServer : public Server {
public:
    explicit HttpServer(const Settings &settings)
        : settings_(settings), started_(std::chrono::steady_clock::now())
    {
    }

    bool Listen()
    {
        Route();
        if (!http_.bind_to_port(settings_.bind, settings_.port))
            return false;
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        return true;
    }

    void Stop() override
    {
        http_.stop();
        if (thread_.joinable())
            thread_.join();
    }

private:
    LONGLONG Uptime() const
    {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                started_)
            .count();
    }

    // The configured station of a path's number: 400 for what is not a number, 404 for one
    // that is not configured.
    const StationInfo *Station(const std::string &text, httplib::Response &res) const
    {
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            SendError(res, 400, "bad station number");
            return nullptr;
        }
        const long number = std::strtol(text.c_str(), nullptr, 10);
        // Stations the service did not start (beyond the table) are not configured either.
        const long running = StationCount.load();
        for (const StationInfo &info : settings_.stations)
            if (info.number == number && number <= running)
                return &info;
        SendError(res, 404, "station not configured");
        return nullptr;
    }

    std::vector<const StationInfo *> Running() const
    {
        std::vector<const StationInfo *> list;
        const long running = StationCount.load();
        for (const StationInfo &info : settings_.stations)
            if (info.number <= running)
                list.push_back(&info);
        return list;
    }

    void Route()
    {
        http_.new_task_queue = [this] { return new BoundedPool(size_t(settings_.maxConnections)); };
        http_.set_read_timeout(settings_.timeoutSeconds, 0);
        http_.set_write_timeout(settings_.timeoutSeconds, 0);
        // The headers and the body go out in two writes; without this the second waits for
        // the client's delayed acknowledgement.
        http_.set_tcp_nodelay(true);
        http_.set_keep_alive_timeout(2);
        http_.set_keep_alive_max_count(1000);
        http_.set_payload_max_length(MaxHeaderBytes);
        http_.set_logger([this](const httplib::Request &, const httplib::Response &) {
            requests_.fetch_add(1, std::memory_order_relaxed);
        });
        http_.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
            size_t bytes = req.method.size() + req.target.size() + req.version.size();
            for (const auto &h : req.headers)
                bytes += h.first.size() + h.second.size() + 4;
            if (bytes > MaxHeaderBytes) {
                SendError(res, 431, "request header too large");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        http_.set_error_handler([](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty())
                return;
            SendError(res, res.status, res.status == 404 ? "not found" : "bad request");
        });
        const auto refuse = [](const httplib::Request &, httplib::Response &res) {
            res.set_header("Allow", "GET, HEAD");
            SendError(res, 405, "method not allowed");
        };
        http_.Post(".*", refuse);
        http_.Put(".*", refuse);
        http_.Patch(".*", refuse);
        http_.Delete(".*", refuse);
        http_.Options(".*", refuse);

        http_.Get("/api/stations", [this](const httplib::Request &, httplib::Response &res) {
            nlohmann::json list = nlohmann::json::array();
            const LONGLONG now = NowUnix();
            for (const StationInfo *info : Running()) {
                StationCopy copy;
                if (!cache_.Get(info->number - 1, false, copy))
                    return SendError(res, 503, "station table busy");
                list.push_back(StationJson(*info, copy, now, false));
            }
            SendJson(res, 200, list);
        });
        http_.Get(R"(/api/stations/([^/]*))",
                  [this](const httplib::Request &req, httplib::Response &res) {
                      const StationInfo *info = Station(req.matches[1], res);
                      StationCopy copy;
                      if (info == nullptr)
                          return;
                      if (!cache_.Get(info->number - 1, false, copy))
                          return SendError(res, 503, "station table busy");
                      SendJson(res, 200, StationJson(*info, copy, NowUnix(), true));
                  });
        http_.Get(R"(/api/stations/([^/]*)/samples)",
                  [this](const httplib::Request &req, httplib::Response &res) {
                      const StationInfo *info = Station(req.matches[1], res);
                      StationCopy copy;
                      if (info == nullptr)
                          return;
                      if (!cache_.Get(info->number - 1, true, copy))
                          return SendError(res, 503, "station table busy");
                      SendJson(res, 200, HourJson(*info, copy));
                  });
        http_.Get(R"(/api/stations/([^/]*)/days/(.*))", [this](const httplib::Request &req,
                                                               httplib::Response &res) {
            const StationInfo *info = Station(req.matches[1], res);
            if (info == nullptr)
                return;
            SYSTEMTIME day;
            if (!ParseDay(req.matches[2], day))
                return SendError(res, 400, "bad date, expected yyyymmdd");
            // The name is made from the station and the checked date alone.
            const std::string name = MeasurementFileName(settings_.reportFolder, info->id, day);
            std::string text;
            if (!ReadDayFile(name, text))
                return SendError(res, 404, "no measurement file for that day");
            SendJson(res, 200, {{"number", info->number}, {"rows", DayRowsJson(text)}});
        });
        http_.Get("/api/health", [this](const httplib::Request &, httplib::Response &res) {
            nlohmann::json stations = nlohmann::json::array();
            const LONGLONG now = NowUnix();
            for (const StationInfo *info : Running()) {
                StationCopy copy;
                const bool copied = cache_.Get(info->number - 1, false, copy);
                const Counts counts = StationCounts(info->number - 1);
                nlohmann::json s = {{"number", info->number},
                                    {"database_connected", counts.dbConnected},
                                    {"backlog_rows", counts.dbWaiting}};
                s["age_seconds"] = copied && copy.hasReading
                                       ? nlohmann::json(now - copy.newest.time)
                                       : nlohmann::json();
                stations.push_back(s);
            }
            SendJson(res, 200,
                     {{"ok", true}, {"uptime_seconds", Uptime()}, {"stations", stations}});
        });
        http_.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
            std::vector<StationInfo> infos;
            std::vector<StationCopy> copies;
            for (const StationInfo *info : Running()) {
                infos.push_back(*info);
                copies.emplace_back();
                cache_.Get(info->number - 1, false, copies.back());
            }
            res.set_content(MetricsText(infos, copies, NowUnix(), Uptime(),
                                        requests_.load(std::memory_order_relaxed)),
                            "text/plain; version=0.0.4; charset=utf-8");
        });
        for (const Asset &asset : Assets()) {
            const std::string path = asset.path;
            http_.Get(path == "/index.html" ? "/" : path, [&asset](const httplib::Request &,
                                                                   httplib::Response &res) {
                res.set_header("Cache-Control", "no-cache");
                res.set_content(reinterpret_cast<const char *>(asset.data), asset.size, asset.mime);
            });
        }
    }

    static bool ReadDayFile(const std::string &name, std::string &text)
    {
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        char buffer[65536];
        DWORD got = 0;
        // A day at a one-second cycle is about 7 MB; beyond 16 MB the rest is left out.
        while (text.size() < (16u << 20) && ReadFile(h, buffer, sizeof buffer, &got, nullptr) &&
               got > 0)
            text.append(buffer, got);
        CloseHandle(h);
        return true;
    }

    Settings settings_;
    TableCache cache_;
    httplib::Server http_;
    std::thread thread_;
    std::atomic<uint64_t> requests_{0};
    const std::chrono::steady_clock::time_point started_;
};

Settings ReadSettings(const char *szFNINI)
{
    Settings s;
    char text[261] = "";
    GetPrivateProfileStringA("http", "Bind", "0.0.0.0", text, sizeof text, szFNINI);
    s.bind = text;
    s.port = int(GetPrivateProfileIntA("http", "Port", 0, szFNINI));
    s.maxConnections = int(GetPrivateProfileIntA("http", "MaxConnections", 64, szFNINI));
    if (s.maxConnections < 1)
        s.maxConnections = 1;
    if (s.maxConnections > 1024)
        s.maxConnections = 1024;
    s.timeoutSeconds = int(GetPrivateProfileIntA("http", "Timeout", 5, szFNINI));
    if (s.timeoutSeconds < 1)
        s.timeoutSeconds = 1;

    // The connector threads write beside the program unless LogPath names a folder.
    s.reportFolder = PathBesideExecutable("");
    GetPrivateProfileStringA("General", "LogPath", "", text, sizeof text, szFNINI);
    if (text[0] != '\0') {
        const std::string folder = ReportFolderFromLogPath(text);
        if (!folder.empty())
            s.reportFolder = folder;
    }

    const UINT stations = GetPrivateProfileIntA("General", "Stations", 1, szFNINI);
    const UINT firstId = GetPrivateProfileIntA("General", "StationIDs", 1, szFNINI);
    for (UINT i = 0; i < stations && i < UINT(STATION_BLOCKS); ++i) {
        StationInfo info;
        info.number = int(i + 1);
        info.id = firstId + i;
        char section[16];
        std::snprintf(section, sizeof section, "%lu", static_cast<unsigned long>(info.id));
        GetPrivateProfileStringA(section, "Driver", "", text, sizeof text, szFNINI);
        info.driver = text;
        s.stations.push_back(info);
    }
    return s;
}

std::unique_ptr<Server> Start(const Settings &settings)
{
    if (settings.port <= 0 || settings.port > 65535)
        return nullptr;
    auto server = std::make_unique<HttpServer>(settings);
    char line[400];
    if (!server->Listen()) {
        std::snprintf(line, sizeof line,
                      "ERROR HTTP: cannot listen on %s:%d (in use or not allowed); the service "
                      "runs without its web face",
                      settings.bind.c_str(), settings.port);
        WriteLog(line);
        std::fprintf(stderr, "%s\n", line);
        return nullptr;
    }
    std::snprintf(line, sizeof line, "HTTP: listening on %s:%d", settings.bind.c_str(),
                  settings.port);
    WriteLog(line);
    return std::unique_ptr<Server>(server.release());
}

void Stop(std::unique_ptr<Server> &server)
{
    if (server) {
        server->Stop();
        server.reset();
    }
}

}  // namespace web
