// orbhost serve's own parsing and formatting: query strings and JSON bodies
// into request trees, the command classes, the Host/Origin/token rules, the
// conversion of the plug-in's answers into readings, and the metrics text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "serve_metrics.h"
#include "serve_readings.h"
#include "serve_request.h"
#include "utf.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

std::vector<QueryParameter> Query(std::string_view text) {
  std::vector<QueryParameter> out;
  std::string error;
  EXPECT_TRUE(ParseQuery(text, &out, &error)) << error;
  return out;
}

TEST(ServeQuery, DecodesAndTypesArguments) {
  QuonValueSet request;
  std::string form, error;
  ASSERT_TRUE(BuildQueryRequest("GetType40Info",
                                Query("Type40.Info=a%20b+c&n:UInt=0x10&&form=typed"), request,
                                &form, &error))
      << error;
  EXPECT_EQ(request.GetStringValue("Cmd"), u"GetType40Info");
  ASSERT_NE(request.GetChild("Type40"), nullptr);
  EXPECT_EQ(request.GetChild("Type40")->GetStringValue("Info"), u"a b c");
  EXPECT_EQ(request.GetUIntValue("n"), 16u);
  EXPECT_FALSE(request.Contains("form"));
  EXPECT_EQ(form, "typed");
}

TEST(ServeQuery, RejectsMalformedAndRepeatedKeys) {
  std::vector<QueryParameter> parameters;
  std::string error;
  for (const char* bad : {"a=%zz", "a=%4", "novalue", "=x"}) {
    EXPECT_FALSE(ParseQuery(bad, &parameters, &error)) << bad;
  }
  std::string many;
  for (size_t i = 0; i <= kMaxQueryParameters; ++i) many += "k" + std::to_string(i) + "=1&";
  EXPECT_FALSE(ParseQuery(many, &parameters, &error));

  QuonValueSet request;
  std::string form;
  // The same tree key, whatever the kind suffix; "Cmd" comes from the path only.
  for (const char* repeated :
       {"a=1&a=2", "a=1&a:Int=2", "x.y=1&x.y:UInt=2", "Cmd=SetFanSpeed", "form=plain&form=typed"}) {
    EXPECT_FALSE(BuildQueryRequest("GetName", Query(repeated), request, &form, &error)) << repeated;
  }
}

TEST(ServeBody, BuildsTypedAndPlainTrees) {
  QuonValueSet request;
  std::string error;
  ASSERT_TRUE(BuildJsonRequest(
      "SetFanSpeed", R"({"Cmd": "SetFanSpeed", "FanSpeedStatus": {"dataParam:Int": 2}, "b": true})",
      request, &error))
      << error;
  ASSERT_NE(request.GetChild("FanSpeedStatus"), nullptr);
  EXPECT_EQ(request.GetChild("FanSpeedStatus")->GetIntValue("dataParam"), 2);
  EXPECT_TRUE(request.GetBoolValue("b"));
  EXPECT_EQ(request.GetStringValue("Cmd"), u"SetFanSpeed");
}

TEST(ServeBody, RejectsRepeatsDepthAndMismatches) {
  QuonValueSet request;
  std::string error;
  EXPECT_FALSE(BuildJsonRequest("GetName", R"({"a": 1, "a:Int": 2})", request, &error));
  EXPECT_NE(error.find("repeated key 'a'"), std::string::npos) << error;
  EXPECT_FALSE(BuildJsonRequest("GetName", R"({"c": {"a": 1, "a": 2}})", request, &error));
  // Equal keys in different objects are not repeats.
  EXPECT_TRUE(BuildJsonRequest("GetName", R"({"a": {"a": 1}, "b": {"a": 2}})", request, &error))
      << error;
  EXPECT_FALSE(BuildJsonRequest("GetName", R"({"Cmd": "DoTesseraReboot"})", request, &error));
  EXPECT_FALSE(BuildJsonRequest("GetName", R"({"Cmd:Int": 1})", request, &error));
  for (const char* bad : {"", "[]", "1", "{", R"({"a": 1} x)"}) {
    EXPECT_FALSE(BuildJsonRequest("GetName", bad, request, &error)) << bad;
  }
  std::string deep;
  for (int i = 0; i < 2000; ++i) deep += "{\"a\":";
  deep += "1";
  for (int i = 0; i < 2000; ++i) deep += "}";
  EXPECT_FALSE(BuildJsonRequest("GetName", deep, request, &error));
}

