// The dashboard in a real headless browser against a running Pelmora with two replayed
// stations: the cards show the newest temperature the API reports, with one decimal, and the
// plots hold points. Run through run_browser_test.sh, which provides the browser driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "tests/system/dataserver_client.h"
#include "tests/system/http_client.h"

using nlohmann::json;

namespace {

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// The program's standard output, or "" when it could not be started; the exit status in code.
std::string RunCommand(const std::string &command, int &code)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        code = -1;
        return out;
    }
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    code = pclose(pipe);
    return out;
}

std::string OneDecimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

TEST(Dashboard, cards_show_the_newest_temperatures_and_the_plots_hold_points)
{
    const std::string modules = Env("PELMORA_NODE_PATH");
    const std::string check = Env("PELMORA_DASHBOARD_CHECK");
    const std::string screenshot = Env("PELMORA_SCREENSHOT");
    ASSERT_FALSE(modules.empty() || check.empty() || screenshot.empty())
        << "run through tests/browser/run_browser_test.sh";
    std::remove(screenshot.c_str());

    ServedPelmora pelmora(1, true, 0, true);
    ASSERT_TRUE(pelmora.Started());
    ASSERT_TRUE(pelmora.WaitForReadings());
    const HttpAnswer api = HttpRequest(pelmora.HttpPort(), "GET", "/api/stations");
    ASSERT_EQ(200, api.status);
    const json stations = json::parse(api.body);
    ASSERT_EQ(2u, stations.size());

    const std::string url = "http://127.0.0.1:" + std::to_string(pelmora.HttpPort()) + "/";
    int code = 0;
    // timeout bounds the browser as a whole; the check bounds each of its waits.
    const std::string out = RunCommand("NODE_PATH='" + modules + "' timeout 180 node '" + check +
                                           "' '" + url + "' '" + screenshot + "' 2",
                                       code);
    ASSERT_EQ(0, code) << out;
    const json shown = json::parse(out, nullptr, false);
    ASSERT_TRUE(shown.is_object()) << out;
    EXPECT_TRUE(shown["errors"].empty()) << shown["errors"];
    EXPECT_LE(shown["phoneWidth"].get<int>(), 390);
    for (const json &s : stations) {
        const std::string number = std::to_string(s["number"].get<int>());
        ASSERT_TRUE(s["latest"].is_object()) << number;
        const json &card = shown["stations"][number];
        EXPECT_EQ(OneDecimal(s["latest"]["temperature"].get<double>()), card["temperature"])
            << number;
        // Last hour and today: two readings each, in the page's data and its plots.
        EXPECT_EQ(json::array({2, 2}), card["points"]) << number;
        EXPECT_EQ(json::array({2, 2}), card["uplotPoints"]) << number;
        EXPECT_GE(card["canvases"].get<int>(), 2) << number;
    }
    EXPECT_NE(shown["stations"]["1"]["temperature"], shown["stations"]["2"]["temperature"]);
    FILE *png = std::fopen(screenshot.c_str(), "rb");
    ASSERT_NE(nullptr, png) << screenshot;
    unsigned char magic[8] = {};
    EXPECT_EQ(8u, std::fread(magic, 1, 8, png));
    std::fclose(png);
    EXPECT_EQ(0x89, magic[0]);
    EXPECT_EQ('P', magic[1]);
    EXPECT_TRUE(pelmora.Stop());
}
