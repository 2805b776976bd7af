// The CPU-Z SDK's entry points as cpuidsdk64.dll hands them out: the export
// "QueryInterface" takes a 32-bit function identifier and returns the entry's
// address (null when the SDK lacks it). Shared by the plug-in's SDK wrapper
// and the stand-in SDK (companions/cpuidsdk), so both agree on identifiers
// and signatures. Every entry takes the instance handle first. Texts come
// back as narrow text inside a system string (BSTR made with
// SysAllocStringByteLen), which the caller frees with SysFreeString.
#pragma once

#include <cstdint>

namespace cpuid_sdk {

enum FunctionId : uint32_t {
  kCreateInstance = 0x10000001,
  kDestroyInstance = 0x10000002,
  kInit = 0x10000003,
  kClose = 0x10000004,
  kGetDllVersion = 0x10000005,
  kRefreshInformation = 0x10000006,
  kGetNumberOfDevices = 0x10000007,
  kGetDeviceClass = 0x10000008,
  kGetDeviceName = 0x10000009,
  kGetNumberOfSensors = 0x1000000A,
  kGetSensorInfo = 0x1000000B,
  kGetMemoryClockFrequency = 0x1000000C,
  kGetMemoryType = 0x1000000D,
  kGetSensorTypeValue = 0x1000000E,
};

using Instance = void*;
using SystemString = wchar_t*;  // a BSTR holding narrow bytes

using QueryInterfaceFn = void* (*)(uint32_t functionId);
using CreateInstanceFn = Instance (*)();
using DestroyInstanceFn = void (*)(Instance);
// Nonzero on success; otherwise *error (and *extended for a driver error).
using InitFn = int32_t (*)(Instance, const char* folder, const char* fileName, uint32_t flags,
                           int32_t* error, int32_t* extended);
using CloseFn = void (*)(Instance);
using GetDllVersionFn = int32_t (*)(Instance, int32_t* version);
using RefreshInformationFn = void (*)(Instance);
using GetNumberOfDevicesFn = int32_t (*)(Instance);
using GetDeviceClassFn = int32_t (*)(Instance, int32_t device);
using GetDeviceNameFn = SystemString (*)(Instance, int32_t device);
// sensorClass -1: every class.
using GetNumberOfSensorsFn = int32_t (*)(Instance, int32_t device, int32_t sensorClass);
using GetSensorInfoFn = int32_t (*)(Instance, int32_t device, int32_t sensor, int32_t sensorClass,
                                    int32_t* id, SystemString* name, int32_t* raw, float* value,
                                    float* minimum, float* maximum);
using GetMemoryClockFrequencyFn = float (*)(Instance);
using GetMemoryTypeFn = int32_t (*)(Instance);
using GetSensorTypeValueFn = float (*)(Instance, int32_t id, int32_t* first, int32_t* second);

// Error codes of InitFn.
inline constexpr int32_t kErrorDriver = 2;
inline constexpr int32_t kErrorVirtualMachine = 4;
inline constexpr int32_t kErrorSdkLocked = 8;

}  // namespace cpuid_sdk
