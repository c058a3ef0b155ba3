// The web face of a running Pelmora with replayed stations: the JSON API against the data
// server's answers and the measurement file, the errors, the metrics, and the limits.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>

#include "tests/system/dataserver_client.h"
#include "tests/system/http_client.h"

using nlohmann::json;

namespace {

constexpr size_t kResponse = METEO_RESPONSE_SIZE;

std::string TodayUtc()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &tm);
    return text;
}

class Web : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pelmora = new ServedPelmora(1, true, 0);
        ready = pelmora->Started() && pelmora->WaitForReadings();
    }
    static void TearDownTestSuite()
    {
        EXPECT_TRUE(pelmora->Stop());
        delete pelmora;
        pelmora = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready) << "Pelmora did not start or got no readings"; }

    static HttpAnswer Get(const std::string &path, const std::string &method = "GET",
                          const std::string &headers = "")
    {
        return HttpRequest(pelmora->HttpPort(), method, path, headers);
    }
    static json GetJson(const std::string &path)
    {
        HttpAnswer a = Get(path);
        EXPECT_EQ(200, a.status) << path << ": " << a.body;
        EXPECT_EQ("application/json; charset=utf-8", a.headers["content-type"]);
        return json::parse(a.body, nullptr, false);
    }
    // The data server's answer for station 1 and a window (operation 0) or its newest
    // reading (operation 1).
    static bool Query(LONG operation, DWORD slot, pelmora::MeteoReading &reading)
    {
        DataClient client(pelmora->Port());
        std::string bytes;
        return client.Connected() && client.Receive(bytes, kResponse) &&
               client.Send(Request(operation, 1, slot)) && client.Receive(bytes, kResponse) &&
               OpenResponse(bytes, reading);
    }

    static ServedPelmora *pelmora;
    static bool ready;
};

ServedPelmora *Web::pelmora = nullptr;
bool Web::ready = false;

}  // namespace

TEST_F(Web, every_window_has_the_numbers_the_data_server_sends)
{
    const json station = GetJson("/api/stations/1");
    ASSERT_EQ(12u, station["windows"].size());
    for (DWORD slot = 0; slot < 12; ++slot) {
        pelmora::MeteoReading r{};
        ASSERT_TRUE(Query(0, slot, r)) << slot;
        const json &w = station["windows"][slot];
        EXPECT_EQ(slot, w["window"]);
        EXPECT_EQ(5 * (slot + 1), w["minutes"]);
        EXPECT_EQ(r.nCount, w["samples"]);
        EXPECT_DOUBLE_EQ(r.dWindSpeed, w["wind_speed"].get<double>());
        EXPECT_DOUBLE_EQ(r.dWindDir, w["wind_dir_mean"].get<double>());
        EXPECT_DOUBLE_EQ(r.dWindStdDir, w["wind_dir_spread"].get<double>());
        EXPECT_DOUBLE_EQ(r.dOutsideTemp, w["temperature"].get<double>());
        EXPECT_DOUBLE_EQ(r.dHumidity, w["humidity"].get<double>());
        EXPECT_DOUBLE_EQ(r.dRain, w["rain"].get<double>());
        EXPECT_DOUBLE_EQ(r.dPressure, w["pressure"].get<double>());
        EXPECT_DOUBLE_EQ(r.dSolar, w["solar"].get<double>());
    }
    pelmora::MeteoReading latest{};
    ASSERT_TRUE(Query(1, 0, latest));
    const json &l = station["latest"];
    EXPECT_DOUBLE_EQ(latest.dWindSpeed, l["wind_speed"].get<double>());
    EXPECT_DOUBLE_EQ(latest.dWindDir, l["wind_dir"].get<double>());
    EXPECT_DOUBLE_EQ(latest.dOutsideTemp, l["temperature"].get<double>());
    EXPECT_DOUBLE_EQ(latest.dPressure, l["pressure"].get<double>());
    EXPECT_EQ(2.2, l["temperature"]);
    EXPECT_EQ(20u, l["time"].get<std::string>().size());
    EXPECT_GE(station["age_seconds"].get<long>(), 0);
    EXPECT_LT(station["age_seconds"].get<long>(), 600);
}

