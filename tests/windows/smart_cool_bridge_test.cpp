// The smart-cooling bridge against the SmartCoolLib.dll companion placed in a
// scratch plug-in folder (ProgramFiles points there), and without it.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "../common/recording_host.h"
#include "firmware/smart_cool_bridge.h"
#include "machine_test_support.h"

namespace {

struct Line {
  uint32_t level;
  std::u16string text;
};
std::vector<Line> g_lines;
int g_context;

void STDMETHODCALLTYPE Collect(void* context, IOrbPlugin*, uint32_t level, const OrbWChar* format,
                               ...) {
  EXPECT_EQ(context, &g_context);
  va_list args;
  va_start(args, format);
  g_lines.push_back({level, FormatHostLog(format, args)});
  va_end(args);
}

class SmartCoolBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    AIControlHandler::SetLogSink(&Collect, &g_context, nullptr);
  }
  void TearDown() override { AIControlHandler::SetLogSink(nullptr, nullptr, nullptr); }

  bool Logged(uint32_t level, const std::wstring& text) const {
    for (const Line& line : g_lines) {
      if (line.level == level && line.text == ToU16(text)) return true;
    }
    return false;
  }
  std::wstring LibraryPath() const {
    return (m_scratch.path() / L"QUON\\CORVANE KIOSK Lite Service\\Pelorus\\SmartCoolLib.dll")
        .wstring();
  }

  wintest::ScratchFolder m_scratch;
  machine_test::ScopedEnvironment m_programFiles{L"ProgramFiles", m_scratch.path().wstring()};
};

TEST_F(SmartCoolBridgeTest, WithoutTheLibraryEveryEntryPointFailsAndLogsTheLoadError) {
  uint32_t item = 4242;
  EXPECT_FALSE(AIControlHandler::getItemSetting(1, &item));
  EXPECT_EQ(item, 4242u);
  EXPECT_FALSE(AIControlHandler::setItemSetting(1, &item));
  EXPECT_EQ(item, 4242u);
  EXPECT_FALSE(AIControlHandler::checkIsSupportAIFunction(1));

  const std::wstring tag = L"[Pelorus][AIControlHandler]";
  EXPECT_TRUE(Logged(5, tag + L"[getDllInstance], Dll Path: " + LibraryPath()));
  EXPECT_TRUE(Logged(5, tag + L"[getDllInstance], GetLastError=7e"));
  EXPECT_TRUE(Logged(4, tag + L"[initialize], Dll 'pLib' null or false, GetLastError=7e"));
  EXPECT_TRUE(Logged(4, tag + L"[initialize], function = initialize,  result = false"));
  EXPECT_TRUE(Logged(4, tag + L"[unInitialize], Dll 'pLib' false, GetLastError=7e"));
  EXPECT_TRUE(Logged(4, tag + L"[getItemSetting], initialize fail"));
  EXPECT_TRUE(Logged(4, tag + L"[getItemSetting], bResult = false, type = 1, item = 4242"));
  EXPECT_TRUE(Logged(4, tag + L"[checkIsSupportAIFunction], type = 1, bResult = false"));
  // A failed initialize skips the operation itself.
  for (const Line& line : g_lines) EXPECT_EQ(line.text.find(u"[getItem]"), std::u16string::npos);
}

TEST_F(SmartCoolBridgeTest, StateCarriesOverAndEachInitializeKeepsOneReference) {
  m_scratch.Place(PELORUS_SMART_COOL_LIB, L"SmartCoolLib.dll",
                  L"QUON\\CORVANE KIOSK Lite Service\\Pelorus");
  EXPECT_TRUE(AIControlHandler::checkIsSupportAIFunction(1));
  EXPECT_FALSE(AIControlHandler::checkIsSupportAIFunction(9));
  uint32_t item = 2;
  EXPECT_TRUE(AIControlHandler::setItemSetting(1, &item));
  item = 7;  // out of range for type 1: refused, the stored value stays
  EXPECT_FALSE(AIControlHandler::setItemSetting(1, &item));
  item = 4242;
  EXPECT_TRUE(AIControlHandler::getItemSetting(1, &item));
  EXPECT_EQ(item, 2u);
  EXPECT_TRUE(Logged(4,
                     L"[Pelorus][AIControlHandler][getItemSetting], bResult = true, type = 1, "
                     L"item = 2"));

  // Five initialize calls so far, each holding one reference.
  HMODULE module = GetModuleHandleW(LibraryPath().c_str());
  ASSERT_NE(module, nullptr);
  for (int i = 0; i < 4; ++i) FreeLibrary(module);
  EXPECT_EQ(GetModuleHandleW(LibraryPath().c_str()), module);
  FreeLibrary(module);
  EXPECT_EQ(GetModuleHandleW(LibraryPath().c_str()), nullptr);
}

}  // namespace
