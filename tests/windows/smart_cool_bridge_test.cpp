// The smart-cooling bridge against the SmartCoolLib.dll companion placed in a
// scratch plug-in folder (ProgramFiles points there), and without it.
#include <gtest/gtest.h>

#include <string>

#include "firmware/smart_cool_bridge.h"
#include "hwinfo_machine.h"

namespace {

class SmartCoolBridgeTest : public ::testing::Test {
 protected:
  SmartCoolBridgeTest() {
    AIControlHandler::SetLogSink(RecordingHost::LogFunction(), &m_host, nullptr);
  }
  ~SmartCoolBridgeTest() override { AIControlHandler::SetLogSink(nullptr, nullptr, nullptr); }

  std::wstring LibraryPath() const {
    return (m_machine.root() / L"QUON\\CORVANE KIOSK Lite Service\\Pelorus\\SmartCoolLib.dll")
        .wstring();
  }

  HwMachine m_machine;
  RecordingHost m_host;
};

TEST_F(SmartCoolBridgeTest, WithoutTheLibraryEveryEntryPointFailsAndLogsTheLoadError) {
  uint32_t item = 4242;
  EXPECT_FALSE(AIControlHandler::getItemSetting(1, &item));
  EXPECT_EQ(item, 4242u);
  EXPECT_FALSE(AIControlHandler::setItemSetting(1, &item));
  EXPECT_EQ(item, 4242u);
  EXPECT_FALSE(AIControlHandler::checkIsSupportAIFunction(1));

  const std::wstring tag = L"[Pelorus][AIControlHandler]";
  for (const auto& [level, text] : std::initializer_list<std::pair<uint32_t, std::wstring>>{
           {5, tag + L"[getDllInstance], Dll Path: " + LibraryPath()},
           {5, tag + L"[getDllInstance], GetLastError=7e"},
           {4, tag + L"[initialize], Dll 'pLib' null or false, GetLastError=7e"},
           {4, tag + L"[initialize], function = initialize,  result = false"},
           {4, tag + L"[unInitialize], Dll 'pLib' false, GetLastError=7e"},
           {4, tag + L"[getItemSetting], initialize fail"},
           {4, tag + L"[getItemSetting], bResult = false, type = 1, item = 4242"},
           {4, tag + L"[checkIsSupportAIFunction], type = 1, bResult = false"}}) {
    EXPECT_TRUE(m_host.HasLog(level, ToU16(text))) << std::string(text.begin(), text.end());
  }
  // A failed initialize skips the operation itself.
  for (const RecordedLog& line : m_host.logs())
    EXPECT_EQ(line.text.find(u"[getItem]"), std::u16string::npos);
}

TEST_F(SmartCoolBridgeTest, StateCarriesOverBetweenCalls) {
  std::filesystem::copy_file(PELORUS_SMART_COOL_LIB, LibraryPath());
  EXPECT_TRUE(AIControlHandler::checkIsSupportAIFunction(1));
  EXPECT_FALSE(AIControlHandler::checkIsSupportAIFunction(9));
  uint32_t item = 2;
  EXPECT_TRUE(AIControlHandler::setItemSetting(1, &item));
  item = 7;  // out of range for type 1: refused, the stored value stays
  EXPECT_FALSE(AIControlHandler::setItemSetting(1, &item));
  item = 4242;
  EXPECT_TRUE(AIControlHandler::getItemSetting(1, &item));
  EXPECT_EQ(item, 2u);
  EXPECT_TRUE(m_host.HasLog(
      4, u"[Pelorus][AIControlHandler][getItemSetting], bResult = true, type = 1, item = 2"));
}

}  // namespace
