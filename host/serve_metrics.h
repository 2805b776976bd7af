// `orbhost serve`'s /metrics (portable): the Prometheus text exposition format
// 0.0.4 written from the latest snapshot and the command statistics. Each
// family is written as one block with one HELP and one TYPE line; label values
// are escaped; no timestamps.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serve_readings.h"

namespace orbhost {

// Upper bounds (seconds) of pelorus_command_duration_seconds; +Inf follows.
constexpr std::array<double, 12> kCommandDurationBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                            0.5,   1,    2.5,   5,    10,  30};

// Durations and failures of the plug-in calls serve made, per known command.
struct CommandStats {
  struct Entry {
    std::array<uint64_t, kCommandDurationBuckets.size()> buckets{};  // non-cumulative
    uint64_t count = 0;
    double sum = 0;
    uint64_t failures = 0;
  };
  std::map<std::string, Entry, std::less<>> commands;

  // Records one call; names outside the plug-in's 37 commands are not kept.
  void Record(std::string_view command, double seconds, bool failed);
};

// A label value escaped for the exposition format (\\, \", \n).
std::string EscapeLabelValue(std::string_view value);

// A sample value: shortest round-trip form, "NaN", "+Inf", "-Inf".
std::string FormatSampleValue(double value);

// Writes families; a family's samples must be added before the next begins.
class MetricsWriter {
 public:
  using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

  void Family(std::string_view name, std::string_view type, std::string_view help);
  // name is the family's name or a suffixed one (histograms' _bucket, _sum, _count).
  void Sample(std::string_view name, const Labels& labels, double value);

  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The /metrics body. now is the scrape time (for the sample ages).
std::string RenderMetrics(const Snapshot& snapshot, const CommandStats& stats,
                          std::chrono::steady_clock::time_point now);

}  // namespace orbhost
