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

class ValueSetAcrossModules : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(L"value_set_module.dll");
    ASSERT_NE(module_, nullptr);
    fillInto_ = reinterpret_cast<PFN_FillInto>(
        reinterpret_cast<void*>(GetProcAddress(module_, "FillInto")));
    newParsed_ = reinterpret_cast<PFN_NewParsed>(
        reinterpret_cast<void*>(GetProcAddress(module_, "NewParsed")));
    ASSERT_NE(fillInto_, nullptr);
    ASSERT_NE(newParsed_, nullptr);
  }
  // The module's values run its code when destroyed: it stays loaded until
  // every tree is gone.
  void TearDown() override {
    EXPECT_EQ(_heapchk(), _HEAPOK);
    if (module_ != nullptr) FreeLibrary(module_);
  }

  HMODULE module_ = nullptr;
  PFN_FillInto fillInto_ = nullptr;
  PFN_NewParsed newParsed_ = nullptr;
};

TEST_F(ValueSetAcrossModules, ModuleFillsANodeThisProgramCreatedAndDestroys) {
  QuonValueSet expected;
  expected.SetStringValue("Cmd", u"GetOPLandingPageInfo");
  FillRecords(*expected.CreateChild("Temperatue"));

  auto* response = new QuonValueSet();
  response->SetStringValue("Cmd", u"GetOPLandingPageInfo");
  QuonValueSet* node = response->CreateChild("Temperatue");
  fillInto_(node);
  EXPECT_EQ(Wire(*response), Wire(expected));
  EXPECT_EQ(node->GetChild("Record29")->GetUIntValue("AKeyLongerThanFifteenBytes"), 29u);
  node->SetUIntValue("Count", 30);  // this program adds to the module's entries
  delete response;
}

TEST_F(ValueSetAcrossModules, ThisProgramDestroysATreeTheModuleParsedAndFilled) {
  QuonValueSet source;
  FillRecords(*source.CreateChild("Parsed"));
  const std::vector<uint8_t> wire = Wire(source);

  QuonValueSet* tree = newParsed_(wire.data(), wire.size());
  ASSERT_NE(tree, nullptr);
  EXPECT_TRUE(ValueSetsEqual(*tree->GetChild("Parsed"), *source.GetChild("Parsed")));
  EXPECT_EQ(tree->Count(), 32u);  // Parsed, Blob and Record00..29
  tree->CreateChild("Parsed");    // replaces (destroys) the module's parsed child here
  delete tree;
}

}  // namespace
