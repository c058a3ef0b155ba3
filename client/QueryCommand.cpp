#include "client/QueryCommand.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

namespace pelmora {
namespace {

constexpr double MAX_SECONDS = 86400.0 * 24;  // keeps milliseconds within 32 bits

std::string SecondsCheck(std::string &text)
{
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(value > 0) || value > MAX_SECONDS)
        return "must be a number of seconds above 0 and at most " +
               std::to_string(int(MAX_SECONDS));
    return {};
}

DWORD Milliseconds(double seconds)
{
    const double ms = seconds * 1000.0 + 0.5;
    return ms < 1 ? 1 : DWORD(ms);
}

std::string Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return IsoTime(now);
}

}  // namespace

std::vector<Answer> RunRound(const QueryPlan &plan)
{
    CQueryConnection connection(plan.host, plan.port, plan.timeoutMs);
    std::vector<Answer> answers;
    for (DWORD slot : plan.slots) {
        Answer answer;
        answer.nStationNumber = plan.nStationNumber;
        answer.nSlot = slot;
        answer.latest = plan.latest;
        answer.reading = connection.Ask(MakeQuery(plan.latest ? 1 : 0, plan.nStationNumber, slot));
        answers.push_back(answer);
    }
    return answers;
}

int RunQueryCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    CLI::App app{"Reads a station's averaged and latest readings from a Pelmora data server.",
                 "pelmora-query"};
    app.footer(ExitCodeHelp());

    QueryPlan plan;
    unsigned port = DEFAULT_PORT;
    DWORD window = DEFAULT_WINDOW;
    bool latest = false;
    bool allWindows = false;
    bool json = false;
    double watchSeconds = 0;
    unsigned count = 0;
    double timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    const CLI::Validator seconds(SecondsCheck, "", "");

    app.add_option("--host", plan.host, "Data server host name or address")
        ->type_name("H")
        ->capture_default_str();
    app.add_option("--port", port, "Data server TCP port")
        ->type_name("P")
        ->check(CLI::Range(1u, 65535u).description(""))
        ->capture_default_str();
    app.add_option("--station", plan.nStationNumber,
                   "Station number, 1 for the first configured station")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(DWORD(1), DWORD(0xFFFFFFFFu)).description(""));
    CLI::Option *windowOption = app.add_option("--window", window,
                                               "Averaging window 0 to 11; window M covers the last "
                                               "5 x (M + 1) minutes (default 1: 10 minutes)")
                                    ->type_name("M");
    CLI::Option *latestOption =
        app.add_flag("--latest", latest, "The newest reading of the last hour instead of averages");
    CLI::Option *allOption = app.add_flag("--all-windows", allWindows,
                                          "The averages of all 12 windows, in window order");
    windowOption->excludes(latestOption)->excludes(allOption);
    latestOption->excludes(allOption);
    app.add_flag("--json", json,
                 "One JSON object per response, one per line, instead of the table");
    CLI::Option *watchOption =
        app.add_option("--watch", watchSeconds, "Ask again every SECONDS and redraw")
            ->type_name("SECONDS")
            ->check(seconds);
    app.add_option("--count", count,
                   "With --watch: stop after N rounds (default: until interrupted)")
        ->type_name("N")
        ->needs(watchOption)
        ->check(CLI::Range(1u, 0xFFFFFFFFu).description(""));
    app.add_option("--timeout", timeoutSeconds, "Time allowed for connecting and for each response")
        ->type_name("SECONDS")
        ->check(seconds)
        ->capture_default_str();

    std::vector<const char *> argv = {"pelmora-query"};
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    try {
        app.parse(int(argv.size()), argv.data());
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? exitcode::OK : exitcode::USAGE;
    }

    plan.port = WORD(port);
    plan.latest = latest;
    plan.timeoutMs = Milliseconds(timeoutSeconds);
    if (allWindows) {
        plan.slots.clear();
        for (DWORD slot = 0; slot < AVERAGE_SLOTS_IN_USE; ++slot)
            plan.slots.push_back(slot);
    } else if (latest) {
        // The newest sample is the newest of every window; the widest finds it for longest.
        plan.slots = {AVERAGE_SLOTS_IN_USE - 1};
    } else {
        plan.slots = {window};
    }

    const bool watching = watchSeconds > 0;
    for (unsigned round = 1;; ++round) {
        std::vector<Answer> answers;
        try {
            answers = RunRound(plan);
        } catch (const CClientError &e) {
            out.flush();
            err << "pelmora-query: " << e.what() << std::endl;
            return ExitCodeFor(e.Failure());
        }

        int code = exitcode::OK;
        std::string message;
        bool anyData = false;
        for (const Answer &a : answers) {
            const AnswerStatus status = StatusOf(a);
            anyData = anyData || status == AnswerStatus::Data;
            if (status != AnswerStatus::Data && code == exitcode::OK) {
                code = ExitCodeFor(status);
                message = StatusMessage(a);
            }
        }

        if (json) {
            for (const Answer &a : answers)
                out << FormatJson(a) << '\n';
        } else {
            if (watching) {
                // Cursor home and clear, so that each round redraws the screen.
                out << "\x1b[H\x1b[2J" << plan.host << ':' << plan.port << ", every "
                    << watchSeconds << " s, round " << round << ", " << Now() << "\n\n";
            }
            // A table of nothing but statuses says no more than the message below.
            if (anyData || watching)
                out << FormatTable(answers);
        }
        out.flush();
        if (!message.empty())
            err << "pelmora-query: " << message << std::endl;

        if (!watching || (count != 0 && round >= count))
            return code;
        Sleep(Milliseconds(watchSeconds));
    }
}

}  // namespace pelmora
