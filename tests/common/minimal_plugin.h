// A plug-in on the portable base with the plug-in's identity and the fixed
// results of its reserved operations: the starting point for benchmark and
// fuzz harnesses that register their own commands.
#pragma once

#include "frame/base_orb_plugin.h"

class MinimalPlugin : public BaseOrbPlugin {
 public:
  explicit MinimalPlugin(uint32_t inUserSession = 0)
      : BaseOrbPlugin(u"Pelorus", CLSID_PelorusPlugin, GUID_OrbFramework, u"Pelorus", {5, 9, 9, 0},
                      inUserSession) {}

  HRESULT STDMETHODCALLTYPE Initialize() override { return 0; }
  HRESULT STDMETHODCALLTYPE Uninitialize() override { return 0; }
  uint32_t STDMETHODCALLTYPE ReservedQuery1() override { return 0; }
  uint32_t STDMETHODCALLTYPE ReservedQuery2() override { return 0; }
  void STDMETHODCALLTYPE ReservedNotice() override {}
  uint32_t STDMETHODCALLTYPE ReservedQuery3() override { return 1; }
  uint32_t STDMETHODCALLTYPE ReservedQuery4() override { return 1; }
  uint32_t STDMETHODCALLTYPE ReservedQuery5() override { return 255; }
  uint32_t STDMETHODCALLTYPE ReservedQuery6() override { return 1; }
};
