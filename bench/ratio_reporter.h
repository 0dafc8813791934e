// A console reporter that, after the usual table, prints each target row as the ratio of two
// benchmarks of the same run: real and CPU time, the target, and whether it is met. With
// --benchmark_repetitions the medians are used, so a shared machine's bad moments drop out.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tarn::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Row {
    std::string label;
    std::string ours;  // "BM_Name/arg/arg" as the table shows it, without aggregate suffixes
    std::string base;
    double target = 0;  // at most this ratio; 0 for a row that only informs
  };
  struct Figures {
    double realNs = 0;
    double cpuNs = 0;
    std::map<std::string, double> counters;
  };

  void add(Row row) { rows_.push_back(std::move(row)); }

  // Called after the table and the ratios, for figures of the program's own.
  virtual void extra() {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Aggregate && !median) continue;
      const double unit = benchmark::GetTimeUnitMultiplier(r.time_unit);
      std::string key = r.run_name.function_name;
      if (!r.run_name.args.empty()) key += "/" + r.run_name.args;
      Figures& f = figures_[key];
      // A median, once seen, wins over the single repetitions reported before it.
      if (!median && medians_.count(key) != 0) continue;
      if (median) medians_[key] = true;
      f.realNs = r.GetAdjustedRealTime() / unit * 1e9;
      f.cpuNs = r.GetAdjustedCPUTime() / unit * 1e9;
      for (const auto& [name, counter] : r.counters) f.counters[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-58s %9s %9s %9s %8s  %s\n", "ratio (ours / baseline)", "real", "cpu",
                "ours ns", "target", "");
    for (const Row& row : rows_) print(row);
    extra();
  }

 protected:
  [[nodiscard]] const Figures* find(const std::string& key) const {
    auto it = figures_.find(key);
    return it == figures_.end() ? nullptr : &it->second;
  }

 private:
  void print(const Row& row) const {
    const Figures* a = find(row.ours);
    const Figures* b = find(row.base);
    if (a == nullptr || b == nullptr || b->realNs <= 0 || b->cpuNs <= 0) return;
    const double real = a->realNs / b->realNs;
    const double cpu = a->cpuNs / b->cpuNs;
    char limit[16] = "-";
    const char* verdict = "";
    if (row.target > 0) {
      std::snprintf(limit, sizeof limit, "<= %.1f", row.target);
      verdict = real <= row.target ? "met" : "MISSED";
    }
    std::printf("%-58s %8.2fx %8.2fx %9.0f %8s  %s\n", row.label.c_str(), real, cpu, a->realNs,
                limit, verdict);
  }

  std::vector<Row> rows_;
  std::map<std::string, Figures> figures_;
  std::map<std::string, bool> medians_;
};

}  // namespace tarn::bench