TEST_F(Web, the_list_has_every_configured_station_and_nulls_for_missing_readings)
{
    const json list = GetJson("/api/stations");
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(1, list[0]["number"]);
    EXPECT_EQ(1, list[0]["id"]);
    EXPECT_NE(std::string::npos, list[0]["driver"].get<std::string>().find("stations/1/"));
    EXPECT_EQ(2u, list[0]["average_10min"]["samples"]);
    EXPECT_FALSE(list[0].contains("windows"));
    EXPECT_EQ(2, list[1]["number"]);
    EXPECT_TRUE(list[1]["latest"].is_null());
    EXPECT_TRUE(list[1]["age_seconds"].is_null());
    EXPECT_EQ(0u, list[1]["average_10min"]["samples"]);
    EXPECT_TRUE(list[1]["average_10min"]["temperature"].is_null());
}

TEST_F(Web, samples_and_the_day_file_hold_the_two_valid_readings_oldest_first)
{
    const json hour = GetJson("/api/stations/1/samples")["samples"];
    ASSERT_EQ(2u, hour.size());
    EXPECT_EQ(12.6, hour[0]["wind_speed"]);
    EXPECT_EQ(13.4, hour[1]["wind_speed"]);
    EXPECT_LE(hour[0]["time"].get<std::string>(), hour[1]["time"].get<std::string>());

    const json rows = GetJson("/api/stations/1/days/" + TodayUtc())["rows"];
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(2.0, rows[0]["temperature"]);
    EXPECT_EQ(2.2, rows[1]["temperature"]);
    EXPECT_EQ(1012.6, rows[1]["pressure"]);
    EXPECT_EQ(170.0, rows[1]["solar"]);
    EXPECT_EQ(hour[1]["time"], rows[1]["time"]);
    EXPECT_TRUE(GetJson("/api/stations/2/samples")["samples"].empty());
}

TEST_F(Web, errors_have_their_status_and_a_json_error)
{
    const struct {
        const char *method;
        std::string path;
        int status;
    } cases[] = {
        {"GET", "/api/stations/3", 404},
        {"GET", "/api/stations/0", 404},
        {"GET", "/api/stations/abc", 400},
        {"GET", "/api/stations/-1/samples", 400},
        {"GET", "/api/stations/99999999999999/samples", 400},
        {"GET", "/api/stations/2/days/" + TodayUtc(), 404},  // no readings, no file
        {"GET", "/api/stations/1/days/19990101", 404},
        {"GET", "/api/stations/1/days/20261332", 400},
        {"GET", "/api/stations/1/days/20250229", 400},
        {"GET", "/api/stations/1/days/2026-12-10", 400},
        {"GET", "/api/stations/1/days/../../Pelmora.ini", 400},
        {"GET", "/api/stations/1/days/..%2F..%2FPelmora.ini", 400},
        {"GET", "/api/stations/1/days/%2Fetc%2Fpasswd", 400},
        {"GET", "/../Pelmora.ini", 404},
        {"GET", "/data/", 404},
        {"GET", "/nothing", 404},
        {"POST", "/api/stations", 405},
        {"PUT", "/api/stations/1", 405},
        {"DELETE", "/", 405},
        {"PATCH", "/metrics", 405},
    };
    for (const auto &c : cases) {
        HttpAnswer a = Get(c.path, c.method, "Content-Length: 0\r\n");
        EXPECT_EQ(c.status, a.status) << c.method << " " << c.path;
        const json body = json::parse(a.body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body["error"].is_string())
            << c.method << " " << c.path << ": " << a.body;
    }
    EXPECT_EQ("GET, HEAD", Get("/", "POST", "Content-Length: 0\r\n").headers["allow"]);
}

TEST_F(Web, head_gives_the_headers_of_get_without_a_body)
{
    HttpAnswer get = Get("/");
    HttpAnswer head = Get("/", "HEAD");
    EXPECT_EQ(200, get.status);
    EXPECT_EQ(200, head.status);
    EXPECT_EQ("", head.body);
    EXPECT_EQ(std::to_string(get.body.size()), head.headers["content-length"]);
    EXPECT_NE(std::string::npos, get.body.find("/uPlot.min.js"));
    for (const char *asset : {"/app.js", "/style.css", "/uPlot.min.js", "/uPlot.min.css"})
        EXPECT_EQ(200, Get(asset).status) << asset;
}