TEST(ServeClasses, ClassifiesTheTreeThatWouldBeSent) {
  auto classOf = [](const char* json) {
    QuonValueSet request;
    std::string error;
    EXPECT_TRUE(JsonToTree(Json::parse(json), request, &error)) << error;
    return ClassifyRequest(request);
  };
  EXPECT_EQ(classOf(R"({"Cmd": "GetName"})"), CommandClass::kReadOnly);
  EXPECT_EQ(classOf(R"({"Cmd": "GetTesseraPluginInfoForDashbaord"})"), CommandClass::kReadOnly);
  EXPECT_EQ(classOf(R"({"Cmd": "CheckSystemResume"})"), CommandClass::kActing);
  EXPECT_EQ(classOf(R"({"Cmd": "GetOPLandingPageInfo"})"), CommandClass::kActing);
  EXPECT_EQ(classOf(R"({"Cmd": "DoTesseraReboot"})"), CommandClass::kRestart);
  EXPECT_EQ(classOf(R"({"Cmd": "DoAiControl", "subCommand": "Reboot"})"), CommandClass::kRestart);
  EXPECT_EQ(classOf(R"({"Cmd": "DoAiControl", "subCommand": "GetItem"})"), CommandClass::kActing);
  // Binary is not a String: the plug-in reads no sub-command from it.
  EXPECT_EQ(classOf(R"({"Cmd": "DoAiControl", "subCommand:Binary": "5265626f6f74"})"),
            CommandClass::kActing);
  EXPECT_EQ(classOf(R"({"Cmd": "getname"})"), CommandClass::kUnknown);
  EXPECT_EQ(classOf(R"({"Cmd:Binary": "00"})"), CommandClass::kUnknown);
  EXPECT_EQ(KnownCommands().size(), 37u);
}

TEST(ServeSecurity, HostOriginAndToken) {
  HostRules rules{9000, {"Watch.Example"}};
  for (const char* good :
       {"localhost:9000", "127.0.0.1:9000", "[::1]:9000", "LOCALHOST:9000", "watch.example:9000"}) {
    EXPECT_TRUE(HostAllowed(good, rules)) << good;
  }
  for (const char* bad : {"localhost", "localhost:900", "localhost:90000", "evil.example:9000",
                          "127.0.0.1.evil:9000", ":9000", "", "0.0.0.0:9000"}) {
    EXPECT_FALSE(HostAllowed(bad, rules)) << bad;
  }
  EXPECT_TRUE(OriginAllowed("http://localhost:9000", "localhost:9000"));
  EXPECT_FALSE(OriginAllowed("http://127.0.0.1:9000", "localhost:9000"));
  EXPECT_FALSE(OriginAllowed("null", "localhost:9000"));

  const std::string token(64, 'a');
  EXPECT_EQ(CheckBearer("", token), TokenCheck::kMissing);
  EXPECT_EQ(CheckBearer("Bearer " + token, token), TokenCheck::kGood);
  EXPECT_EQ(CheckBearer("bearer " + token, token), TokenCheck::kGood);
  EXPECT_EQ(CheckBearer("Bearer " + token.substr(1), token), TokenCheck::kWrong);
  EXPECT_EQ(CheckBearer("Basic " + token, token), TokenCheck::kWrong);
  EXPECT_EQ(CheckBearer("Bearer ", ""), TokenCheck::kWrong);
}

// A hardware-monitor answer as the plug-in builds it: decimal texts.
void AddHmReading(QuonValueSet* category, int index, const char* id, const char* name,
                  const char* current, const char* warning) {
  QuonValueSet* v = category->CreateChild("value" + std::to_string(index));
  v->SetStringValue("Id", Utf8ToUtf16(id));
  v->SetStringValue("name", Utf8ToUtf16(name));
  v->SetStringValue("current", Utf8ToUtf16(current));
  v->SetStringValue("lowLimit", u"-5");
  v->SetStringValue("hightLimit", u"1500");
  v->SetStringValue("threshold", u"10");
  v->SetStringValue("thresholdHigh", u"20");
  v->SetStringValue("warningLevel", Utf8ToUtf16(warning));
}

