// The tour's view of a landing-page answer.
#include "landing_page_view.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tour.h"
#include "utf.h"

namespace orbhost {
namespace {

using Row = std::vector<std::string>;

std::string Text(const QuonValueSet& node, const char* key) {
  return Utf16ToUtf8(node.GetStringValue(key));
}

std::string Number(const QuonValueSet& node, const char* key) {
  const QuonValueSet::OrbValue* v = node.GetValue(key);
  if (v == nullptr) return "-";
  char text[48];
  switch (v->kind) {
    case OrbValueKindDouble:
      std::snprintf(text, sizeof text, "%.2f", node.GetDoubleValue(key));
      return text;
    case OrbValueKindInt:
      return std::to_string(node.GetIntValue(key));
    case OrbValueKindUInt:
      return std::to_string(node.GetUIntValue(key));
    case OrbValueKindString:
      return Text(node, key);
    default:
      return "?";
  }
}

void Table(const std::vector<Row>& rows, int indent, std::string* out) {
  std::vector<size_t> widths;
  for (const Row& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      if (widths.size() <= c) widths.push_back(0);
      if (row[c].size() > widths[c]) widths[c] = row[c].size();
    }
  }
  for (const Row& row : rows) {
    std::string line(static_cast<size_t>(indent), ' ');
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - row[c].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    *out += line + "\n";
  }
}

// A hardware-monitor category: "type", "realCount" and value0, value1, ...
bool IsHmspCategory(const QuonValueSet& node) {
  return node.Empty() || node.Contains("realCount");
}

void RenderHmspCategory(const std::string& name, const QuonValueSet& node, int indent,
                        std::string* out) {
  *out += std::string(static_cast<size_t>(indent), ' ') + name;
  if (node.Empty()) {
    *out += ": no readings\n";
    return;
  }
  *out += " (type " + std::to_string(node.GetIntValue("type")) + ", " +
          std::to_string(node.GetIntValue("realCount")) + " listed)\n";
  std::vector<Row> rows = {{"#", "name", "current", "low", "high", "threshold", "high threshold"}};
  for (int32_t i = 0; i < node.GetIntValue("realCount"); ++i) {
    const QuonValueSet* v = node.GetChild("value" + std::to_string(i));
    if (v == nullptr) continue;
    rows.push_back({std::to_string(v->GetIntValue("count")), Text(*v, "name"), Text(*v, "current"),
                    Text(*v, "lowLimit"), Text(*v, "hightLimit"), Text(*v, "threshold"),
                    Text(*v, "thresholdHigh")});
  }
  Table(rows, indent + 2, out);
}

// A CPU-Z device: "sensorClassName", "sensorName" and one child per sensor class.
void RenderCpuzDevice(const std::string& name, const QuonValueSet& device, int indent,
                      std::string* out) {
  const std::string pad(static_cast<size_t>(indent), ' ');
  *out += pad + name + ": " + Text(device, "sensorName") + "\n";
  for (const auto& [className, value] : device.Entries()) {
    const QuonValueSet* sensors = value->Child();
    if (sensors == nullptr) continue;
    *out += pad + "  " + className + "\n";
    std::vector<Row> rows = {{"sensor", "value", "min", "max"}};
    for (const auto& [key, entry] : sensors->Entries()) {
      const QuonValueSet* s = entry->Child();
      if (s == nullptr || key == "sensor_className") continue;
      if (s->Contains("value_C")) {
        rows.push_back({key, Number(*s, "value_C") + " C / " + Number(*s, "value_F") + " F",
                        Number(*s, "minValue_C"), Number(*s, "MaxValue_C")});
      } else {
        rows.push_back({key, Number(*s, "value"), Number(*s, "minValue"), Number(*s, "MaxValue")});
      }
    }
    Table(rows, indent + 4, out);
  }
}

}  // namespace

std::string RenderLandingPage(const QuonValueSet& response, int indent) {
  std::string out;
  for (const auto& [key, value] : response.Entries()) {
    const QuonValueSet* node = value->Child();
    if (node == nullptr) return RenderTree(response, indent);
    out += std::string(static_cast<size_t>(indent), ' ') + key + ":\n";
    if (IsHmspCategory(*node) && key != "All") {
      RenderHmspCategory(key, *node, indent + 2, &out);
      continue;
    }
    for (const auto& [childKey, childValue] : node->Entries()) {
      const QuonValueSet* child = childValue->Child();
      if (child != nullptr && child->Contains("sensorClassName")) {
        RenderCpuzDevice(childKey, *child, indent + 2, &out);
      } else if (child != nullptr && IsHmspCategory(*child)) {
        RenderHmspCategory(childKey, *child, indent + 2, &out);
      } else {
        out += RenderTree(*node, indent + 2);
        break;
      }
    }
  }
  return out;
}

}  // namespace orbhost
