// Console lines and socket error descriptions.
#pragma once

namespace kavo {

constexpr int kDescriptionSize = 256;
constexpr int kSocketErrorCount = 50;

// "<context>: <description> (<code>)" in one shared buffer, valid until the next call; code 0
// means the calling thread's last socket error. Main thread only.
const char* DescribeSocketError(const char* context, int code);

// One whole console line each, formatted printf-style; `format` carries the line end.
void PrintOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintErr(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line that carries a client's bytes, which pass to the console unchanged.
void PrintOutBytes(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kavo
