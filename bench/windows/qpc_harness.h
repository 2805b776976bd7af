// The timing harness of the programs under Wine (Win32-only): median times
// per call, over several runs, measured with QueryPerformanceCounter.
#pragma once

#include "support/win32.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"
#include "../framed_request.h"

namespace qpc {

constexpr int kRuns = 5;

inline double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Microseconds per OnMessage call over `calls` calls of one framed request,
// each reply released with free as a host releases it.
inline double MicrosecondsPerMessage(IOrbPlugin* plugin, const std::vector<uint8_t>& message,
                                     int calls) {
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceCounter(&start);
  for (int i = 0; i < calls; ++i) {
    uint8_t* reply = nullptr;
    uint64_t length = 0;
    plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()), &reply,
                      &length);
    std::free(reply);
  }
  QueryPerformanceCounter(&end);
  return Seconds(start, end) * 1e6 / calls;
}

// Median times per call in microseconds of two operations over kRuns runs
// of `count` calls each; the order alternates between runs, so neither
// always meets a cold cache or disk first.
inline std::pair<double, double> MicrosecondsPerCall(int count,
                                                     const std::function<void(int)>& first,
                                                     const std::function<void(int)>& second) {
  std::vector<double> a;
  std::vector<double> b;
  auto time = [count](const std::function<void(int)>& call) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) call(i);
    QueryPerformanceCounter(&end);
    return Seconds(start, end) * 1e6 / count;
  };
  for (int run = 0; run < kRuns; ++run) {
    if (run % 2 == 0) {
      a.push_back(time(first));
      b.push_back(time(second));
    } else {
      b.push_back(time(second));
      a.push_back(time(first));
    }
  }
  return {Median(std::move(a)), Median(std::move(b))};
}

}  // namespace qpc
