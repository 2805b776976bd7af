// Where orbhost reports what the plug-in does besides answering: broadcasts,
// toasts, requests that reach a stand-in, event callbacks. One JSON object
// per event.
#pragma once

#include "output.h"
#include "value_json.h"

namespace orbhost {

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Emit(const Json& event) = 0;
  // The JSON form for value trees inside events.
  virtual JsonForm Form() const = 0;
};

// Each event as one whole JSON line.
class JsonLineEvents : public EventSink {
 public:
  JsonLineEvents(LineWriter& out, JsonForm form) : out_(out), form_(form) {}
  void Emit(const Json& event) override { out_.WriteJson(event); }
  JsonForm Form() const override { return form_; }

 private:
  LineWriter& out_;
  JsonForm form_;
};

}  // namespace orbhost
