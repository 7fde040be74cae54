// Settings and the stored-value wrappers over the standard user-defaults store.

#include "lumo/account/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/UserDefaultsDataValue.h"
#include "lumo/account/UserDefaultsOptionalValue.h"
#include "lumo/account/UserDefaultsValue.h"
#include "lumo/api/APISettings.h"

namespace lumo {
namespace {

const std::string kConfigHome = [] {
  std::string dir = test::makeTempDir("lumo-settings-test");
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  return dir;
}();

TEST(UserDefaultsValueTest, ReadsTheDefaultWhenMissingOrOfAnotherType) {
  UserDefaultsValue<std::int64_t> retries("retries", 5);
  EXPECT_EQ(retries.wrappedValue(), 5);
  ASSERT_TRUE(UserDefaults::standard().set("text", "retries").ok());
  EXPECT_EQ(retries.wrappedValue(), 5);
  ASSERT_TRUE(retries.setWrappedValue(7).ok());
  EXPECT_EQ(retries.wrappedValue(), 7);
  EXPECT_EQ(UserDefaults::standard().integer("retries"), 7);

  // An integer outside the wrapper's type is not one of its values.
  ASSERT_TRUE(UserDefaults::standard().set(std::int64_t{300}, "small").ok());
  EXPECT_EQ(UserDefaultsValue<std::int8_t>("small", 1).wrappedValue(), 1);
  ASSERT_TRUE(UserDefaults::standard().set(std::int64_t{-1}, "positive").ok());
  EXPECT_EQ(UserDefaultsValue<std::uint32_t>("positive", 2).wrappedValue(), 2u);

  UserDefaultsValue<bool> flag("flag", true);
  ASSERT_TRUE(UserDefaults::standard().set(std::int64_t{0}, "flag").ok());
  EXPECT_TRUE(flag.wrappedValue());
}

TEST(UserDefaultsOptionalValueTest, WritingNothingRemovesTheKey) {
  UserDefaultsOptionalValue<std::string> nickname("nickname");
  EXPECT_EQ(nickname.wrappedValue(), std::nullopt);
  ASSERT_TRUE(nickname.setWrappedValue("Ann").ok());
  EXPECT_EQ(nickname.wrappedValue(), "Ann");
  ASSERT_TRUE(nickname.setWrappedValue(std::nullopt).ok());
  EXPECT_EQ(nickname.wrappedValue(), std::nullopt);
  EXPECT_FALSE(UserDefaults::standard().object("nickname"));
  ASSERT_TRUE(UserDefaults::standard().set(1.5, "nickname").ok());
  EXPECT_EQ(nickname.wrappedValue(), std::nullopt);
}

TEST(UserDefaultsDataValueTest, KeepsArchivedDataAndReadsBackEqual) {
  using Recent = std::map<std::string, std::vector<int>>;
  UserDefaultsDataValue<Recent> recent("recent");
  EXPECT_EQ(recent.wrappedValue(), std::nullopt);
  const Recent value{{"a", {1, 2}}, {"b", {}}};
  ASSERT_TRUE(recent.setWrappedValue(value).ok());
  EXPECT_EQ(recent.wrappedValue(), value);
  EXPECT_TRUE(UserDefaults::standard().data("recent").has_value());  // data, not the value

  // Data of another type, also in one element, or no data, reads as nothing.
  ASSERT_TRUE(UserDefaultsDataValue<std::string>("recent").wrappedValue() == std::nullopt);
  ASSERT_TRUE(UserDefaults::standard().setArchived(nlohmann::json({{"a", {1.5, true}}}), "recent"));
  EXPECT_EQ(recent.wrappedValue(), std::nullopt);
  ASSERT_TRUE(UserDefaults::standard().set("plain", "recent").ok());
  EXPECT_EQ(recent.wrappedValue(), std::nullopt);

  ASSERT_TRUE(recent.setWrappedValue(value).ok());
  ASSERT_TRUE(recent.setWrappedValue(std::nullopt).ok());
  EXPECT_FALSE(UserDefaults::standard().object("recent"));
}

TEST(SettingsTest, DomainIsTheProcessWideShareAddress) {
  const ServiceAddresses saved = APISettings::serviceAddresses();
  APISettings::setServiceAddresses(
      {APISettings::kPlaceholderAPIBaseUrl, APISettings::kPlaceholderShareDomain});
  EXPECT_EQ(Settings().domain(), "https://share.lumo.invalid");
  ASSERT_TRUE(Settings().shareURLHost());
  EXPECT_EQ(Settings().shareURLHost()->host(), "share.lumo.invalid");

  APISettings::setServiceAddresses({"http://127.0.0.1:9/", "http://127.0.0.1:9/cdn//"});
  EXPECT_EQ(APISettings::serviceAddresses().apiBaseUrl, "http://127.0.0.1:9");
  EXPECT_EQ(Settings().domain(), "http://127.0.0.1:9/cdn");
  EXPECT_EQ(APISettings().domain(), Settings().domain());

  APISettings::setServiceAddresses({"x", "not a url"});
  EXPECT_EQ(Settings().shareURLHost(), std::nullopt);
  EXPECT_EQ(APISettings().shareURLHost(), std::nullopt);
  APISettings::setServiceAddresses(saved);
}

}  // namespace
}  // namespace lumo
