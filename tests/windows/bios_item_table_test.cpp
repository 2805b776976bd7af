// The firmware item table and item objects against the bridge stand-in: one
// fetch per group, keys shared by ids that differ only in kind, conversions
// through the item classes, Composited items that never reach the bridge.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "acpi_bridge_fixture.h"
#include "firmware/acpi_bridge.h"
#include "firmware/bios_item_table.h"
#include "support/platform_seams.h"

namespace {

using acpi_test::ScopedFirmware;

constexpr char kProfile[] = R"({
  "Groups": {
    "20": [
      {"Id": "0x14000001", "Minimum": 5, "Step": "0xFF000001", "Positions": 10},
      {"Id": "0x14020002", "Minimum": 1000, "Step": 250, "Positions": 9, "ExtraStrings": ["Auto"]},
      {"Id": "0x140D0003", "Minimum": 0, "Step": 1, "Positions": 4, "Value": 2},
      {"Id": "0x14070004", "Attributes": "0x40000000", "Value": 1},
      {"Id": "0x14170004", "Attributes": 0},
      {"Id": "0x14080005", "Strings": ["Silent", "Turbo"], "Value": 1},
      {"Id": "0x14000006", "Elements": ["0x14000006", 0]},
      {"Id": "0x14800007", "Minimum": 0, "Step": 1, "Positions": 2}
    ]
  }
})";

std::vector<std::string>& Boxes() {
  static std::vector<std::string> boxes;
  return boxes;
}
int WINAPI CaptureBox(HWND, LPCSTR text, LPCSTR caption, UINT) {
  Boxes().push_back(std::string(caption) + ": " + text);
  return IDOK;
}

class BiosItemTableTest : public ::testing::Test {
 protected:
  BiosItemTableTest() { Boxes().clear(); }
  ComInitialization m_com;
  ScopedFirmware m_firmware{kProfile};
  ScopedSeam<decltype(PlatformSeams::messageBoxA)> m_boxes{&PlatformSeams::messageBoxA,
                                                           &CaptureBox};
  BiosItemTable m_table;
};

TEST_F(BiosItemTableTest, GroupLoadsOnceAndFirstItemOfAKeyStays) {
  BiosItem* boolean = m_table.FindItem(20, 4);
  ASSERT_NE(boolean, nullptr);
  EXPECT_EQ(boolean->Id(), 0x14070004u);  // 0x14170004 shares its key and came later
  EXPECT_EQ(boolean->GetAttributes(), 0x40000000u);
  EXPECT_EQ(m_table.GroupIds(20),
            (std::vector<uint32_t>{0x14000001, 0x14020002, 0x140D0003, 0x14070004, 0x14170004,
                                   0x14080005, 0, 0x14800007}));
  // A descriptor of fewer than 3 elements gives an unparsed item (id 0).
  EXPECT_EQ(m_table.FindItem(20, 6), nullptr);
  ASSERT_NE(m_table.FindItem(20, 7), nullptr);
  EXPECT_TRUE(m_table.FindItem(20, 7)->IsSubtype8());
  EXPECT_FALSE(boolean->IsSubtype8());

  // Loaded once: a firmware that no longer lists the group changes nothing.
  ScopedFirmware emptied(R"({"Groups": {}})");
  EXPECT_EQ(m_table.FindItem(20, 4), boolean);
  EXPECT_EQ(m_table.FindItem(20, 99), nullptr);
}

TEST_F(BiosItemTableTest, GroupThatCannotBeFetchedStaysEmpty) {
  {
    acpi_test::ScopedBridgeMissing missing;
    EXPECT_EQ(m_table.FindItem(20, 1), nullptr);
  }
  EXPECT_EQ(m_table.FindItem(20, 1), nullptr);  // not asked again
  EXPECT_TRUE(m_table.GroupIds(20).empty());
}

// The bridge, except that the descriptor fetches of the chosen elements fail.
class FailingDescriptors final : public BiosGroupSource {
 public:
  explicit FailingDescriptors(std::vector<uint32_t> failing) : m_failing(std::move(failing)) {}
  uint32_t FetchList(uint32_t group, uint8_t* buffer, uint32_t* length) override {
    return AcpiGGrp(group, buffer, length);
  }
  uint32_t FetchDescriptor(uint32_t methodId, uint8_t* buffer, uint32_t* length) override {
    if (std::find(m_failing.begin(), m_failing.end(), methodId) != m_failing.end()) {
      *length = 3;  // what a failed call leaves must not matter
      return 0;
    }
    return AcpiCallMethod(&methodId, buffer, length);
  }

