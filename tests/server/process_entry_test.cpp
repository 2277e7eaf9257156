#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/server.h"
#include "support/console_capture.h"

namespace kavo {
namespace {

// Puts normal socket start-up back however the test ends.
struct StartupFailure {
  explicit StartupFailure(int code) { platform::FailSocketStartupForTest(code); }
  ~StartupFailure() { platform::FailSocketStartupForTest(0); }
};

TEST(ProcessEntry, SocketLibraryThatWillNotStartEndsItWithOneErrorLine) {
  kavo_test::ConsoleCapture console;
  StartupFailure failure(10091);
  // If the start-up did not fail, the entry would run the server for ever.
  ASSERT_EQ(platform::StartSockets(), 10091);

  EXPECT_EQ(ProcessEntry(), 255);
  EXPECT_EQ(console.ErrLines(),
            std::vector<std::string>{"WSAStartup()関数がエラーを返しました。エラーコードは 10091 "
                                     "です。Windowsのバージョンが古い?"});
  EXPECT_EQ(console.ErrPartial(), "");
  EXPECT_TRUE(console.OutLines().empty());
  EXPECT_EQ(console.OutPartial(), "");
}

}  // namespace
}  // namespace kavo
