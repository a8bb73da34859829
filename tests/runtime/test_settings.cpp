#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "runtime/settings.h"

namespace {

TEST(SettingsKeys, OutOfRangeValuesReadAsTheDefaultComparedUnsigned) {
  struct Case {
    uint32_t value, defaultValue, min, max, expected;
  };
  const Case cases[] = {
      {5, 3, 1, 6, 5},                      // inside
      {0, 3, 1, 6, 3},                      // below
      {7, 3, 1, 6, 3},                      // above
      {0xFFFFFFFF, 8, 8, 128, 8},           // a stored -1 lies above the maximum
      {0xFFFFFFFF, 2, 1, 0xFFFFFFFF, 0xFFFFFFFF},  // ... but not above the all-ones maximum
      {3, 7, 0, 0xFFFFFFFF, 3},             // a signed reading would see a maximum of -1
      {0x101770, 0, 0x100000, 0x3001F4, 0x101770},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SettingsClampValue(c.value, c.defaultValue, c.min, c.max), c.expected)
        << c.value << " in [" << c.min << ", " << c.max << "]";
  }
}

TEST(SettingsKeys, WithoutAStoreEveryReadIsTheDefault) {
  EXPECT_EQ(SettingsGetIntClamped(L"BurnBuffer", 8, 8, 128), 8u);
  EXPECT_EQ(SettingsGetIntClamped(L"ApeCompressionLevel", 2, 1, 5), 2u);
  EXPECT_EQ(SettingsGetStatus(), 5u);
  EXPECT_EQ(SettingsGetStatusMode(), 0u);
  SettingsSetStatusMode(2);  // accepted and forgotten
  EXPECT_EQ(SettingsGetStatusMode(), 0u);
  EXPECT_STREQ(SettingsGetAudioFileNameFormat(), L"|#-|t");
  EXPECT_STREQ(SettingsGetString(L"DmFileName"), L"");
  EXPECT_EQ(SettingsGetFixedTime(), 0u);
  EXPECT_EQ(SettingsSetString(L"DmFileName", L"x"), 1);
  unsigned char bytes[4] = {};
  EXPECT_EQ(SettingsGetBytes(L"EraseTime", bytes, sizeof bytes), 0);
}

// The key table is the contract a store must keep: one row per name, each default inside its own range.
TEST(SettingsKeys, TableIsConsistent) {
  std::set<std::wstring_view> names;
  for (const SettingsKeyInfo& key : kSettingsKeys) {
    EXPECT_TRUE(names.insert(key.name).second) << "duplicate key";
    if (key.kind == SettingsKind::kInt) {
      EXPECT_LE(key.min, key.defaultValue);
      EXPECT_LE(key.defaultValue, key.max);
    }
  }
  ASSERT_NE(SettingsFindKey(L"BurnBuffer"), nullptr);
  EXPECT_EQ(SettingsFindKey(L"BurnBuffer")->max, 128u);
  EXPECT_EQ(SettingsFindKey(L"NoSuchKey"), nullptr);
}

}  // namespace
