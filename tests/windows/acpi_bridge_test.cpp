// The ACPI bridge exports against the out-of-process stand-in server: the
// argument packings as the server sees them, the copy back of byte blocks
// and its bounds, and a machine without the bridge.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include <wrl/client.h>

#include "acpi_bridge_fixture.h"
#include "firmware/acpi_bridge.h"
#include "firmware/bios_descriptor.h"

namespace {

using acpi_test::ScopedFirmware;

constexpr uint32_t kPptItem = 0x0B000061;  // a Number item of the built-in profile
constexpr uint32_t kSentinel = 0xDEADBEEF;

class AcpiBridge : public ::testing::Test {
 protected:
  ComInitialization m_com;
  ScopedFirmware m_firmware;
};

TEST_F(AcpiBridge, ItemWrittenByOneCallIsReadByTheNext) {
  EXPECT_EQ(AcpiInit(), 1u);
  EXPECT_EQ(AcpiSetItem(kPptItem, 88, 1), 1u);
  uint32_t value = kSentinel;
  EXPECT_EQ(AcpiGetItem(kPptItem, &value), 1u);
  EXPECT_EQ(value, 88u);
  // Mode 0 only checks; the stand-in refuses values outside the item's choices.
  EXPECT_EQ(AcpiSetItem(kPptItem, 95, 0), 1u);
  EXPECT_EQ(AcpiSetItem(kPptItem, 100000, 1), 0u);
  EXPECT_EQ(ScopedFirmware::Stored(kPptItem), 88);
  // A failed read returns 0 and leaves the value.
  EXPECT_EQ(AcpiGetItem(0x0B00FFFF, &value), 0u);
  EXPECT_EQ(value, 88u);

  // The two inputs of the extended read arrive in order: an unknown item
  // answers the second one.
  EXPECT_EQ(AcpiGetItemEx(kPptItem, 7, &value), 1u);
  EXPECT_EQ(value, 88u);
  EXPECT_EQ(AcpiGetItemEx(0x0B00FFFF, 7, &value), 1u);
  EXPECT_EQ(value, 7u);
}

// (The group lists and descriptors as the item table reads them:
// bios_item_table_test.cpp; the mainboard block: FanPilotSupport.)
TEST_F(AcpiBridge, DescriptorBlockComesBackShortened) {
  uint32_t methodId = kPptItem;
  std::vector<uint8_t> descriptor(4096, 0);
  uint32_t length = 4096;
  ASSERT_EQ(AcpiCallMethod(&methodId, descriptor.data(), &length), 1u);
  EXPECT_EQ(methodId, kPptItem);  // read through the pointer, never written
  EXPECT_EQ(bios::ElementNumber(descriptor.data(), length, 0), kPptItem);
  EXPECT_LT(length, 4096u);
}

TEST_F(AcpiBridge, EmptyGroupRequestStillCarriesItsTag) {
  std::array<uint8_t, 4> buffer = {0x00, 0x77, 0x77, 0x77};
  uint32_t length = 0;
  EXPECT_EQ(AcpiGGrp(11, buffer.data(), &length), 1u);
  EXPECT_EQ(buffer, (std::array<uint8_t, 4>{0xE1, 0x77, 0x77, 0x77}));
  EXPECT_EQ(length, 0u);
}

// The stand-in's buffer operations (selector = second argument; the first is
// ignored): what the caller's eight bytes read afterwards.
TEST_F(AcpiBridge, CopyBackFollowsTheLengthAndTheArrayLeft) {
  const std::vector<uint8_t> sent = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<uint8_t> inverted = {0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8, 0xF7};
  struct Case {
    uint32_t selector;
    std::vector<uint8_t> expected;
    uint32_t length;
  } cases[] = {
      {0, sent, 8},                                   // echo
      {1, inverted, 8},                               // changed in place
      {2, {0xFE, 0xFD, 0xFC, 0xFB, 5, 6, 7, 8}, 4},   // length shortened
      {3, {0x5A, 0x5A, 0x5A, 0x5A, 5, 6, 7, 8}, 16},  // new, shorter array claiming more
      {4, sent, 8},                                   // the method fails
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    std::vector<uint8_t> buffer = sent;
    buffer.push_back(0x99);  // beyond the length passed: never written
    uint32_t length = 8;
    EXPECT_EQ(AcpiSetItemBuffer(kSentinel, c.selector, buffer.data(), &length), 1u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 8), c.expected);
    EXPECT_EQ(buffer[8], 0x99);
    EXPECT_EQ(length, c.length);
  }
}

TEST_F(AcpiBridge, WithoutTheBridgeEveryExportFailsAndTouchesNothing) {
  acpi_test::ScopedBridgeMissing missing;
  uint32_t value = kSentinel;
  std::array<uint8_t, 8> buffer{};
  buffer.fill(0x33);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  uint32_t methodId = kPptItem;
  EXPECT_EQ(AcpiInit(), 0u);
  EXPECT_EQ(AcpiGetItem(kPptItem, &value), 0u);
  EXPECT_EQ(AcpiGetItemEx(kPptItem, 1, &value), 0u);
  EXPECT_EQ(AcpiSetItem(kPptItem, 1, 1), 0u);
  EXPECT_EQ(AcpiSetItemBuffer(0, 0, buffer.data(), &length), 0u);
  EXPECT_EQ(AcpiMbif(buffer.data(), &length), 0u);
  EXPECT_EQ(AcpiGGrp(11, buffer.data(), &length), 0u);
  EXPECT_EQ(AcpiCallMethod(&methodId, buffer.data(), &length), 0u);
  EXPECT_EQ(value, kSentinel);
  EXPECT_EQ(length, buffer.size());
  for (uint8_t b : buffer) EXPECT_EQ(b, 0x33);
}

TEST(AcpiBridgeThread, ThreadWithoutComFails) {
  uint32_t value = kSentinel;
  EXPECT_EQ(AcpiGetItem(kPptItem, &value), 0u);
  EXPECT_EQ(value, kSentinel);
}

// (Arguments reaching the server in order: AcpiGetItemEx above.)
TEST_F(AcpiBridge, AutomationInvokePassesFailuresThrough) {
  UniqueVariant result;
  EXPECT_EQ(AutomationInvoke(DISPATCH_METHOD, result.get(), nullptr, L"iAcpiInit", 0), E_FAIL);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(L"hwbridgeCom.hbdata", &clsid), S_OK);
  Microsoft::WRL::ComPtr<IDispatch> bridge;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(bridge.GetAddressOf())),
            S_OK);
  EXPECT_EQ(AutomationInvoke(DISPATCH_METHOD, result.get(), bridge.Get(), L"iNoSuchMethod", 0),
            DISP_E_UNKNOWNNAME);
}

}  // namespace
