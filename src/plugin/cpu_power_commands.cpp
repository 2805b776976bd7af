// The CPU power-saving commands of the plug-in (Win32-only). Every handler
// answers status 0: a missing item, an unknown vendor or a failed bridge call
// is logged and answered with the command's default.
#include <exception>
#include <string>

#include "firmware/bios_item.h"
#include "firmware/power_saving.h"
#include "plugin/pelorus.h"
#include "support/diag_log.h"

namespace {

using OrbValue = QuonValueSet::OrbValue;

std::u16string Command(const QuonValueSet* request) {
  return request != nullptr ? request->GetStringValue("command") : std::u16string();
}

}  // namespace

// One line to the host log (information) and to the diagnostic log.
void Pelorus::PowerLog(const char16_t* line) {
  Log(kOrbLogInfo, u"%s", line);
  dump_output_time(&SLog, "%ls", AsWide(line));
}

void Pelorus::PowerLogCommand(const char16_t* tag, const std::u16string& command) {
  const std::u16string line = std::u16string(tag) + u" command = " + command;
  PowerLog(line.c_str());
}

void Pelorus::PowerLogError(const char16_t* tag, const std::exception& e) {
  std::u16string line = std::u16string(tag) + u" error = ";
  for (const char* p = e.what(); *p != 0; ++p) line.push_back(static_cast<unsigned char>(*p));
  Log(kOrbLogError, u"%s", line);
  dump_output_time(&SLog, "%ls", AsWide(line));
}

HRESULT Pelorus::DoGetPowerSavingInfo(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  double power = -1.0;
  try {
    PowerLogCommand(u"[DoGetPowerSavingInfo]", Command(request));
    ComInitialization com;
    BiosItem* item = FindPowerItem(PowerItem::kInformation);
    uint32_t value = 0;
    if (item != nullptr && item->GetValue(&value)) {
      power = value / 10.0;
      if (power <= 0.0 || power >= 1000.0) power = 0.8;
    } else {
      PowerLog(u"[DoGetPowerSavingInfo] cannot get value");
    }
  } catch (const std::exception& e) {
    PowerLogError(u"[DoGetPowerSavingInfo]", e);
  }
  response->SetDoubleValue("cpu_power", power);
  return 0;
}

HRESULT Pelorus::DoGetPPTLimit(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  int32_t limit = 0;
  try {
    PowerLogCommand(u"[DoGetPptLimit]", Command(request));
    ComInitialization com;
    BiosItem* item = FindPowerItem(PowerItem::kLimit);
    uint32_t value = 0;
    if (item != nullptr && item->GetValue(&value)) {
      limit = static_cast<int32_t>(value);
    } else {
      PowerLog(u"[DoGetPptLimit] cannot get value");
    }
  } catch (const std::exception& e) {
    PowerLogError(u"[DoGetPptLimit]", e);
  }
  response->SetValue("ppt_limit", new OrbValue(limit));
  return 0;
}

HRESULT Pelorus::DoSetPPTLimit(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  try {
    const int32_t limit = request != nullptr ? request->GetIntValue("command") : 0;
    const std::u16string text = u"[DoSetPPTLimit] command = " + [&] {
      std::string digits = std::to_string(limit);
      return std::u16string(digits.begin(), digits.end());
    }();
    PowerLog(text.c_str());
    ComInitialization com;
    if (FindPowerItem(PowerItem::kLimit) != nullptr) {
      SetPPTLimitToInitialValue(static_cast<uint32_t>(limit));
    } else {
      PowerLog(u"[DoSetPPTLimit] cannot set value");
    }
  } catch (const std::exception& e) {
    PowerLogError(u"[DoSetPPTLimit]", e);
  }
  return 0;
}

HRESULT Pelorus::DoSaveCpuPowerSavingSettings(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  try {
    const std::u16string command = Command(request);
    PowerLogCommand(u"[DoSaveCpuPowerSavingSettings]", command);
    const bool known = command == u"ON" || command == u"OFF" || command == u"MANUAL";
    WritePowerSavingStatus(known ? AsWide(command) : L"OFF");
  } catch (const std::exception& e) {
    PowerLogError(u"[DoSaveCpuPowerSavingSettings]", e);
  }
  return 0;
}

HRESULT Pelorus::DoPowerSavingPPTCtrl(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  try {
    const std::u16string command = Command(request);
    PowerLogCommand(u"[DoPowerSavingPPTCtrl]", command);
    ComInitialization com;
    if (BiosItem* item = FindPowerItem(PowerItem::kStatus))
      item->SetValue(command == u"ON" ? 1 : 0);
  } catch (const std::exception& e) {
    PowerLogError(u"[DoPowerSavingPPTCtrl]", e);
  }
  return 0;
}

HRESULT Pelorus::DoGetBiosPPTFlag(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  int32_t flag = 1;
  try {
    PowerLogCommand(u"[DoGetBiosPPTFlag]", Command(request));
    ComInitialization com;
    BiosItem* item = FindPowerItem(PowerItem::kFirmwareFlag);
    uint32_t value = 0;
    if (item != nullptr && item->GetValue(&value)) {
      flag = static_cast<int32_t>(value);
    } else {
      PowerLog(u"[DoGetBiosPPTFlag] cannot get flag");
    }
  } catch (const std::exception& e) {
    PowerLogError(u"[DoGetBiosPPTFlag]", e);
  }
  response->SetValue("ppt_bios_flag", new OrbValue(flag));
  return 0;
}

HRESULT Pelorus::DoGetCpuFlag(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  int32_t flag = 0;
  try {
    PowerLogCommand(u"[DoGetCpuFlag]", Command(request));
    ComInitialization com;
    if (BiosItem* item = FindPowerItem(PowerItem::kStatus)) {
      flag = static_cast<int32_t>((item->GetAttributes() >> 30) & 1);
    } else {
      PowerLog(u"[DoGetCpuFlag] cannot get cpu flag");
    }
  } catch (const std::exception& e) {
    PowerLogError(u"[DoGetCpuFlag]", e);
  }
  response->SetValue("cpu_flag", new OrbValue(flag));
  return 0;
}

HRESULT Pelorus::DoGetCpuVendor(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  std::u16string vendor = u"UNKNOWN";
  try {
    PowerLogCommand(u"[DoGetCpuVendor]", Command(request));
    switch (GetCpuVendor()) {
      case CpuVendor::kAmd:
        vendor = u"AMD";
        break;
      case CpuVendor::kIntel:
        vendor = u"Intel";
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    PowerLogError(u"[DoGetCpuVendor]", e);
  }
  response->SetStringValue("cpu_vendor", vendor);
  return 0;
}
