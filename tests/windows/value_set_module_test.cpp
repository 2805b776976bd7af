// Value trees cross module boundaries: a host fills sets the plug-in reads,
// and the plug-in fills nodes a host created and destroys. Each module has its
// own copy of the value tree's code (and of its arena); here one module builds
// and the other reads and destroys, and the C runtime heap stays sound.
#include <gtest/gtest.h>

#include <malloc.h>

#include <vector>

#include "helpers/value_set_module.h"
#include "support/win32.h"

namespace {

std::vector<uint8_t> Wire(const QuonValueSet& set) {
  uint64_t size = set.GetSerializedSize();
  std::vector<uint8_t> wire(size);
  EXPECT_TRUE(set.Serialize(wire.data(), &size));
  return wire;
}

template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

TEST(ValueSetAcrossModules, EachModuleDestroysWhatTheOtherBuilt) {
  // The module's values run its code when destroyed: it stays loaded until
  // every tree is gone.
  HMODULE module = LoadLibraryW(L"value_set_module.dll");
  ASSERT_NE(module, nullptr);
  const auto fillInto = Export<PFN_FillInto>(module, "FillInto");
  const auto newParsed = Export<PFN_NewParsed>(module, "NewParsed");
  ASSERT_TRUE(fillInto != nullptr && newParsed != nullptr);

  // The module fills a node this program created, and this program destroys it.
  QuonValueSet expected;
  expected.SetStringValue("Cmd", u"GetOPLandingPageInfo");
  FillRecords(*expected.CreateChild("Temperatue"));
  auto* response = new QuonValueSet();
  response->SetStringValue("Cmd", u"GetOPLandingPageInfo");
  QuonValueSet* node = response->CreateChild("Temperatue");
  fillInto(node);
  EXPECT_EQ(Wire(*response), Wire(expected));
  node->SetUIntValue("Count", 30);  // this program adds to the module's entries
  delete response;

  // The module parses and fills a tree; this program replaces a part and destroys it.
  QuonValueSet source;
  FillRecords(*source.CreateChild("Parsed"));
  const std::vector<uint8_t> wire = Wire(source);
  QuonValueSet* tree = newParsed(wire.data(), wire.size());
  ASSERT_NE(tree, nullptr);
  EXPECT_TRUE(ValueSetsEqual(*tree->GetChild("Parsed"), *source.GetChild("Parsed")));
  EXPECT_EQ(tree->Count(), 32u);  // Parsed, Blob and Record00..29
  tree->CreateChild("Parsed");    // replaces (destroys) the module's parsed child here
  delete tree;

  EXPECT_EQ(_heapchk(), _HEAPOK);
  FreeLibrary(module);
}

}  // namespace
