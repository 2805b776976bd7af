// The diagnostic log's naming rules: slots from the index file, the pattern
// that picks a slot's earlier file, rotated names, and the log name taken
// from the executable path and the command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/log_rotation.h"

namespace {

constexpr int32_t kSlots = 7;

// A text in and the text expected out.
struct TextCase {
  std::u16string in;
  std::u16string out;
};

TEST(LogRotation, SlotFollowsTheIndexContent) {
  struct Case {
    const char* index;
    int32_t slot;
  };
  const Case cases[] = {
      {"6", 7},
      {"7", 1},
      {"abc", 1},
      {" +3x", 4},
      // Signed arithmetic: a negative remainder stays negative.
      {"-5", -4},
      // The largest value wraps to the smallest, whose remainder is 0.
      {"2147483647", 1},
      {"99999999999999999999", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NextLogSlot(c.index, kSlots), c.slot) << "index \"" << c.index << "\"";
  }
}

TEST(LogRotation, OnlyCompleteNamesOfTheSlotAreChosen) {
  const std::vector<std::string> names = {
      "orbhost_03_20240601120000.log",      // the slot's file
      "orbhost_03_202406011200001.log",     // 15 digits
      "orbhost_03_20240601120000.log.bak",  // more after ".log"
      "xorbhost_03_20240601120000.log",     // more before the name
      "orbhost_04_20240601120000.log",      // another slot
      "orbhost_3_20240601120000.log",       // slot not two digits
      "orbhost_03_19990101000000.log",      // an older start in the same slot
  };
  EXPECT_EQ(
      FilesOfSlot("orbhost", 3, names),
      (std::vector<std::string>{"orbhost_03_20240601120000.log", "orbhost_03_19990101000000.log"}));
}

TEST(LogRotation, LogNameGoesIntoThePatternUnescaped) {
  const std::vector<std::string> names = {"a.c_01_20240601120000.log", "abc_01_20240601120000.log"};
  EXPECT_EQ(FilesOfSlot("a.c", 1, names), names);
  // Names that make an invalid pattern select nothing and do not throw.
  EXPECT_TRUE(FilesOfSlot("a(b", 1, {"a(b_01_20240601120000.log"}).empty());
}

TEST(LogRotation, RotatedSuffixCarriesSlotAndStart) {
  EXPECT_EQ(RotatedLogSuffix(1, {2024, 6, 1, 9, 5, 2}), "_01_20240601090502.log");
}

TEST(LogRotation, ExecutableBaseName) {
  const TextCase cases[] = {
      {u"C:\\dir.d\\name", u"name"},
      {u"C:\\dir\\archive.tar.exe", u"archive.tar"},
      {u"plain", u"plain"},
      {u"C:\\dir\\", u""},
      {u"C:\\dir\\" + std::u16string(300, u'n') + u".exe", std::u16string(259, u'n')},
  };
  for (const TextCase& c : cases) EXPECT_EQ(ExecutableBaseName(c.in), c.out);
}

TEST(LogRotation, SuffixFromTheCommandLine) {
  const TextCase cases[] = {
      {u"host.exe -logAnthorFile   _x more text", u"_x"},
      {u"host.exe -logAnthorFilex more", u""},
      {u"host.exe -logAnthorFile", u""},
      {u"host.exe -logAnthorFile    ", u""},
      {u"host.exe -logAnthorFile\t_x", u""},
      {u"host.exe -logAnthorFile a\tb c", u"a\tb"},
      {u"host.exe -logantherfile _x", u""},
      {u"host.exe -logAnthorFile " + std::u16string(300, u's'), std::u16string(259, u's')},
  };
  for (const TextCase& c : cases) EXPECT_EQ(LogNameSuffix(c.in), c.out);
}

}  // namespace
