// Console output of Google Benchmark followed by comparisons: each measured benchmark against
// its reference run in the same binary (time ratio), and against a time budget. Comparisons use
// CPU time per iteration, which a machine shared with other work disturbs less than wall time;
// hand-offs between threads, whose cost is mostly waiting, are compared in real time.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class CRatioReporter : public benchmark::ConsoleReporter {
public:
    // Plain text, so that captured output carries no colour codes.
    CRatioReporter() : ConsoleReporter(OO_Tabular) {}

    // `name` takes `ratio` times the time of `reference`.
    void Compare(std::string name, std::string reference)
    {
        m_pairs.push_back({std::move(name), std::move(reference), false});
    }

    // The same in real time; the names are those of benchmarks run with UseRealTime().
    void CompareRealTime(std::string name, std::string reference)
    {
        m_pairs.push_back({std::move(name), std::move(reference), true});
    }

    void Budget(std::string name, double nanoseconds)
    {
        m_budgets.emplace_back(std::move(name), nanoseconds);
    }

    void ReportRuns(const std::vector<Run> &reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const Run &run : reports) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            m_nanoseconds[run.benchmark_name()] =
                run.GetAdjustedCPUTime() * NanosecondsPer(run.time_unit);
            m_realNanoseconds[run.benchmark_name()] =
                run.GetAdjustedRealTime() * NanosecondsPer(run.time_unit);
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::ostream &out = GetOutputStream();
        char line[256];
        for (const auto &pair : m_pairs) {
            const auto &times = pair.realTime ? m_realNanoseconds : m_nanoseconds;
            const char *kind = pair.realTime ? "real" : "CPU";
            auto ours = times.find(pair.name);
            auto reference = times.find(pair.reference);
            if (ours == times.end() || reference == times.end() || reference->second <= 0)
                continue;
            std::snprintf(line, sizeof line, "%s: %.1f ns %s, %s: %.1f ns %s, ratio %.2f\n",
                          pair.name.c_str(), ours->second, kind, pair.reference.c_str(),
                          reference->second, kind, ours->second / reference->second);
            out << line;
        }
        for (const auto &budget : m_budgets) {
            auto ours = m_nanoseconds.find(budget.first);
            if (ours == m_nanoseconds.end())
                continue;
            std::snprintf(line, sizeof line, "%s: %.1f ns CPU of a %.0f ns budget (%s)\n",
                          budget.first.c_str(), ours->second, budget.second,
                          ours->second <= budget.second ? "within" : "OVER");
            out << line;
        }
        out.flush();
    }

private:
    static double NanosecondsPer(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond: return 1.0;
        case benchmark::kMicrosecond: return 1e3;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kSecond: return 1e9;
        }
        return 1.0;
    }

    struct Pair {
        std::string name;
        std::string reference;
        bool realTime;
    };

    std::vector<Pair> m_pairs;
    std::vector<std::pair<std::string, double>> m_budgets;
    std::map<std::string, double> m_nanoseconds;
    std::map<std::string, double> m_realNanoseconds;
};
