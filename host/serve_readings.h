// The readings `orbhost serve` publishes (portable): one immutable snapshot per
// sampling round, converted from the plug-in's answers, and its JSON form for
// /api/v1/readings and /api/v1/history.
//
// The hardware-monitor library reports its readings as decimal texts in its
// own units; serve scales them to base units with HardwareUnits (the "units"
// block of orbhost's machine profile; defaults MHz, mV, C, RPM, L/h).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pelorus/value_set.h"
#include "value_json.h"

namespace orbhost {

// The hardware-monitor categories, in the plug-in's order.
enum class HmCategory { kFrequency, kVoltage, kTemperature, kFan, kWaterFlow };
constexpr size_t kHmCategories = 5;

struct HmCategoryInfo {
  const char* key;        // JSON key and metric label: "water_flow"
  const char* pluginKey;  // the plug-in's node: "WaterFlow" (the temperature node is "Temperatue")
  const char* unit;       // the base unit serve reports in: "Hz"
};
const HmCategoryInfo& InfoOf(HmCategory category);

// The library's unit for each category: its name and the factor to the base unit.
struct HardwareUnits {
  struct Unit {
    std::string name;
    double factor = 1.0;
  };
  std::array<Unit, kHmCategories> units = {
      {{"MHz", 1e6}, {"mV", 1e-3}, {"C", 1.0}, {"RPM", 1.0}, {"L/h", 1.0}}};
};

// Reads {"frequency": "MHz", "voltage": "mV", ...}: missing categories keep
// their defaults; an unknown category or unit name is an error.
bool ParseHardwareUnits(const Json& block, HardwareUnits* units, std::string* error);

struct HmReading {
  std::string id;  // the library's identifier (stable across restarts)
  std::string name;
  double value = 0, lowLimit = 0, highLimit = 0, threshold = 0, thresholdHigh = 0;
  bool warning = false;  // the library's warning level is above 0
};

struct CpuzSensor {
  std::string sensorClass;  // "Temperature", "ClockSpeed", ...
  std::string name;
  std::string label;  // unique in its class: the plug-in's key without quotes ("VIN #0-1")
  uint32_t id = 0;
  std::optional<double> value, min, max;  // in the class's base unit (see CpuzUnitOf)
};

struct CpuzDevice {
  std::string deviceClass;  // "Processor", "Mainboard", ...
  std::string name;
  std::vector<CpuzSensor> sensors;
};

// How a CPU-Z sensor class is reported: its metric family suffix (after
// "pelorus_cpuz_"), its unit in JSON, and the factor from the plug-in's value.
struct CpuzUnit {
  std::string family;  // "temperature_celsius"
  std::string unit;    // "C", "" when the class has no unit
  double factor = 1.0;
};
CpuzUnit CpuzUnitOf(const std::string& sensorClass);

struct DiskUsage {
  std::string drive;  // "C:"
  double ratio = 0;
};

// The back ends serve samples, one block each.
enum class Block { kHardwareMonitor, kCpuz, kSystem, kUsage, kPower, kCooling };
constexpr size_t kBlocks = 6;
const char* BlockName(Block block);

struct BlockState {
  bool sampled = false;  // false until the first round that read it
  uint32_t status = 0;   // the (last failing, else last) command status of the round
  std::chrono::system_clock::time_point readAt{};
  double durationSeconds = 0;
  std::optional<std::chrono::system_clock::time_point> lastGoodAt;
  uint64_t failures = 0;  // rounds with a failing status since serve started
};

struct Snapshot {
  uint64_t sequence = 0;
  std::chrono::system_clock::time_point takenAt{};
  std::chrono::steady_clock::time_point takenSteady{};

  // plugin
  std::string pluginVersion;
  uint32_t initializeStatus = 0;
  std::optional<int64_t> featureWord;
  // machine
  std::string model, processor, firmwareVersion, productLine, processorVendor;

  std::array<BlockState, kBlocks> blocks{};
  std::array<std::vector<HmReading>, kHmCategories> hardwareMonitor;
  std::vector<CpuzDevice> cpuz;
  std::optional<double> memoryLoad;  // ratio 0-1
  std::vector<DiskUsage> disks;
  std::string powerPlanGuid, powerPlanName;
  std::optional<bool> cpuPowerSaving;
  std::optional<double> packagePowerLimitWatts;
  std::optional<int32_t> coolingProfile;
  std::string fanToolGeneration;

  // SnapshotJson of this snapshot as text, made once when it is published
  // (readers then only copy it).
  std::string jsonText;
};

// Conversions of the plug-in's answers into a snapshot's parts. Each reads
// what is there and skips what is missing or of another kind.
std::array<std::vector<HmReading>, kHmCategories> ConvertHardwareMonitor(
    const QuonValueSet& response, const HardwareUnits& units);
std::vector<CpuzDevice> ConvertCpuz(const QuonValueSet& response);
// dllType 4: "Disc (C:)" usage percents and "MemoryUsage" percent, as ratios.
void ConvertUsage(const QuonValueSet& response, Snapshot* snapshot);
// dllType 2: the machine's identity texts.
void ConvertSystem(const QuonValueSet& response, Snapshot* snapshot);

// "2024-05-01T12:00:00.123Z"
std::string IsoTime(std::chrono::system_clock::time_point time);

// The /api/v1/readings document.
Json SnapshotJson(const Snapshot& snapshot);

}  // namespace orbhost
