// `orbhost serve`'s /metrics (portable).
#include "serve_metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "serve_request.h"

namespace orbhost {
namespace {

struct HmFamily {
  const char* value;  // the reading's family
  const char* limit;  // its limits' family
  const char* what;   // for HELP
};
constexpr HmFamily kHmFamilies[kHmCategories] = {
    {"pelorus_cpu_frequency_hertz", "pelorus_cpu_frequency_limit_hertz", "CPU frequency"},
    {"pelorus_voltage_volts", "pelorus_voltage_limit_volts", "Voltage"},
    {"pelorus_temperature_celsius", "pelorus_temperature_limit_celsius", "Temperature"},
    {"pelorus_fan_speed_rpm", "pelorus_fan_speed_limit_rpm", "Fan speed"},
    {"pelorus_water_flow_litres_per_hour", "pelorus_water_flow_limit_litres_per_hour",
     "Water flow"},
};

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

void CommandStats::Record(std::string_view command, double seconds, bool failed) {
  if (!IsKnownCommand(command)) return;
  auto it = commands.find(command);
  if (it == commands.end()) it = commands.emplace(std::string(command), Entry{}).first;
  Entry& e = it->second;
  for (size_t b = 0; b < kCommandDurationBuckets.size(); ++b) {
    if (seconds <= kCommandDurationBuckets[b]) {
      ++e.buckets[b];
      break;
    }
  }
  ++e.count;
  e.sum += seconds;
  if (failed) ++e.failures;
}

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatSampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[40];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return "NaN";
  return std::string(text, end);
}

void MetricsWriter::Family(std::string_view name, std::string_view type, std::string_view help) {
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsWriter::Sample(std::string_view name, const Labels& labels, double value) {
  text_.append(name);
  if (!labels.empty()) {
    text_ += '{';
    bool first = true;
    for (const auto& [label, labelValue] : labels) {
      if (!first) text_ += ',';
      first = false;
      text_.append(label).append("=\"").append(EscapeLabelValue(labelValue)).append("\"");
    }
    text_ += '}';
  }
  text_.append(" ").append(FormatSampleValue(value)).append("\n");
}

std::string RenderMetrics(const Snapshot& s, const CommandStats& stats,
                          std::chrono::steady_clock::time_point now) {
  MetricsWriter w;

  // Hardware monitor: readings, limits and warnings.
  for (size_t c = 0; c < kHmCategories; ++c) {
    const HmFamily& f = kHmFamilies[c];
    const std::string unit = InfoOf(static_cast<HmCategory>(c)).unit;
    w.Family(f.value, "gauge",
             std::string(f.what) + " reading of the hardware monitor (" + unit + ").");
    for (const HmReading& r : s.hardwareMonitor[c])
      w.Sample(f.value, {{"sensor", r.name}, {"id", r.id}}, r.value);
  }
  for (size_t c = 0; c < kHmCategories; ++c) {
    const HmFamily& f = kHmFamilies[c];
    w.Family(f.limit, "gauge",
             std::string(f.what) +
                 " limits of the hardware monitor by kind (low, high, "
                 "threshold, threshold_high).");
    for (const HmReading& r : s.hardwareMonitor[c]) {
      const std::pair<const char*, double> limits[] = {{"low", r.lowLimit},
                                                       {"high", r.highLimit},
                                                       {"threshold", r.threshold},
                                                       {"threshold_high", r.thresholdHigh}};
      for (const auto& [kind, value] : limits)
        w.Sample(f.limit, {{"sensor", r.name}, {"id", r.id}, {"limit", kind}}, value);
    }
  }
  w.Family("pelorus_sensor_warning", "gauge",
           "1 while the hardware monitor's warning level of the sensor is above 0.");
  for (size_t c = 0; c < kHmCategories; ++c) {
    const char* category = InfoOf(static_cast<HmCategory>(c)).key;
    for (const HmReading& r : s.hardwareMonitor[c]) {
      w.Sample("pelorus_sensor_warning", {{"category", category}, {"sensor", r.name}, {"id", r.id}},
               r.warning ? 1 : 0);
    }
  }

  // CPU-Z: one family per sensor class, in the order the classes first appear.
  std::vector<std::string> classes;
  for (const CpuzDevice& d : s.cpuz) {
    for (const CpuzSensor& sensor : d.sensors) {
      if (std::find(classes.begin(), classes.end(), sensor.sensorClass) == classes.end())
        classes.push_back(sensor.sensorClass);
    }
  }
  std::vector<std::string> written;  // two classes may share a family name
  for (const std::string& cls : classes) {
    const std::string family = "pelorus_cpuz_" + CpuzUnitOf(cls).family;
    if (std::find(written.begin(), written.end(), family) != written.end()) continue;
    written.push_back(family);
    w.Family(family, "gauge", "CPU-Z sensors of class " + cls + ".");
    for (const CpuzDevice& d : s.cpuz) {
      for (const CpuzSensor& sensor : d.sensors) {
        if (!sensor.value || "pelorus_cpuz_" + CpuzUnitOf(sensor.sensorClass).family != family)
          continue;
        w.Sample(family,
                 {{"device", d.name}, {"device_class", d.deviceClass}, {"sensor", sensor.label}},
                 *sensor.value);
      }
    }
  }

  // Usage and power.
  w.Family("pelorus_memory_load_ratio", "gauge", "Share of physical memory in use (0-1).");
  if (s.memoryLoad) w.Sample("pelorus_memory_load_ratio", {}, *s.memoryLoad);
  w.Family("pelorus_disk_usage_ratio", "gauge", "Used share of each fixed drive (0-1).");
  for (const DiskUsage& d : s.disks)
    w.Sample("pelorus_disk_usage_ratio", {{"drive", d.drive}}, d.ratio);
  w.Family("pelorus_power_plan_info", "gauge", "The active power plan (value 1).");
  if (!s.powerPlanGuid.empty())
    w.Sample("pelorus_power_plan_info", {{"guid", s.powerPlanGuid}, {"name", s.powerPlanName}}, 1);
  w.Family("pelorus_cpu_power_saving_enabled", "gauge",
           "1 when the firmware's CPU power-saving flag is set.");
  if (s.cpuPowerSaving) w.Sample("pelorus_cpu_power_saving_enabled", {}, *s.cpuPowerSaving ? 1 : 0);
  w.Family("pelorus_package_power_limit_watts", "gauge", "The processor package power limit.");
  if (s.packagePowerLimitWatts)
    w.Sample("pelorus_package_power_limit_watts", {}, *s.packagePowerLimitWatts);

  // The plug-in and the sampling.
  w.Family("pelorus_build_info", "gauge", "The plug-in's version (value 1).");
  w.Sample("pelorus_build_info", {{"version", s.pluginVersion}}, 1);
  w.Family("pelorus_initialize_status", "gauge", "What the plug-in's Initialize returned.");
  w.Sample("pelorus_initialize_status", {}, s.initializeStatus);
  w.Family("pelorus_sample_age_seconds", "gauge", "Time since the block was last read.");
  for (size_t b = 0; b < kBlocks; ++b) {
    if (!s.blocks[b].sampled) continue;
    const auto age = now - s.takenSteady +
                     (s.takenAt - s.blocks[b].readAt);  // older blocks kept from earlier rounds
    w.Sample("pelorus_sample_age_seconds", {{"block", BlockName(static_cast<Block>(b))}},
             Seconds(age));
  }
  w.Family("pelorus_sample_duration_seconds", "gauge", "How long the block's last read took.");
  for (size_t b = 0; b < kBlocks; ++b) {
    if (!s.blocks[b].sampled) continue;
    w.Sample("pelorus_sample_duration_seconds", {{"block", BlockName(static_cast<Block>(b))}},
             s.blocks[b].durationSeconds);
  }
  w.Family("pelorus_sample_failures_total", "counter", "Reads of the block that failed.");
  for (size_t b = 0; b < kBlocks; ++b) {
    w.Sample("pelorus_sample_failures_total", {{"block", BlockName(static_cast<Block>(b))}},
             static_cast<double>(s.blocks[b].failures));
  }

  // Every plug-in call serve made.
  w.Family("pelorus_command_duration_seconds", "histogram", "Duration of plug-in commands.");
  for (const auto& [command, e] : stats.commands) {
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kCommandDurationBuckets.size(); ++b) {
      cumulative += e.buckets[b];
      const std::string le = FormatSampleValue(kCommandDurationBuckets[b]);
      w.Sample("pelorus_command_duration_seconds_bucket", {{"command", command}, {"le", le}},
               static_cast<double>(cumulative));
    }
    w.Sample("pelorus_command_duration_seconds_bucket", {{"command", command}, {"le", "+Inf"}},
             static_cast<double>(e.count));
    w.Sample("pelorus_command_duration_seconds_sum", {{"command", command}}, e.sum);
    w.Sample("pelorus_command_duration_seconds_count", {{"command", command}},
             static_cast<double>(e.count));
  }
  w.Family("pelorus_command_failures_total", "counter",
           "Plug-in commands that answered a status other than 0.");
  for (const auto& [command, e] : stats.commands) {
    w.Sample("pelorus_command_failures_total", {{"command", command}},
             static_cast<double>(e.failures));
  }
  return w.text();
}

}  // namespace orbhost
