// Collects the server's console output as whole lines while a test runs.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kavo_test {

// Routes the console to memory for its lifetime and puts the real console back afterwards.
// Lines are collected without their line end; text not yet ended by a line end is kept apart,
// so a line printed in two pieces still shows up as one. Safe to print from several threads.
// Only one capture may be alive at a time.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::vector<std::string> OutLines() const;
  std::vector<std::string> ErrLines() const;
  // Text written without a line end yet, per stream.
  std::string OutPartial() const;
  std::string ErrPartial() const;
  void Clear();
};

}  // namespace kavo_test
