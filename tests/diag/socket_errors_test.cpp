#include <gtest/gtest.h>

#include <string>

#include "diag/diag.h"
#include "platform/platform.h"

namespace kavo {
namespace {

TEST(DescribeSocketError, FormatsContextTextAndCode) {
  struct Case {
    int code;
    const char* expected;
  };
  const Case cases[] = {
      {10048, "bind() failed: Address already in use (10048)"},
      {11004, "bind() failed: No host data of that type was found (11004)"},  // last row
      {10101, "bind() failed: Graceful shutdown in progress (10101)"},
      {10005, "bind() failed: unknown error (10005)"},  // between two rows
      {10107, "bind() failed: unknown error (10107)"},
      {99999, "bind() failed: unknown error (99999)"},  // past the last row
      {-1, "bind() failed: unknown error (-1)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DescribeSocketError("bind() failed", c.code), std::string(c.expected)) << c.code;
  }
}

TEST(DescribeSocketError, CodeZeroDescribesTheThreadsLastError) {
  platform::SetLastSocketError(0);
  EXPECT_STREQ(DescribeSocketError("x", 0), "x: No error (0)");  // first row
  platform::SetLastSocketError(10054);
  EXPECT_STREQ(DescribeSocketError("accept() failed", 0),
               "accept() failed: Connection reset by peer (10054)");
  platform::SetLastSocketError(0);
}

TEST(DescribeSocketError, SecondCallOverwritesTheFirstAndLongTextIsCut) {
  const char* first = DescribeSocketError("first", 10013);
  const char* second = DescribeSocketError("second", 10022);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "second: Invalid argument (10022)");

  const std::string context(400, 'c');
  const std::string result = DescribeSocketError(context.c_str(), 10013);
  EXPECT_EQ(result.size(), 255u);
  EXPECT_EQ(result, context.substr(0, 255));
}

}  // namespace
}  // namespace kavo