TEST(ServeReadings, ScalesHardwareMonitorReadings) {
  QuonValueSet response;
  QuonValueSet* all = response.CreateChild("All");
  QuonValueSet* voltage = all->CreateChild("Voltage");
  voltage->SetValue("realCount", new Value(int32_t{4}));
  AddHmReading(voltage, 0, "7", "Vcore", "1250", "0");
  AddHmReading(voltage, 1, "8", "12V", "12100", "2");
  AddHmReading(voltage, 2, "7", "Vcore again", "1", "0");  // same identifier: dropped
  AddHmReading(voltage, 3, "9", "broken", "n/a", "0");     // no number: dropped
  QuonValueSet* temperature = all->CreateChild("Temperatue");
  AddHmReading(temperature, 0, "3", "CPU", "45", "0");

  HardwareUnits units;
  const auto readings = ConvertHardwareMonitor(response, units);
  const auto& volts = readings[static_cast<size_t>(HmCategory::kVoltage)];
  ASSERT_EQ(volts.size(), 2u);
  EXPECT_DOUBLE_EQ(volts[0].value, 1.25);
  EXPECT_DOUBLE_EQ(volts[0].lowLimit, -0.005);
  EXPECT_DOUBLE_EQ(volts[0].highLimit, 1.5);
  EXPECT_FALSE(volts[0].warning);
  EXPECT_TRUE(volts[1].warning);
  const auto& celsius = readings[static_cast<size_t>(HmCategory::kTemperature)];
  ASSERT_EQ(celsius.size(), 1u);
  EXPECT_DOUBLE_EQ(celsius[0].value, 45);

  // The profile's "units" block changes the scale.
  std::string error;
  ASSERT_TRUE(ParseHardwareUnits(Json::parse(R"({"voltage": "V"})"), &units, &error)) << error;
  EXPECT_DOUBLE_EQ(
      ConvertHardwareMonitor(response, units)[static_cast<size_t>(HmCategory::kVoltage)][0].value,
      1250);
  EXPECT_FALSE(ParseHardwareUnits(Json::parse(R"({"voltage": "MHz"})"), &units, &error));
  EXPECT_FALSE(ParseHardwareUnits(Json::parse(R"({"pressure": "Pa"})"), &units, &error));
  EXPECT_FALSE(ParseHardwareUnits(Json::parse(R"({"fan": 1})"), &units, &error));
}

TEST(ServeReadings, ConvertsCpuzAndUsage) {
  QuonValueSet response;
  QuonValueSet* device = response.CreateChild("All")->CreateChild("Processor");
  device->SetStringValue("sensorClassName", u"Processor");
  device->SetStringValue("sensorName", u"Test CPU");
  QuonValueSet* temps = device->CreateChild("Temperature");
  temps->CreateChild("sensor_className")->SetStringValue("0", u"'Core'");
  QuonValueSet* core = temps->CreateChild("'Core'");
  core->SetUIntValue("id", 5);
  core->SetStringValue("name", u"Core");
  core->SetDoubleValue("value_C", 40.5);
  core->SetDoubleValue("minValue_C", 30.5);
  core->SetDoubleValue("MaxValue_C", 60.5);
  QuonValueSet* load = device->CreateChild("Utilization")->CreateChild("'Load' #0-1");
  load->SetDoubleValue("value", 25);

  const std::vector<CpuzDevice> devices = ConvertCpuz(response);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].name, "Test CPU");
  ASSERT_EQ(devices[0].sensors.size(), 2u);
  const CpuzSensor& t = devices[0].sensors[0];
  EXPECT_EQ(t.label, "Core");
  EXPECT_DOUBLE_EQ(*t.value, 40);  // the plug-in's display offset removed
  EXPECT_DOUBLE_EQ(*t.max, 60);
  const CpuzSensor& u = devices[0].sensors[1];
  EXPECT_EQ(u.label, "Load #0-1");
  EXPECT_DOUBLE_EQ(*u.value, 0.25);
  EXPECT_FALSE(u.min.has_value());
  EXPECT_EQ(CpuzUnitOf("Pump(PWM)").family, "pump_pwm");

  QuonValueSet usage;
  QuonValueSet* node = usage.CreateChild("All");
  node->SetDoubleValue("Disc (C:)", 41.5);
  node->SetDoubleValue("MemoryUsage", 50);
  node->SetStringValue("Disc (D:)", u"oops");
  Snapshot snapshot;
  ConvertUsage(usage, &snapshot);
  ASSERT_EQ(snapshot.disks.size(), 1u);
  EXPECT_EQ(snapshot.disks[0].drive, "C:");
  EXPECT_DOUBLE_EQ(snapshot.disks[0].ratio, 0.415);
  EXPECT_DOUBLE_EQ(*snapshot.memoryLoad, 0.5);
}

