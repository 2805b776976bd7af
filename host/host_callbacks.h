// Win32-only: the five host callbacks and the five event callbacks that
// orbhost hands to the plug-in, with the shared-data store behind the
// get/set-data pair. Every callback is thread-safe and re-entrant: the send
// callback may call back into the plug-in, and the plug-in's own threads call
// in while a command runs. Nothing throws out of a callback.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelorus/orb_plugin.h"

namespace orbhost {

class EventSink;
class LogSink;
class MessageRouter;

// Named data with a tag, kept in memory. Get follows the size-query rule.
class SharedDataStore {
 public:
  HRESULT Set(const char16_t* name, uint32_t tag, const uint8_t* data, uint64_t length);
  HRESULT Get(const char16_t* name, uint32_t* tag, uint8_t* buffer, uint64_t* length) const;

 private:
  struct Entry {
    uint32_t tag;
    std::vector<uint8_t> bytes;
  };
  mutable std::mutex mutex_;
  std::map<std::u16string, Entry> entries_;
};

// What the callbacks reach; must outlive the plug-in's use of the callbacks.
struct HostServices {
  LogSink* log;
  EventSink* events;
  MessageRouter* router;
  SharedDataStore* data;
};

void InstallCallbacks(IOrbPlugin* plugin, HostServices* services);
// Clears all five callbacks, so nothing calls into orbhost after shutdown.
void RemoveCallbacks(IOrbPlugin* plugin);
void InstallEventCallbacks(IOrbEventHandlerEx1* handler, HostServices* services);

// The callbacks themselves, exposed for tests that call them directly.
void STDMETHODCALLTYPE HostLog(void* context, IOrbPlugin* plugin, uint32_t level,
                               const OrbWChar* format, ...);
HRESULT STDMETHODCALLTYPE HostSend(void* context, IOrbPlugin* plugin, const GUID* target,
                                   const uint8_t* message, uint64_t length, uint8_t** reply,
                                   uint64_t* replyLength);
HRESULT STDMETHODCALLTYPE HostBroadcast(void* context, IOrbPlugin* plugin, const uint8_t* message,
                                        uint64_t length);
HRESULT STDMETHODCALLTYPE HostGetData(void* context, IOrbPlugin* plugin, const OrbWChar* name,
                                      uint32_t* tag, uint8_t* buffer, uint64_t* length);
HRESULT STDMETHODCALLTYPE HostSetData(void* context, IOrbPlugin* plugin, const OrbWChar* name,
                                      uint32_t tag, const uint8_t* data, uint64_t length);

}  // namespace orbhost
