// A file with given contents in the temporary folder, removed again at the end of its scope.
#pragma once

#include <string>

namespace kavo_test {

class TempFile {
 public:
  // `contents` is written byte for byte (zero bytes included).
  explicit TempFile(const std::string& contents);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Writes `contents` to `path`, replacing the file. False when it cannot.
bool WriteWholeFile(const std::string& path, const std::string& contents);
// A path in the temporary folder that no file uses yet.
std::string UnusedTempPath();

}  // namespace kavo_test
