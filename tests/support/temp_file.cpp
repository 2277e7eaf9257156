#include "support/temp_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace kavo_test {

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out);
}

std::string UnusedTempPath() {
  static std::atomic<int> counter{0};
  // Test processes may run side by side: the name carries a random part as well.
  std::random_device random;
  namespace fs = std::filesystem;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = fs::temp_directory_path() /
                               ("kavo_unit_" + std::to_string(random()) + "_" +
                                std::to_string(counter.fetch_add(1)) + ".ini");
    std::error_code error;
    if (!fs::exists(candidate, error)) return candidate.string();
  }
  ADD_FAILURE() << "no unused temporary file name";
  return (fs::temp_directory_path() / "kavo_unit_fallback.ini").string();
}

TempFile::TempFile(const std::string& contents) : path_(UnusedTempPath()) {
  EXPECT_TRUE(WriteWholeFile(path_, contents)) << path_;
}

TempFile::~TempFile() { std::remove(path_.c_str()); }

}  // namespace kavo_test
