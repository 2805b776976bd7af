// The firmware item table (Win32-only); see bios_item_table.h.
#include "firmware/bios_item_table.h"

#include <algorithm>

#include "firmware/acpi_bridge.h"

namespace {

constexpr uint32_t kBlockSize = 4096;

// The bridge: one object for the whole group load, released when the load
// ends (also after a failed call).
class BridgeSource final : public BiosGroupSource {
 public:
  uint32_t FetchList(uint32_t group, uint8_t* buffer, uint32_t* length) override {
    return m_session.GGrp(group, buffer, length);
  }
  uint32_t FetchDescriptor(uint32_t methodId, uint8_t* buffer, uint32_t* length) override {
    return m_session.CallMethod(methodId, buffer, length);
  }

 private:
  AcpiBridgeSession m_session;
};

}  // namespace

BiosItemTable& BiosItemTable::Instance() {
  static BiosItemTable* table = new BiosItemTable();  // lives until the process ends
  return *table;
}

BiosItem* BiosItemTable::FindItem(uint32_t group, uint32_t index) {
  // Created before the lock is taken, but the bridge object only when a
  // group is actually loaded.
  BridgeSource source;
  return FindItem(group, index, source);
}

BiosItem* BiosItemTable::FindItem(uint32_t group, uint32_t index, BiosGroupSource& source) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_groups.find(group) == m_groups.end()) return LoadGroup(group, index, source);
  auto it = m_items.find((group << 24) | index);
  return it == m_items.end() ? nullptr : it->second.get();
}

std::vector<uint32_t> BiosItemTable::GroupIds(uint32_t group) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_groups.find(group);
  return it == m_groups.end() ? std::vector<uint32_t>() : it->second;
}

BiosItem* BiosItemTable::LoadGroup(uint32_t group, uint32_t index, BiosGroupSource& source) {
  std::vector<uint32_t>& ids = m_groups[group];  // recorded even when it stays empty
  std::vector<uint8_t> list(kBlockSize, 0);
  uint32_t listLength = kBlockSize;
  if (source.FetchList(group, list.data(), &listLength) == 0) return nullptr;
  const size_t listSize = listLength < kBlockSize ? listLength : kBlockSize;
  const uint32_t count = bios::ElementCount(list.data(), listSize);
  bios::ElementCursor cursor = bios::ElementCursor::First(list.data(), listSize);

  BiosItem* result = nullptr;
  std::vector<uint8_t> descriptor(kBlockSize, 0);
  for (uint32_t i = 0; i < count && cursor.Valid(); ++i, cursor.Advance()) {
    // A fresh zero-filled buffer per element: a fetch the server refuses
    // leaves no earlier descriptor behind. The first element always gives an
    // item (from the zero-filled buffer at full length when its fetch
    // fails); a later element whose fetch fails is skipped.
    std::fill(descriptor.begin(), descriptor.end(), uint8_t{0});
    uint32_t length = kBlockSize;
    if (source.FetchDescriptor(cursor.Number(), descriptor.data(), &length) == 0) {
      if (i != 0) continue;
      std::fill(descriptor.begin(), descriptor.end(), uint8_t{0});
      length = kBlockSize;
    }
    auto item = BiosItem::Create(descriptor.data(), length < kBlockSize ? length : kBlockSize);
    const uint32_t id = item->Id();
    // The first item of a key stays.
    BiosItem* stored = m_items.emplace(bios::KeyOf(id), std::move(item)).first->second.get();
    ids.push_back(id);
    if (bios::GroupOf(id) == group && bios::IndexOf(id) == index) result = stored;
  }
  return result;
}
