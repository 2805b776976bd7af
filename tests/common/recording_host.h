// A minimal in-test host: installs the five callbacks on a plug-in and
// records everything the plug-in sends, broadcasts and logs. Portable, so the
// same recorder serves the native and the Windows tests.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"

struct RecordedLog {
  uint32_t level;
  std::u16string format;
  std::u16string text;  // formatted with the Windows C runtime's rules ("%s" is wide)
  const void* owner;    // the plug-in argument the line came with
};

struct RecordedMessage {
  GUID target{};  // sends only: the target argument
  std::vector<uint8_t> bytes;

  const uint8_t* header() const { return bytes.data(); }
  // Parses the body (after the 32-byte header) into a fresh set.
  bool Body(QuonValueSet* out) const {
    uint64_t length = bytes.size() > kOrbHeaderSize ? bytes.size() - kOrbHeaderSize : 0;
    if (length == 0) {
      out->Clear();
      return true;
    }
    return out->Deserialize(bytes.data() + kOrbHeaderSize, &length);
  }
};

// Formats a subset of the Windows C runtime's wide printf: %d %i %u %x %ls %s
// (wide) %hs (narrow) %%. Enough for the plug-in's host log formats.
inline std::u16string FormatHostLog(const OrbWChar* format, va_list args) {
  std::u16string out;
  for (const OrbWChar* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out += static_cast<char16_t>(*p);
      continue;
    }
    ++p;
    bool narrow = false;
    while (*p == u'l' || *p == u'h') {
      narrow = (*p == u'h');
      ++p;
    }
    std::string number;
    switch (*p) {
      case u'%':
        out += u'%';
        break;
      case u'd':
      case u'i':
        number = std::to_string(va_arg(args, int));
        break;
      case u'u':
        number = std::to_string(va_arg(args, unsigned));
        break;
      case u'x': {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "%x", va_arg(args, unsigned));
        number = buf;
        break;
      }
      case u's':
        if (narrow) {
          const char* s = va_arg(args, const char*);
          for (; s != nullptr && *s != 0; ++s) out += static_cast<char16_t>(*s);
        } else {
          const OrbWChar* s = va_arg(args, const OrbWChar*);
          for (; s != nullptr && *s != 0; ++s) out += static_cast<char16_t>(*s);
        }
        break;
      case 0:
        return out;
      default:
        out += u'%';
        out += static_cast<char16_t>(*p);
    }
    for (char c : number) out += static_cast<char16_t>(c);
  }
  return out;
}

class RecordingHost {
 public:
  using ReplyFn = std::function<HRESULT(const RecordedMessage&, QuonValueSet* reply)>;

  // Installs the five callbacks.
  void Attach(IOrbPlugin* plugin) {
    plugin->SetLogCallback(&RecordingHost::OnLog, this);
    plugin->SetSendCallback(&RecordingHost::OnSend, this);
    plugin->SetBroadcastCallback(&RecordingHost::OnBroadcast, this);
    plugin->SetGetDataCallback(&RecordingHost::OnGetData, this);
    plugin->SetSetDataCallback(&RecordingHost::OnSetData, this);
  }

  // Answers each send with the reply set the function fills (status returned as given).
  void SetReplier(ReplyFn fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replier = std::move(fn);
  }

  std::vector<RecordedLog> logs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logs;
  }
  std::vector<RecordedMessage> sends() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sends;
  }
  std::vector<RecordedMessage> broadcasts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_broadcasts;
  }
  bool HasLog(uint32_t level, const std::u16string& text) const {
    for (const RecordedLog& l : logs()) {
      if (l.level == level && l.text == text) return true;
    }
    return false;
  }

  // The log callback, for code that takes a (callback, context) pair of its own.
  static OrbLogCallback LogFunction() { return &RecordingHost::OnLog; }

  struct Stored {
    uint32_t tag;
    std::vector<uint8_t> bytes;
  };
  std::map<std::u16string, Stored> data;

 private:
  static void STDMETHODCALLTYPE OnLog(void* ctx, IOrbPlugin* owner, uint32_t level,
                                      const OrbWChar* format, ...) {
    auto* self = static_cast<RecordingHost*>(ctx);
    va_list args;
    va_start(args, format);
    RecordedLog entry{level, std::u16string(reinterpret_cast<const char16_t*>(format)),
                      FormatHostLog(format, args), owner};
    va_end(args);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_logs.push_back(std::move(entry));
  }

  static HRESULT STDMETHODCALLTYPE OnSend(void* ctx, IOrbPlugin*, const GUID* target,
                                          const uint8_t* message, uint64_t length, uint8_t** reply,
                                          uint64_t* replyLength) {
    auto* self = static_cast<RecordingHost*>(ctx);
    RecordedMessage m;
    m.target = *target;
    m.bytes.assign(message, message + length);
    ReplyFn replier;
    {
      std::lock_guard<std::mutex> lock(self->m_mutex);
      self->m_sends.push_back(m);
      replier = self->m_replier;
    }
    if (!replier) return S_OK;
    QuonValueSet answer;
    HRESULT status = replier(m, &answer);
    uint64_t size = answer.GetSerializedSize();
    if (size != 0) {
      *reply = static_cast<uint8_t*>(std::malloc(size));
      answer.Serialize(*reply, &size);
      *replyLength = size;
    }
    return status;
  }

  static HRESULT STDMETHODCALLTYPE OnBroadcast(void* ctx, IOrbPlugin*, const uint8_t* message,
                                               uint64_t length) {
    auto* self = static_cast<RecordingHost*>(ctx);
    RecordedMessage m;
    m.bytes.assign(message, message + length);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_broadcasts.push_back(std::move(m));
    return S_OK;
  }

  static HRESULT STDMETHODCALLTYPE OnGetData(void* ctx, IOrbPlugin*, const OrbWChar* name,
                                             uint32_t* tag, uint8_t* buffer, uint64_t* length) {
    auto* self = static_cast<RecordingHost*>(ctx);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    auto it = self->data.find(reinterpret_cast<const char16_t*>(name));
    if (it == self->data.end()) return ORB_E_NOT_AVAILABLE;
    if (buffer == nullptr || *length < it->second.bytes.size()) {
      *length = it->second.bytes.size();
      return ORB_E_BUFFER_TOO_SMALL;
    }
    *tag = it->second.tag;
    std::memcpy(buffer, it->second.bytes.data(), it->second.bytes.size());
    *length = it->second.bytes.size();
    return S_OK;
  }

  static HRESULT STDMETHODCALLTYPE OnSetData(void* ctx, IOrbPlugin*, const OrbWChar* name,
                                             uint32_t tag, const uint8_t* bytes, uint64_t length) {
    auto* self = static_cast<RecordingHost*>(ctx);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->data[reinterpret_cast<const char16_t*>(name)] = {
        tag, std::vector<uint8_t>(bytes, bytes + length)};
    return S_OK;
  }

  mutable std::mutex m_mutex;
  ReplyFn m_replier;
  std::vector<RecordedLog> m_logs;
  std::vector<RecordedMessage> m_sends;
  std::vector<RecordedMessage> m_broadcasts;
};

// Frames a request or notification the way a host delivers it.
inline std::vector<uint8_t> FrameMessage(uint8_t type, uint8_t source, const QuonValueSet& body) {
  std::vector<uint8_t> message(kOrbHeaderSize, 0);
  message[0] = type;
  message[1] = source;
  uint64_t size = body.GetSerializedSize();
  message.resize(kOrbHeaderSize + size);
  if (size != 0) body.Serialize(message.data() + kOrbHeaderSize, &size);
  return message;
}
