#pragma once

// Runs the registered Google Benchmark cases and hands back the median time of each, so that a
// benchmark can print its ratios against its peers in one closing line.

#include <map>
#include <string>

namespace quorvale::bench {

// Median seconds per iteration, by benchmark function name.
std::map<std::string, double> runBenchmarks(int argc, char **argv);

// The peak resident size (VmHWM) in kilobytes from a /proc/<pid>/status file; -1 if unreadable.
long long peakResidentKb(const std::string &statusPath = "/proc/self/status");

} // namespace quorvale::bench
