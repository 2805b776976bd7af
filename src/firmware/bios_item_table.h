// The process-wide table of firmware items (Win32-only), filled one group at
// a time on first use through the ACPI bridge and never emptied.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "firmware/bios_item.h"

// What a group load asks of the ACPI bridge: the group's element list, then
// one descriptor per element. Each returns the bridge call's result (0 for a
// failure) and follows the exports' buffer and length rules.
class BiosGroupSource {
 public:
  virtual ~BiosGroupSource() = default;
  virtual uint32_t FetchList(uint32_t group, uint8_t* buffer, uint32_t* length) = 0;
  virtual uint32_t FetchDescriptor(uint32_t methodId, uint8_t* buffer, uint32_t* length) = 0;
};

class BiosItemTable {
 public:
  // The process's table, created on first use and never destroyed.
  static BiosItemTable& Instance();

  // A table of its own (tests and benchmarks; production uses Instance()).
  BiosItemTable() = default;
  BiosItemTable(const BiosItemTable&) = delete;
  BiosItemTable& operator=(const BiosItemTable&) = delete;

  // The item with this group and index, loading the group first if the table
  // has not asked the bridge for it yet; null when there is none. The caller
  // must have initialised COM (a group load calls the bridge). The item lives
  // as long as the table. A group whose list cannot be fetched is recorded as
  // empty and not asked for again.
  BiosItem* FindItem(uint32_t group, uint32_t index);
  // The same, loading a group from `source` instead of the bridge.
  BiosItem* FindItem(uint32_t group, uint32_t index, BiosGroupSource& source);

  // The full ids loaded for a group, in list order (empty when not loaded).
  std::vector<uint32_t> GroupIds(uint32_t group);

 private:
  // Loads a group; the loaded item with that group and index, or null.
  BiosItem* LoadGroup(uint32_t group, uint32_t index, BiosGroupSource& source);

  // Guards both maps. FindItem holds it across a whole group load, the
  // out-of-process calls included, so that a group is fetched once even when
  // the resume watcher and a command ask for it at the same time, and nobody
  // sees a half-filled group. Item objects are complete before they enter the
  // map and never change or leave it, so callers use them without the lock;
  // their value reads and writes go to the bridge and touch no table state.
  std::mutex m_lock;
  std::map<uint32_t, std::unique_ptr<BiosItem>> m_items;  // by KeyOf(id)
  std::map<uint32_t, std::vector<uint32_t>> m_groups;     // group -> full ids
};
