// The settings store: identity of identifiers, defaults, copies.
#include "config/config.h"

#include <gtest/gtest.h>

#include "config/dex_config.h"

namespace lumo {
namespace {

TEST(Config, KindAndIndexTogetherAreTheIdentityAndDefaultsComeBack) {
  Config config;
  // Integer 0x28 and text 0x28 are two settings that share an index.
  ASSERT_TRUE(config.SetInteger(kConfigMaxUnknownContentLength, 5));
  ASSERT_TRUE(config.SetText(kConfigLogCookie, "session"));
  EXPECT_EQ(config.GetInteger(kConfigMaxUnknownContentLength), 5);
  EXPECT_EQ(*config.GetText(kConfigLogCookie), "session");
  EXPECT_EQ(config.GetInteger(kConfigLogCookie), -1);
  EXPECT_EQ(config.GetText(kConfigMaxUnknownContentLength), nullptr);
  EXPECT_FALSE(config.SetText(kConfigTimeoutGlobal, "5") || config.SetInteger(kConfigDirLumo, 5));
  EXPECT_EQ(config.GetInteger(kConfigTimeoutGlobal), 90);  // nothing stored

  // Neither kind, or bits between kind and index: never aliases a setting.
  for (ConfigId id : {0u, 0x28u, 0x3000028u, 0x1000128u, 0x4000028u}) {
    EXPECT_FALSE(config.SetInteger(id, 7) || config.SetText(id, "x")) << std::hex << id;
    EXPECT_EQ(config.GetInteger(id), -1);
    EXPECT_EQ(config.GetText(id), nullptr);
  }
  EXPECT_EQ(config.GetInteger(kConfigMaxUnknownContentLength), 5);

  EXPECT_EQ(config.GetInteger(kConfigSslSni), -1);
  EXPECT_EQ(config.GetText(kConfigDirLumo), nullptr);  // the plain store knows no directories
  // An empty text is a value, not an absence; clearing brings the default back.
  config.SetText(kConfigLogFile, "");
  ASSERT_NE(config.GetText(kConfigLogFile), nullptr);
  config.ClearValue(kConfigLogFile);
  EXPECT_EQ(config.GetText(kConfigLogFile), nullptr);
  config.SetText(kConfigDefaultFile, "main.lmc");
  config.ClearValue(kConfigDefaultFile);
  EXPECT_EQ(*config.GetText(kConfigDefaultFile), "index.lmc,index.html");
}

TEST(Config, CopiesDeepOrSharedAreIndependentAndCarryThePort) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "ShareFrom" : "CopyFrom");
    DexConfig source(nullptr, nullptr), copy(nullptr, nullptr);
    source.SetText(kConfigLogFile, "/var/log/a");
    source.SetInteger(kConfigTimeoutGlobal, 5);
    source.SetPort(8080);
    source.SetShowDialog(false);
    source.MakeDefaults();
    copy.SetText(kConfigLogFilter, "stale");
    if (shared) {
      copy.ShareFrom(source);
    } else {
      copy.CopyFrom(source);
    }
    // A set on either side after the copy stays on that side.
    source.SetText(kConfigLogFile, "/var/log/b");
    copy.SetInteger(kConfigTimeoutGlobal, 7);
    source.ClearValue(kConfigDefaultFile);
    EXPECT_EQ(*copy.GetText(kConfigLogFile), "/var/log/a");
    EXPECT_EQ(copy.GetInteger(kConfigTimeoutGlobal), 7);
    EXPECT_EQ(source.GetInteger(kConfigTimeoutGlobal), 5);
    EXPECT_EQ(*copy.GetText(kConfigDefaultFile), "index.lmc,index.html");
    EXPECT_EQ(copy.GetText(kConfigLogFilter), nullptr);
    EXPECT_EQ(copy.Port(), 8080);
    EXPECT_FALSE(copy.ShowDialog());
  }
}

}  // namespace
}  // namespace lumo
