#include "benchresults.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>

namespace quorvale::bench {

namespace {

class MedianReporter final : public benchmark::ConsoleReporter
{
public:
    explicit MedianReporter(std::map<std::string, double> &medians)
        : ConsoleReporter(OO_Tabular) // no colour codes: the closing line must stay plain
        , m_medians(medians)
    {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string &name = run.run_name.function_name;
            // Without repetitions the single run stands in for the median.
            if (median || (run.run_type == Run::RT_Iteration && !m_medians.count(name)))
                m_medians[name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    std::map<std::string, double> &m_medians;
};

} // namespace

std::map<std::string, double> runBenchmarks(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    std::map<std::string, double> medians;
    MedianReporter reporter(medians);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return medians;
}

long long peakResidentKb(const std::string &statusPath)
{
    std::ifstream status(statusPath);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    }
    return -1;
}

} // namespace quorvale::bench