TEST_F(Web, metrics_count_readings_and_show_the_newest_values)
{
    DataClient client(pelmora->Port());  // one connection more for the data server's counter
    std::string greeting;
    ASSERT_TRUE(client.Receive(greeting, kResponse));
    HttpAnswer a = Get("/metrics");
    EXPECT_EQ(200, a.status);
    EXPECT_EQ(0u, a.headers["content-type"].find("text/plain; version=0.0.4"));
    for (const char *line : {
             "pelmora_readings_accepted_total{station=\"1\"} 2\n",
             "pelmora_readings_dropped_total{station=\"1\"} 1\n",
             "pelmora_readings_accepted_total{station=\"2\"} 0\n",
             "pelmora_temperature_celsius{station=\"1\"} 2.2000000000000002\n",
             "pelmora_pressure_hpa{station=\"1\"} 1012.6\n",
             "pelmora_database_calls_total{station=\"1\"} 2\n",
             "# TYPE pelmora_dataserver_requests_total counter\n",
         })
        EXPECT_NE(std::string::npos, a.body.find(line)) << line << a.body;
    EXPECT_EQ(std::string::npos, a.body.find("pelmora_temperature_celsius{station=\"2\"}"));
    EXPECT_EQ(std::string::npos, a.body.find("pelmora_dataserver_connections_total 0\n"));

    const json health = GetJson("/api/health");
    EXPECT_EQ(true, health["ok"]);
    ASSERT_EQ(2u, health["stations"].size());
    EXPECT_TRUE(health["stations"][0]["age_seconds"].is_number());
    EXPECT_TRUE(health["stations"][1]["age_seconds"].is_null());
    EXPECT_EQ(false, health["stations"][0]["database_connected"]);  // no database configured
    EXPECT_EQ(0, health["stations"][0]["backlog_rows"]);
}

TEST_F(Web, oversized_headers_are_refused_and_a_silent_client_is_dropped)
{
    const HttpAnswer big = Get("/api/stations", "GET", "X-Big: " + std::string(9000, 'a') + "\r\n");
    EXPECT_GE(big.status, 400);
    EXPECT_LT(big.status, 500);
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "X-Many-" + std::to_string(i) + ": " + std::string(100, 'b') + "\r\n";
    const HttpAnswer headers = Get("/api/stations", "GET", many);
    EXPECT_EQ(431, headers.status);

    // A client that connects and never sends: the time-out (1 s here) closes it, and others
    // are served meanwhile.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = LoopbackAddress(pelmora->HttpPort());
    ASSERT_EQ(0, connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address));
    EXPECT_EQ(200, Get("/api/health").status);
    const auto start = std::chrono::steady_clock::now();
    std::string bytes;
    EXPECT_TRUE(ReceiveUntilEnd(fd, bytes, 20000));
    close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

TEST(WebPort, a_port_in_use_is_logged_and_the_data_server_still_answers)
{
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    const unsigned short port = FreePort();
    sockaddr_in address = LoopbackAddress(port);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<const sockaddr *>(&address), sizeof address));
    ASSERT_EQ(0, listen(holder, 1));
    ServedPelmora pelmora(1, true, port);
    ASSERT_TRUE(pelmora.Started());
    ASSERT_TRUE(pelmora.WaitForReadings());
    DataClient client(pelmora.Port());
    std::string bytes;
    pelmora::MeteoReading reading{};
    ASSERT_TRUE(client.Receive(bytes, kResponse));
    ASSERT_TRUE(client.Send(Request(0, 1, 0)));
    ASSERT_TRUE(client.Receive(bytes, kResponse));
    ASSERT_TRUE(OpenResponse(bytes, reading));
    EXPECT_EQ(1, reading.nStation);
    EXPECT_TRUE(pelmora.Stop());
    close(holder);
    const std::string line = "ERROR HTTP: cannot listen on 127.0.0.1:" + std::to_string(port);
    EXPECT_NE(std::string::npos, pelmora.Log().find(line)) << pelmora.Log();
    EXPECT_NE(std::string::npos, pelmora.Output().find(line)) << pelmora.Output();
}