TEST(ServeMetrics, EscapesAndFormats) {
  EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  EXPECT_EQ(FormatSampleValue(0.1), "0.1");
  for (double v : {1e6, 1.25e-3, -40.5, 4294967295.0, 0.1 + 0.2})
    EXPECT_EQ(std::stod(FormatSampleValue(v)), v);  // exact round trip
  EXPECT_EQ(FormatSampleValue(std::numeric_limits<double>::infinity()), "+Inf");
  EXPECT_EQ(FormatSampleValue(std::nan("")), "NaN");
}

TEST(ServeMetrics, OneBlockPerFamilyAndCumulativeBuckets) {
  Snapshot s;
  s.pluginVersion = "5.9.9.0";
  s.hardwareMonitor[static_cast<size_t>(HmCategory::kTemperature)] = {
      {"3", "CPU \"die\"", 45, 0, 90, 80, 85, true}, {"4", "System", 30, 0, 90, 80, 85, false}};
  CpuzDevice cpu{"Processor", "Test CPU", {}};
  cpu.sensors.push_back({"Temperature", "Core", "Core", 1, 40.0, {}, {}});
  CpuzDevice board{"Mainboard", "Board", {}};
  board.sensors.push_back({"Temperature", "SYS", "SYS", 2, 30.0, {}, {}});
  s.cpuz = {cpu, board};
  CommandStats stats;
  stats.Record("GetName", 0.003, false);
  stats.Record("GetName", 0.2, true);
  stats.Record("NotACommand", 1, false);

  const std::string text = RenderMetrics(s, stats, s.takenSteady);
  std::istringstream lines(text);
  std::string line, current;
  std::map<std::string, int> helps, types;
  std::set<std::string> closed;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty());
    if (line.rfind("# HELP ", 0) == 0) {
      const std::string family = line.substr(7, line.find(' ', 7) - 7);
      ++helps[family];
      if (!current.empty()) closed.insert(current);
      current = family;
      EXPECT_EQ(closed.count(family), 0u) << family << " split in two blocks";
    } else if (line.rfind("# TYPE ", 0) == 0) {
      ++types[line.substr(7, line.find(' ', 7) - 7)];
    } else {
      EXPECT_EQ(line.rfind(current, 0), 0u) << line << " outside its family " << current;
    }
  }
  for (const auto& [family, count] : helps) {
    EXPECT_EQ(count, 1) << family;
    EXPECT_EQ(types[family], 1) << family;
  }
  EXPECT_NE(text.find(R"(pelorus_temperature_celsius{sensor="CPU \"die\"",id="3"} 45)"),
            std::string::npos);
  EXPECT_NE(
      text.find(R"(pelorus_sensor_warning{category="temperature",sensor="CPU \"die\"",id="3"} 1)"),
      std::string::npos);
  EXPECT_NE(
      text.find(
          R"(pelorus_cpuz_temperature_celsius{device="Board",device_class="Mainboard",sensor="SYS"} 30)"),
      std::string::npos);
  EXPECT_NE(text.find(R"(pelorus_command_duration_seconds_bucket{command="GetName",le="0.005"} 1)"),
            std::string::npos);
  EXPECT_NE(text.find(R"(pelorus_command_duration_seconds_bucket{command="GetName",le="0.25"} 2)"),
            std::string::npos);
  EXPECT_NE(text.find(R"(pelorus_command_failures_total{command="GetName"} 1)"), std::string::npos);
  EXPECT_EQ(text.find("NotACommand"), std::string::npos);
}

}  // namespace
}  // namespace orbhost