 private:
  std::vector<uint32_t> m_failing;
};

TEST_F(BiosItemTableTest, FailedFirstDescriptorStillGivesAnItemLaterOnesAreSkipped) {
  FailingDescriptors source({0x14000001, 0x140D0003});
  EXPECT_NE(m_table.FindItem(20, 2, source), nullptr);
  EXPECT_EQ(m_table.GroupIds(20), (std::vector<uint32_t>{0, 0x14020002, 0x14070004, 0x14170004,
                                                         0x14080005, 0, 0x14800007}));
  EXPECT_EQ(m_table.FindItem(20, 1), nullptr);
  EXPECT_EQ(m_table.FindItem(20, 3), nullptr);
}

TEST_F(BiosItemTableTest, ValuesGoToTheBridgeExceptForCompositedItems) {
  BiosItem* number = m_table.FindItem(20, 1);
  ASSERT_NE(number, nullptr);
  EXPECT_TRUE(number->SetValue(7));
  uint32_t value = 0;
  EXPECT_TRUE(number->GetValue(&value));
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(number->WriteRaw(3, 1), 1u);
  EXPECT_EQ(ScopedFirmware::Stored(0x14000001), 3);

  BiosItem* composited = m_table.FindItem(20, 3);
  ASSERT_NE(composited, nullptr);
  value = 0xDEADBEEF;
  EXPECT_FALSE(composited->SetValue(1));
  EXPECT_FALSE(composited->GetValue(&value));
  EXPECT_EQ(composited->WriteRaw(1, 1), 0xFFFFFFFFu);
  EXPECT_EQ(value, 0xDEADBEEFu);
  EXPECT_EQ(ScopedFirmware::Stored(0x140D0003), -1);
  // The bridge itself would have answered.
  EXPECT_EQ(AcpiGetItem(0x140D0003, &value), 1u);
}

TEST_F(BiosItemTableTest, ConversionsThroughTheItems) {
  BiosItem* tenths = m_table.FindItem(20, 1);
  ASSERT_NE(tenths, nullptr);
  EXPECT_EQ(tenths->GetChoiceCount(), 10u);
  EXPECT_DOUBLE_EQ(tenths->IndexToValue(3), 5.3);
  EXPECT_EQ(tenths->IndexToString(3), L"5.3");

  BiosItem* volts = m_table.FindItem(20, 2);
  ASSERT_NE(volts, nullptr);
  EXPECT_EQ(volts->GetChoiceCount(), 10u);  // nine positions and one extra string
  EXPECT_EQ(volts->IndexToString(0), L"Auto");
  EXPECT_EQ(volts->IndexToString(2), L"1.25");
  uint32_t numerator = 0xDEADBEEF, denominator = 0xDEADBEEF;
  volts->IndexToRational(2, &numerator, &denominator);
  EXPECT_EQ(numerator, 1250u);
  EXPECT_EQ(denominator, 1000u);
  volts->IndexToRational(0, &numerator, &denominator);  // the extra string: unchanged
  EXPECT_EQ(numerator, 1250u);
  EXPECT_EQ(volts->IndexToValue(0), 0.0);

  BiosItem* strings = m_table.FindItem(20, 5);
  ASSERT_NE(strings, nullptr);
  EXPECT_EQ(strings->GetChoiceCount(), 2u);
  EXPECT_EQ(strings->IndexToString(1), L"Turbo");
  EXPECT_EQ(strings->IndexToString(2), L"");
  EXPECT_EQ(strings->IndexToValue(1), 0.0);

  ASSERT_NE(m_table.FindItem(20, 4), nullptr);
  EXPECT_EQ(m_table.FindItem(20, 4)->IndexToString(0), L"");
  EXPECT_EQ(Boxes(), (std::vector<std::string>{
                         "IndexToRational Fail: Can not convert extra string to value",
                         "IndexToValue Fail: Can not convert extra string to value",
                         "BiosItem: Item[14080005] does not supports IndexToValue",
                         "BiosItem: Item[14070004] does not supports IndexToString",
                     }));
}

}  // namespace
