#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "server/server.h"
#include "support/temp_file.h"

namespace kavo {
namespace {

std::string SettingsPath(const std::string& executable, bool* ok) {
  char out[kSettingsPathSize];
  *ok = SettingsPathFor(executable.c_str(), out, kSettingsPathSize);
  return *ok ? std::string(out) : std::string();
}

TEST(SettingsPathFor, ReplacesTheLastThreeCharactersWhateverTheyAre) {
  struct Case {
    const char* executable;
    const char* settings;
  };
  const Case cases[] = {
      {"C:\\srv\\relay.exe", "C:\\srv\\relay.ini"},
      {"C:\\srv\\relay", "C:\\srv\\reini"},
      {"/opt/kavo/kavo.srv", "/opt/kavo/kavo.ini"},
      {"abc", "ini"},
  };
  for (const Case& c : cases) {
    bool ok = false;
    EXPECT_EQ(SettingsPath(c.executable, &ok), c.settings);
    EXPECT_TRUE(ok) << c.executable;
  }
}

TEST(SettingsPathFor, PathMustFitItsBufferAndHoldThreeCharacters) {
  bool ok = true;
  const std::string longest = "C:\\" + std::string(504, 'd') + ".exe";  // 511 characters
  ASSERT_EQ(longest.size(), 511u);
  EXPECT_EQ(SettingsPath(longest, &ok), longest.substr(0, 508) + "ini");
  EXPECT_TRUE(ok);
  SettingsPath(longest + "x", &ok);
  EXPECT_FALSE(ok) << "512 characters";
  SettingsPath("ab", &ok);
  EXPECT_FALSE(ok);
  SettingsPath("", &ok);
  EXPECT_FALSE(ok);
}

TEST(ConvertPortText, DecimalWithSignAndLeadingSpace) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"8080abc", 8080}, {"abc", 0},  {"-1", -1},    {"+5", 5},         {"  42", 42},
      {"\t\n7", 7},      {"", 0},     {"0", 0},      {"123456789", 123456789},
      {"70000", 70000},  {"- 5", 0},  {"+-5", 0},    {"4 2", 4},        {"-0", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertPortText(c.text), c.value) << '"' << c.text << '"';
}

TEST(ConvertPortText, ListenerUsesTheLowSixteenBits) {
  EXPECT_EQ(static_cast<std::uint16_t>(ConvertPortText("70000")), 4464);
  EXPECT_EQ(static_cast<std::uint16_t>(ConvertPortText("-1")), 65535);
  EXPECT_EQ(static_cast<std::uint16_t>(ConvertPortText("443")), 443);
}

TEST(ReadSetting, PortValueIsCutToNineCharacters) {
  kavo_test::TempFile file("[Setting]\nPort=1234567890\n");
  char value[kPortValueSize];
  platform::ReadProfileString("Setting", "Port", "443", value, kPortValueSize, file.path());
  EXPECT_STREQ(value, "123456789");
  EXPECT_EQ(ConvertPortText(value), 123456789);
}

TEST(ReadSetting, ReadsTheFileBesideTheExecutable) {
  char executable[kSettingsPathSize];
  char path[kSettingsPathSize];
  if (platform::ExecutablePath(executable, kSettingsPathSize) <= 0 ||
      !SettingsPathFor(executable, path, kSettingsPathSize)) {
    GTEST_SKIP() << "the executable's own path is not available here";
  }
  std::error_code error;
  if (std::filesystem::exists(path, error)) GTEST_SKIP() << path << " exists; left alone";

  char server[kServerValueSize] = "junk";
  char port[kPortValueSize] = "junk";
  ASSERT_TRUE(kavo_test::WriteWholeFile(path, "[Setting]\nPort=8080\n"));
  ReadSetting("Server", "", server, kServerValueSize);
  ReadSetting("Port", "443", port, kPortValueSize);
  std::remove(path);
  EXPECT_STREQ(server, "");
  EXPECT_STREQ(port, "8080");

  ReadSetting("Port", "443", port, kPortValueSize);  // nothing is cached: the file is gone
  EXPECT_STREQ(port, "443");
}

}  // namespace
}  // namespace kavo
