// The machine profile of orbhost's stand-ins. Parsing is portable; reading
// files, the registry facts and the embedded default are Win32.
#include "machine_profile.h"

#include "support/win32.h"

#include <cstdio>

#include "framing.h"
#include "typed_args.h"
#include "utf.h"
#include "output.h"

extern const char kDefaultProfileJson[];  // generated from default_profile.json

namespace orbhost {
namespace {

struct SectionName {
  MachineProfile::Section section;
  const char* name;
};
constexpr SectionName kSections[] = {
    {MachineProfile::Section::kQuery, "Query"},
    {MachineProfile::Section::kConsole, "Console"},
    {MachineProfile::Section::kFramework, "Framework"},
    {MachineProfile::Section::kDatabase, "Database"},
    {MachineProfile::Section::kPeers, "Peers"},
};

bool ParseStatus(const Json& json, HRESULT* status) {
  if (json.is_number_integer()) {
    const int64_t v = json.get<int64_t>();
    if (v < INT32_MIN || v > UINT32_MAX) return false;
    *status = static_cast<HRESULT>(static_cast<uint32_t>(v));
    return true;
  }
  if (!json.is_string()) return false;
  QuonValueSet scratch;
  if (!SetValueFromText(scratch, "s", OrbValueKindUInt, json.get<std::string>(), nullptr))
    return false;
  *status = static_cast<HRESULT>(scratch.GetUIntValue("s"));
  return true;
}

// A registry string under HKLM, or "" when absent or empty.
std::string RegistryText(const wchar_t* key, const wchar_t* value) {
  wchar_t buffer[256];
  DWORD bytes = sizeof buffer;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, buffer, &bytes) !=
      ERROR_SUCCESS)
    return {};
  std::string text = Utf16ToUtf8(AsU16Text(buffer));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

bool MachineProfile::Parse(std::string_view jsonText, std::string* error) {
  Json document = Json::parse(jsonText, nullptr, false, /*ignore_comments=*/true);
  if (document.is_discarded() || !document.is_object()) {
    *error = "the profile is not a JSON object";
    return false;
  }
  decltype(sections_) parsed;
  HardwareUnits units;
  for (const auto& [sectionName, entries] : document.items()) {
    if (sectionName == "units") {
      if (!ParseHardwareUnits(entries, &units, error)) return false;
      continue;
    }
    const SectionName* known = nullptr;
    for (const auto& s : kSections) {
      if (sectionName == s.name) known = &s;
    }
    if (!known) {
      *error = "unknown section '" + sectionName + "'";
      return false;
    }
    if (!entries.is_object()) {
      *error = "section '" + sectionName + "' is not an object";
      return false;
    }
    for (const auto& [name, body] : entries.items()) {
      const std::string where = sectionName + "." + name;
      if (!body.is_object()) {
        *error = "'" + where + "' is not an object";
        return false;
      }
      GUID id;
      if (known->section == Section::kPeers && !ParseGuid(name, &id)) {
        *error = "'" + where + "' is not a GUID";
        return false;
      }
      Answer answer;
      answer.reply = body;
      if (auto it = answer.reply.find("$status"); it != answer.reply.end()) {
        if (!ParseStatus(*it, &answer.status)) {
          *error = "'" + where + ".$status' is not a status code";
          return false;
        }
        answer.reply.erase(it);
      }
      QuonValueSet check;  // catch conversion errors now rather than at answer time
      std::string message;
      if (!JsonToTree(answer.reply, check, &message)) {
        *error = "'" + where + "': " + message;
        return false;
      }
      parsed[known->section][name] = std::move(answer);
    }
  }
  sections_ = std::move(parsed);
  units_ = std::move(units);
  return true;
}

const MachineProfile::Answer* MachineProfile::Find(Section section, std::string_view name) const {
  auto s = sections_.find(section);
  if (s == sections_.end()) return nullptr;
  auto it = s->second.find(name);
  return it == s->second.end() ? nullptr : &it->second;
}

void MachineProfile::SetAnswer(Section section, const std::string& name, Answer answer) {
  sections_[section][name] = std::move(answer);
}

std::vector<std::pair<GUID, MachineProfile::Answer>> MachineProfile::Peers() const {
  std::vector<std::pair<GUID, Answer>> peers;
  if (auto s = sections_.find(Section::kPeers); s != sections_.end()) {
    for (const auto& [name, answer] : s->second) {
      GUID id;
      if (ParseGuid(name, &id)) peers.emplace_back(id, answer);
    }
  }
  return peers;
}

HRESULT MachineProfile::Apply(const Answer& answer, QuonValueSet& reply) {
  JsonToTree(answer.reply, reply, nullptr);  // checked when the profile was parsed
  return answer.status;
}

MachineProfile DefaultMachineProfile() {
  MachineProfile profile;
  std::string error;
  profile.Parse(kDefaultProfileJson, &error);  // covered by a unit test

  // Firmware strings that Windows (and Wine, where the machine exposes them) keeps.
  const wchar_t* kBios = L"HARDWARE\\DESCRIPTION\\System\\BIOS";
  const std::string manufacturer = RegistryText(kBios, L"SystemManufacturer");
  if (!manufacturer.empty()) {
    profile.SetAnswer(MachineProfile::Section::kQuery, "Manufacturer",
                      {S_OK, Json{{"Manufacturer", manufacturer}}});
  }
  const std::string product = RegistryText(kBios, L"SystemProductName");
  if (const auto* model = profile.Find(MachineProfile::Section::kQuery, "ModelName");
      model && !product.empty()) {
    MachineProfile::Answer answer = *model;
    answer.reply["ModelName"] = product;
    profile.SetAnswer(MachineProfile::Section::kQuery, "ModelName", std::move(answer));
  }
  return profile;
}

bool LoadMachineProfile(const std::wstring& path, MachineProfile* profile, std::string* error) {
  CrtFile file(_wfopen(path.c_str(), L"rb"));
  if (!file) {
    *error = "cannot read the profile " + Utf16ToUtf8(AsU16Text(path.c_str()));
    return false;
  }
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, file.get())) > 0;) text.append(chunk, n);
  if (!profile->Parse(text, error)) {
    *error = "profile " + Utf16ToUtf8(AsU16Text(path.c_str())) + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace orbhost
