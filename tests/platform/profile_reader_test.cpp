#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "support/temp_file.h"

namespace platform {
namespace {

std::string Find(const std::string& text, const char* section, const char* key,
                 const char* fallback, int size = 256) {
  std::string buffer(static_cast<std::size_t>(size) + 1, '?');
  internal::FindProfileValue(text.data(), text.size(), section, key, fallback, &buffer[0], size);
  return std::string(buffer.c_str());
}

TEST(ProfileReader, FindsTheKeyOfTheSection) {
  struct Case {
    const char* what;
    std::string text;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {"plain", "[Setting]\nServer=10.0.0.1\nPort=8080\n", "Port", "8080"},
      {"no line end at the end", "[Setting]\nPort=77", "Port", "77"},
      {"CR LF line ends", "[Setting]\r\nPort=8080\r\nServer=1.2.3.4\r\n", "Port", "8080"},
      {"section absent", "[Other]\nPort=1\n", "Port", "443"},
      {"key absent", "[Setting]\nServer=x\n", "Port", "443"},
      {"key before the section", "Port=1\n[Setting]\nServer=x\n", "Port", "443"},
      {"key in a later section", "[Setting]\nServer=x\n[Other]\nPort=1\n", "Port", "443"},
      {"empty text", "", "Port", "443"},
      {"names without regard to case", "[sETTING]\nPORT=1\n", "Port", "1"},
      {"spaces around names and values", "  [ Setting ]  \n \t Port  =  8080 \t\n", "Port", "8080"},
      {"spaces inside a value stay", "[Setting]\nServer= a b \n", "Server", "a b"},
      {"comment lines", "[Setting]\n;Port=1\n  # Port=2\nPort=3\n", "Port", "3"},
      {"a commented section does not open", ";[Setting]\nPort=1\n", "Port", "443"},
      {"double quotes", "[Setting]\nPort=\"8080\"\n", "Port", "8080"},
      {"single quotes", "[Setting]\nServer=' 1.2.3.4 '\n", "Server", " 1.2.3.4 "},
      {"unmatched quote stays", "[Setting]\nServer=\"abc\n", "Server", "\"abc"},
      {"first duplicate wins", "[Setting]\nPort=1\nPort=2\n", "Port", "1"},
      {"empty value is a value", "[Setting]\nPort=\nPort=2\n", "Port", ""},
      {"line without '='", "[Setting]\nPort\nPort=5\n", "Port", "5"},
  };
  for (const Case& c : cases) EXPECT_EQ(Find(c.text, "Setting", c.key, "443"), c.value) << c.what;
}

TEST(ProfileReader, ValuesAndDefaultsAreCutToTheBuffer) {
  EXPECT_EQ(Find("[Setting]\nPort=1234567890\n", "Setting", "Port", "443", 10), "123456789");
  EXPECT_EQ(Find("[Setting]\nPort=123456789\n", "Setting", "Port", "443", 10), "123456789");
  EXPECT_EQ(Find("[Setting]\nPort=12\n", "Setting", "Port", "443", 1), "");
  EXPECT_EQ(Find("", "Setting", "Port", "443", 3), "44");
}

// Deterministic noise: every byte value, line ends and zero bytes included.
std::string Noise(std::size_t length) {
  std::string bytes(length, '\0');
  std::uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

TEST(ProfileReader, ReadsFiles) {
  char value[256];
  const std::string longServer(300, '7');
  const char crafted[] = "\x00\xff\x01[Setting\x00]\nPo\x00rt=5\n\xfe\xfd";
  struct Case {
    const char* what;
    std::string contents;
    const char* key;
    std::string value;
  };
  const Case cases[] = {
      {"settings file", "[Setting]\nServer=127.0.0.1\nPort=8080\n", "Server", "127.0.0.1"},
      {"the Port key only", "[Setting]\nPort=8080\n", "Server", "default"},
      {"empty file", "", "Port", "default"},
      {"binary file", std::string(crafted, sizeof crafted - 1), "Port", "default"},
      {"noise", Noise(4096), "Port", "default"},
      {"300-character value", "[Setting]\nServer=" + longServer + "\n", "Server",
       longServer.substr(0, 255)},
  };
  for (const Case& c : cases) {
    kavo_test::TempFile file(c.contents);
    ReadProfileString("Setting", c.key, "default", value, sizeof value, file.path());
    EXPECT_EQ(std::string(value), c.value) << c.what;
  }
  const std::string absent = kavo_test::UnusedTempPath();
  ReadProfileString("Setting", "Port", "443", value, sizeof value, absent.c_str());
  EXPECT_STREQ(value, "443");
}

}  // namespace
}  // namespace platform
