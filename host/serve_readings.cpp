// The readings `orbhost serve` publishes (portable).
#include "serve_readings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "utf.h"

namespace orbhost {
namespace {

constexpr HmCategoryInfo kHmInfo[kHmCategories] = {
    {"frequency", "Frequency", "Hz"},   {"voltage", "Voltage", "V"},
    {"temperature", "Temperatue", "C"}, {"fan", "Fan", "RPM"},
    {"water_flow", "WaterFlow", "L/h"},
};

// Unit names the "units" block accepts per category, with their factor to the base unit.
struct UnitChoice {
  HmCategory category;
  const char* name;
  double factor;
};
constexpr UnitChoice kUnitChoices[] = {
    {HmCategory::kFrequency, "Hz", 1},      {HmCategory::kFrequency, "kHz", 1e3},
    {HmCategory::kFrequency, "MHz", 1e6},   {HmCategory::kFrequency, "GHz", 1e9},
    {HmCategory::kVoltage, "V", 1},         {HmCategory::kVoltage, "mV", 1e-3},
    {HmCategory::kVoltage, "uV", 1e-6},     {HmCategory::kTemperature, "C", 1},
    {HmCategory::kTemperature, "dC", 0.1},  {HmCategory::kTemperature, "mC", 1e-3},
    {HmCategory::kFan, "RPM", 1},           {HmCategory::kWaterFlow, "L/h", 1},
    {HmCategory::kWaterFlow, "mL/h", 1e-3}, {HmCategory::kWaterFlow, "L/min", 60},
};

std::string Text(const QuonValueSet& node, const char* key) {
  return Utf16ToUtf8(node.GetStringValue(key));
}

// A decimal text of the plug-in ("-12", "4294967295", "1.5") as a number.
std::optional<double> DecimalOf(const QuonValueSet& node, const char* key) {
  const std::string text = Text(node, key);
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A number of any numeric kind, or nullopt.
std::optional<double> NumberOf(const QuonValueSet& node, const char* key) {
  const QuonValueSet::OrbValue* v = node.GetValue(key);
  if (v == nullptr) return std::nullopt;
  switch (v->kind) {
    case OrbValueKindDouble:
      return node.GetDoubleValue(key);
    case OrbValueKindInt:
      return node.GetIntValue(key);
    case OrbValueKindUInt:
      return node.GetUIntValue(key);
    case OrbValueKindInt64:
      return static_cast<double>(node.GetInt64Value(key));
    case OrbValueKindUInt64:
      return static_cast<double>(node.GetUInt64Value(key));
    default:
      return std::nullopt;
  }
}

std::string SnakeCase(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (std::isupper(static_cast<unsigned char>(c))) {
      const bool wordStart = i > 0 && std::islower(static_cast<unsigned char>(name[i - 1]));
      if (wordStart && !out.empty() && out.back() != '_') out += '_';
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (std::isalnum(static_cast<unsigned char>(c))) {
      out += c;
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "unknown" : out;
}

std::string Unquoted(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c != '\'') out += c;
  }
  return out;
}

Json Optional(const std::optional<double>& value) {
  return value && std::isfinite(*value) ? Json(*value) : Json(nullptr);
}

}  // namespace

const HmCategoryInfo& InfoOf(HmCategory category) {
  return kHmInfo[static_cast<size_t>(category)];
}

bool ParseHardwareUnits(const Json& block, HardwareUnits* units, std::string* error) {
  if (!block.is_object()) {
    *error = "\"units\" is not an object";
    return false;
  }
  HardwareUnits parsed = *units;
  for (const auto& [key, value] : block.items()) {
    size_t index = kHmCategories;
    for (size_t c = 0; c < kHmCategories; ++c) {
      if (key == kHmInfo[c].key) index = c;
    }
    if (index == kHmCategories) {
      *error = "\"units\": unknown category '" + key + "'";
      return false;
    }
    const UnitChoice* found = nullptr;
    if (value.is_string()) {
      for (const UnitChoice& choice : kUnitChoices) {
        if (static_cast<size_t>(choice.category) == index && value == choice.name) found = &choice;
      }
    }
    if (found == nullptr) {
      *error = "\"units\": '" + key + "' names no unit serve knows for it";
      return false;
    }
    parsed.units[index] = {found->name, found->factor};
  }
  *units = std::move(parsed);
  return true;
}

CpuzUnit CpuzUnitOf(const std::string& sensorClass) {
  struct Entry {
    const char* cls;
    const char* family;
    const char* unit;
    double factor;
  };
  static const Entry kUnits[] = {
      {"Voltage", "voltage_volts", "V", 1},
      {"Temperature", "temperature_celsius", "C", 1},
      {"Fan", "fan_speed_rpm", "RPM", 1},
      {"Current", "current_amperes", "A", 1},
      {"Power", "power_watts", "W", 1},
      {"FAN(PWM)", "fan_pwm_ratio", "ratio", 0.01},
      {"Utilization", "utilization_ratio", "ratio", 0.01},
      {"ClockSpeed", "clock_speed_hertz", "Hz", 1e6},
  };
  for (const Entry& e : kUnits) {
    if (sensorClass == e.cls) return {e.family, e.unit, e.factor};
  }
  // No base unit: the SDK's value, named for the class ("Pump(PWM)" -> "pump_pwm").
  return {SnakeCase(sensorClass), "", 1.0};
}

const char* BlockName(Block block) {
  static const char* const kNames[kBlocks] = {
      "hardware_monitor", "cpuz", "system", "usage", "power", "cooling"};
  return kNames[static_cast<size_t>(block)];
}

std::array<std::vector<HmReading>, kHmCategories> ConvertHardwareMonitor(
    const QuonValueSet& response, const HardwareUnits& units) {
  std::array<std::vector<HmReading>, kHmCategories> out;
  const QuonValueSet* all = response.GetChild("All");
  if (all == nullptr) return out;
  for (size_t c = 0; c < kHmCategories; ++c) {
    const QuonValueSet* node = all->GetChild(kHmInfo[c].pluginKey);
    if (node == nullptr) continue;
    const double factor = units.units[c].factor;
    for (const auto& [key, value] : node->Entries()) {
      const QuonValueSet* entry = value->Child();
      if (entry == nullptr || key.rfind("value", 0) != 0) continue;
      HmReading r;
      r.id = Text(*entry, "Id");
      r.name = Text(*entry, "name");
      const std::optional<double> current = DecimalOf(*entry, "current");
      if (r.id.empty() || !current) continue;  // no identity or no reading: nothing to plot
      r.value = *current * factor;
      r.lowLimit = DecimalOf(*entry, "lowLimit").value_or(0) * factor;
      r.highLimit = DecimalOf(*entry, "hightLimit").value_or(0) * factor;
      r.threshold = DecimalOf(*entry, "threshold").value_or(0) * factor;
      r.thresholdHigh = DecimalOf(*entry, "thresholdHigh").value_or(0) * factor;
      r.warning = DecimalOf(*entry, "warningLevel").value_or(0) > 0;
      bool repeated = false;  // one reading per identifier
      for (const HmReading& earlier : out[c]) repeated = repeated || earlier.id == r.id;
      if (!repeated) out[c].push_back(std::move(r));
    }
  }
  return out;
}

std::vector<CpuzDevice> ConvertCpuz(const QuonValueSet& response) {
  std::vector<CpuzDevice> out;
  const QuonValueSet* all = response.GetChild("All");
  if (all == nullptr) return out;
  for (const auto& [deviceKey, deviceValue] : all->Entries()) {
    const QuonValueSet* device = deviceValue->Child();
    if (device == nullptr) continue;
    CpuzDevice d;
    d.deviceClass =
        device->Contains("sensorClassName") ? Text(*device, "sensorClassName") : deviceKey;
    d.name = Text(*device, "sensorName");
    for (const auto& [classKey, classValue] : device->Entries()) {
      const QuonValueSet* classNode = classValue->Child();
      if (classNode == nullptr) continue;
      const std::string sensorClass = Unquoted(classKey);  // "'ClockSpeed'" of the memory clock
      const CpuzUnit unit = CpuzUnitOf(sensorClass);
      for (const auto& [sensorKey, sensorValue] : classNode->Entries()) {
        const QuonValueSet* node = sensorValue->Child();
        if (node == nullptr || sensorKey == "sensor_className") continue;
        CpuzSensor s;
        s.sensorClass = sensorClass;
        s.name = Text(*node, "name");
        s.label = Unquoted(sensorKey);
        s.id = node->GetUIntValue("id");
        auto scaled = [&](std::optional<double> v, double offset) -> std::optional<double> {
          if (!v) return std::nullopt;
          return (*v - offset) * unit.factor;
        };
        if (node->Contains("value_C")) {
          // The plug-in adds 0.5 to its Celsius values (rounding for display); serve
          // reports the SDK's reading.
          s.value = scaled(NumberOf(*node, "value_C"), 0.5);
          s.min = scaled(NumberOf(*node, "minValue_C"), 0.5);
          s.max = scaled(NumberOf(*node, "MaxValue_C"), 0.5);
        } else {
          s.value = scaled(NumberOf(*node, "value"), 0);
          s.min = scaled(NumberOf(*node, "minValue"), 0);
          s.max = scaled(NumberOf(*node, "MaxValue"), 0);
        }
        d.sensors.push_back(std::move(s));
      }
    }
    out.push_back(std::move(d));
  }
  return out;
}

void ConvertUsage(const QuonValueSet& response, Snapshot* snapshot) {
  snapshot->memoryLoad.reset();
  snapshot->disks.clear();
  const QuonValueSet* all = response.GetChild("All");
  if (all == nullptr) return;
  for (const auto& [key, value] : all->Entries()) {
    const std::optional<double> percent = NumberOf(*all, key.c_str());
    if (!percent) continue;
    if (key == "MemoryUsage") {
      snapshot->memoryLoad = *percent / 100.0;
    } else if (key.rfind("Disc (", 0) == 0 && key.back() == ')') {
      snapshot->disks.push_back({key.substr(6, key.size() - 7), *percent / 100.0});
    }
  }
}

void ConvertSystem(const QuonValueSet& response, Snapshot* snapshot) {
  const QuonValueSet* all = response.GetChild("All");
  if (all == nullptr) return;
  snapshot->model = Text(*all, "ModelName");
  snapshot->processor = Text(*all, "CPUName");
  snapshot->firmwareVersion = Text(*all, "BIOSVersion");
  snapshot->productLine = Text(*all, "ProductLine");
}

std::string IsoTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[96];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

Json SnapshotJson(const Snapshot& s) {
  Json doc = Json::object();
  doc["taken_at"] = IsoTime(s.takenAt);
  doc["sequence"] = s.sequence;
  doc["plugin"] = {{"version", s.pluginVersion},
                   {"initialize_status", s.initializeStatus},
                   {"feature_word", s.featureWord ? Json(*s.featureWord) : Json(nullptr)}};
  doc["machine"] = {{"model", s.model},
                    {"processor", s.processor},
                    {"firmware_version", s.firmwareVersion},
                    {"product_line", s.productLine},
                    {"processor_vendor", s.processorVendor}};
  Json blocks = Json::object();
  for (size_t b = 0; b < kBlocks; ++b) {
    const BlockState& state = s.blocks[b];
    Json block = Json::object();
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(state.status));
    block["status"] = state.sampled ? Json(status) : Json(nullptr);
    block["read_at"] = state.sampled ? Json(IsoTime(state.readAt)) : Json(nullptr);
    block["duration_ms"] = state.sampled ? Json(state.durationSeconds * 1000.0) : Json(nullptr);
    block["last_good_at"] = state.lastGoodAt ? Json(IsoTime(*state.lastGoodAt)) : Json(nullptr);
    switch (static_cast<Block>(b)) {
      case Block::kHardwareMonitor:
        for (size_t c = 0; c < kHmCategories; ++c) {
          Json readings = Json::array();
          for (const HmReading& r : s.hardwareMonitor[c]) {
            readings.push_back({{"id", r.id},
                                {"name", r.name},
                                {"value", r.value},
                                {"unit", kHmInfo[c].unit},
                                {"low_limit", r.lowLimit},
                                {"high_limit", r.highLimit},
                                {"threshold", r.threshold},
                                {"threshold_high", r.thresholdHigh},
                                {"warning", r.warning}});
          }
          block[kHmInfo[c].key] = std::move(readings);
        }
        break;
      case Block::kCpuz: {
        Json devices = Json::array();
        for (const CpuzDevice& d : s.cpuz) {
          Json sensors = Json::array();
          for (const CpuzSensor& sensor : d.sensors) {
            sensors.push_back({{"class", sensor.sensorClass},
                               {"name", sensor.name},
                               {"id", sensor.id},
                               {"value", Optional(sensor.value)},
                               {"min", Optional(sensor.min)},
                               {"max", Optional(sensor.max)},
                               {"unit", CpuzUnitOf(sensor.sensorClass).unit}});
          }
          devices.push_back(
              {{"class", d.deviceClass}, {"name", d.name}, {"sensors", std::move(sensors)}});
        }
        block["devices"] = std::move(devices);
        break;
      }
      case Block::kSystem:
        block["model"] = s.model;
        block["processor"] = s.processor;
        block["firmware_version"] = s.firmwareVersion;
        block["product_line"] = s.productLine;
        break;
      case Block::kUsage: {
        block["memory_load"] = Optional(s.memoryLoad);
        Json disks = Json::array();
        for (const DiskUsage& d : s.disks)
          disks.push_back({{"drive", d.drive}, {"usage", d.ratio}});
        block["disks"] = std::move(disks);
        break;
      }
      case Block::kPower:
        block["active_plan"] = {{"guid", s.powerPlanGuid}, {"name", s.powerPlanName}};
        block["cpu_power_saving"] = s.cpuPowerSaving ? Json(*s.cpuPowerSaving) : Json(nullptr);
        block["package_power_limit_watts"] = Optional(s.packagePowerLimitWatts);
        break;
      case Block::kCooling:
        block["cooling_profile"] = s.coolingProfile ? Json(*s.coolingProfile) : Json(nullptr);
        block["fan_tool_generation"] = s.fanToolGeneration;
        break;
    }
    blocks[BlockName(static_cast<Block>(b))] = std::move(block);
  }
  doc["blocks"] = std::move(blocks);
  return doc;
}

}  // namespace orbhost
