// Collects the median of each repeated benchmark and prints comparison rows in the shared
// format: RATIO, row name, kwbase figure, peer figure, ratio, goal, ok or MISS.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kwbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Without colours: the RATIO rows that follow must start their lines.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        m_medianNs[run.run_name.str()] = run.GetAdjustedCPUTime() * toNs(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median CPU time in nanoseconds of a benchmark registered under `name`, or a negative
  // number. CPU time, not wall time: on a shared machine the wait for a core is not the code's.
  double medianNs(const std::string& name) const {
    auto found = m_medianNs.find(name);
    return found == m_medianNs.end() ? -1 : found->second;
  }

 private:
  static double toNs(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1;
    }
  }

  std::map<std::string, double> m_medianNs;
};

// A figure with its unit, e.g. "340 ns", "1.40 us", "13.6 MB".
inline std::string figure(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text,
                value < 10    ? "%.2f %s"
                : value < 100 ? "%.1f %s"
                              : "%.0f %s",
                value, unit);
  return text;
}

inline std::string timeFigure(double ns) {
  return ns >= 1e6 ? figure(ns / 1e6, "ms") : ns >= 1e3 ? figure(ns / 1e3, "us") : figure(ns, "ns");
}

// One row; `goal` is the largest acceptable ratio kwbase / peer.
inline void printRatio(const std::string& row, const std::string& ours, const std::string& peer,
                       double ratio, double goal) {
  std::printf("RATIO\t%s\t%s\t%s\t%.2fx\t<= %gx\t%s\n", row.c_str(), ours.c_str(), peer.c_str(),
              ratio, goal, ratio <= goal ? "ok" : "MISS");
}

inline void printTimeRatio(const RatioReporter& reporter, const std::string& row,
                           const std::string& ours, const std::string& peer, double goal) {
  double a = reporter.medianNs(ours), b = reporter.medianNs(peer);
  if (a < 0 || b <= 0) {
    std::printf("RATIO\t%s\tmissing\tmissing\t-\t<= %gx\tMISS\n", row.c_str(), goal);
    return;
  }
  printRatio(row, timeFigure(a), timeFigure(b), a / b, goal);
}

// Runs every registered benchmark five times, reporting medians; false on bad arguments.
inline bool runRepeated(int argc, char** argv, RatioReporter& reporter) {
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  // Repetitions of kwbase and its peer take turns, so both meet the same load on a shared machine.
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, &interleave[0]);
  args.insert(args.begin() + 1, &aggregates[0]);
  args.insert(args.begin() + 1, &repetitions[0]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return false;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return true;
}

}  // namespace kwbench
