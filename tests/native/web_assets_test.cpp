// The dashboard's files compiled into orbhost: every file the page refers to
// must be embedded with a type the browser accepts for it, the page must not
// refer outside the server, and binary files must keep every byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>

#include "web_assets.h"

namespace orbhost {
namespace {

std::string_view ExpectedType(std::string_view path) {
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  if (path.ends_with(".ico")) return "image/x-icon";
  return "";
}

TEST(WebAssets, EveryFileThePageRefersToIsEmbeddedWithItsType) {
  const WebAsset* page = FindWebAsset("/");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->contentType, "text/html; charset=utf-8");

  const std::string html(page->body);
  const std::regex reference(R"re((?:src|href)="([^"]*)")re");
  int local = 0;
  for (std::sregex_iterator it(html.begin(), html.end(), reference), end; it != end; ++it) {
    const std::string target = (*it)[1];
    if (target.starts_with("#")) continue;  // in-page links
    ASSERT_TRUE(target.starts_with("/") && !target.starts_with("//"))
        << "the page refers outside its server: " << target;
    const WebAsset* asset = FindWebAsset(target);
    ASSERT_NE(asset, nullptr) << target << " is not embedded";
    EXPECT_EQ(asset->contentType, ExpectedType(target)) << target;
    EXPECT_FALSE(asset->body.empty()) << target;
    ++local;
  }
  EXPECT_GE(local, 5);  // icon, two stylesheets, two scripts

  EXPECT_EQ(FindWebAsset("/index.html"), nullptr);
  EXPECT_EQ(FindWebAsset("/dashboard.js?v=1"), nullptr);
  EXPECT_EQ(FindWebAsset("/dashboard"), nullptr);
}

TEST(WebAssets, TheIconKeepsEveryByte) {
  const WebAsset* icon = FindWebAsset("/favicon.ico");
  ASSERT_NE(icon, nullptr);
  const std::string_view b = icon->body;
  ASSERT_GE(b.size(), 22u);
  auto u16 = [&](size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8;
  };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  EXPECT_EQ(u16(0), 0u);  // reserved
  EXPECT_EQ(u16(2), 1u);  // an icon
  ASSERT_EQ(u16(4), 1u);  // one image, whose bytes end the file
  EXPECT_EQ(u32(18) + u32(14), b.size());
  EXPECT_EQ(b.substr(u32(18), 8), std::string_view("\x89PNG\r\n\x1a\n", 8));
}

}  // namespace
}  // namespace orbhost
