// Line layouts of the diagnostic log: every message length against the fixed
// buffers (each buffer is a heap block of exactly its size, so a sanitizer
// build sees any write past it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_lines.h"

namespace {

constexpr LogStamp kStamp{2024, 6, 1, 9, 5, 2};

TEST(LogLines, MessageLimit) {
  EXPECT_TRUE(MessageFits(2046));
  EXPECT_FALSE(MessageFits(2047));
  EXPECT_FALSE(MessageFits(-1));
}

TEST(LogLines, StampedLineLayout) {
  char line[kLogLineBytes];
  ASSERT_EQ(FormatStampedLine(line, sizeof line, kStamp, 2, "hello"), 28u);
  EXPECT_STREQ(line, "2024-06-01 09:05:02  hello\r\n");
  ASSERT_EQ(FormatStampedLine(line, sizeof line, kStamp, 1, ""), 22u);
  EXPECT_STREQ(line, "2024-06-01 09:05:02 \r\n");
  ASSERT_EQ(FormatPlainLine(line, sizeof line, "plain"), 7u);
  EXPECT_STREQ(line, "plain\r\n");
}

// Every length up to past the limit: the line fits its buffer, ends in CR
// LF, and keeps as much of the message as fits.
TEST(LogLines, EveryMessageLengthFitsTheBuffer) {
  for (size_t size = 0; size <= kLogLineBytes + 8; ++size) {
    std::string message(size, 'm');
    if (size > 0) message.back() = 'z';
    for (int spaces : {0, 1, 2}) {
      std::vector<char> line(kLogLineBytes);
      const size_t head = 19 + static_cast<size_t>(spaces);
      const size_t length =
          spaces == 0 ? FormatPlainLine(line.data(), line.size(), message)
                      : FormatStampedLine(line.data(), line.size(), kStamp, spaces, message);
      const size_t frame = spaces == 0 ? 2 : head + 2;
      ASSERT_LT(length, kLogLineBytes) << size;
      ASSERT_EQ(std::strlen(line.data()), length) << size;
      ASSERT_EQ(length, std::min(size + frame, kLogLineBytes - 1)) << size;
      ASSERT_EQ(std::string(line.data() + length - 2), "\r\n") << size;
      const bool whole = size + frame < kLogLineBytes;
      if (size > 0) {
        ASSERT_EQ(line[length - 3] == 'z', whole) << size;
      }
    }
  }
}

}  // namespace
