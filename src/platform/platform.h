// The one interface through which KAVO reaches the operating system.
//
// Every backend (posix/, win32/) implements exactly these declarations; nothing outside
// src/platform/ includes an operating-system header. Socket errors come out in one numbering
// on every backend: WinSock's (10035 would-block, 10048 address in use, ...), kept per thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Socket error numbering shared by every backend.
enum SocketErrorCode : int {
  kErrNone = 0,
  kErrInterrupted = 10004,
  kErrBadHandle = 10009,
  kErrAccessDenied = 10013,
  kErrBadAddress = 10014,
  kErrInvalidArgument = 10022,
  kErrTooManySockets = 10024,
  kErrWouldBlock = 10035,
  kErrInProgress = 10036,
  kErrAlready = 10037,
  kErrNotSocket = 10038,
  kErrMessageSize = 10040,
  kErrProtocolOption = 10042,
  kErrProtocolNotSupported = 10043,
  kErrNotSupported = 10045,
  kErrAddressFamily = 10047,
  kErrAddressInUse = 10048,
  kErrAddressNotAvailable = 10049,
  kErrNetworkDown = 10050,
  kErrNetworkUnreachable = 10051,
  kErrNetworkReset = 10052,
  kErrConnectionAborted = 10053,
  kErrConnectionReset = 10054,
  kErrNoBuffers = 10055,
  kErrIsConnected = 10056,
  kErrNotConnected = 10057,
  kErrShutdown = 10058,
  kErrTimedOut = 10060,
  kErrConnectionRefused = 10061,
  kErrNameTooLong = 10063,
  kErrHostUnreachable = 10065,
  kErrProcessLimit = 10067,
};

// The calling thread's last socket error, in the numbering above.
int LastSocketError();
void SetLastSocketError(int code);

// ---------------------------------------------------------------------------------------------
// Socket library start-up. Returns 0, or an error code when the library cannot be used.
int StartSockets();
void StopSockets();

// ---------------------------------------------------------------------------------------------
// TCP over IPv4. Addresses and ports are kept in network byte order, as the wire has them.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;
constexpr int kSocketFailed = -1;
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

struct PeerAddress {
  std::uint32_t address = 0;  // network byte order
  std::uint16_t port = 0;     // network byte order
};

// Dotted-quad text to an address in network byte order; kAddressNone for any other text.
// The empty text gives the any-address.
std::uint32_t ParseIPv4(const char* text);
// Address in network byte order to dotted-quad text; out must hold 16 bytes.
void FormatIPv4(std::uint32_t address, char* out);
std::uint16_t HostToNet16(std::uint16_t value);
std::uint16_t NetToHost16(std::uint16_t value);

SocketHandle OpenTcpSocket();
int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port);
int ListenSocket(SocketHandle socket, int backlog);
constexpr int kMaxBacklog = 0x7FFFFFFF;
// Blocks until a client connects.
SocketHandle AcceptSocket(SocketHandle listener, PeerAddress* peer);
// Turns Nagle's algorithm on (0) or off (1). Returns 0 or kSocketFailed.
int SetNoDelay(SocketHandle socket, int value);
// Bytes taken (more than 0), 0 when the peer closed its sending side, kSocketFailed with the
// last error set (kErrWouldBlock when nothing is waiting).
int ReceiveSocket(SocketHandle socket, void* buffer, int length);
// Bytes taken (more than 0, possibly fewer than offered), or kSocketFailed with the last
// error set (kErrWouldBlock when the socket can take nothing now). Never raises a signal.
int SendSocket(SocketHandle socket, const void* buffer, int length);
void ShutdownSending(SocketHandle socket);
void CloseSocket(SocketHandle socket);

// ---------------------------------------------------------------------------------------------
// Socket events: one object per session slot, created once and attached to each connection's
// socket in turn. Once attached the socket is non-blocking and the object records:
//   kEventRead  when data has arrived, and again after each receive while data remains;
//   kEventWrite once after attaching, and once the socket can take data again after a send
//               met kErrWouldBlock;
//   kEventClose when the peer has ended the connection and no received data is left unread.
constexpr int kEventRead = 0x01;
constexpr int kEventWrite = 0x02;
constexpr int kEventClose = 0x20;

struct SocketEvents;
SocketEvents* CreateSocketEvents();  // nullptr when it cannot be had
// Ties the object to a socket for the read, write and close events. Returns 0 or
// kSocketFailed. Clears any wake-up left from an earlier connection.
int AttachSocketEvents(SocketEvents* events, SocketHandle socket);
// Waits with no time-out until an event is recorded or WakeSocketEvents is called.
// Returns false when the wait itself failed.
bool WaitSocketEvents(SocketEvents* events);
// The recorded events as a mask of kEvent* bits, clearing the record; kSocketFailed on failure.
int TakeSocketEvents(SocketEvents* events);
// Called from another thread: the waiter returns from WaitSocketEvents at once.
void WakeSocketEvents(SocketEvents* events);
void DetachSocketEvents(SocketEvents* events);

// ---------------------------------------------------------------------------------------------
// Threads, locks, time.
using ThreadEntry = void (*)(void* argument);
// Starts a detached thread with the default stack size. Returns false when it cannot.
bool StartThread(ThreadEntry entry, void* argument);

// A mutual-exclusion lock that a thread never enters twice.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Enter();
  void Leave();

 private:
  alignas(8) unsigned char storage_[64];
};

class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~LockGuard() { lock_.Leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

// A manual-reset flag a thread can sleep on with a time limit.
class Signal {
 public:
  Signal();
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void Raise();
  void Clear();
  // True when the flag was raised before the time ran out.
  bool WaitFor(int milliseconds);

 private:
  alignas(8) unsigned char storage_[128];
};

void SleepMs(int milliseconds);
// Milliseconds from an arbitrary start, wrapping at 2^32.
std::uint32_t TickCount();

// ---------------------------------------------------------------------------------------------
// Files and the console.

// The running executable's full path. Returns its length, or -1 when it is unavailable or
// does not fit in size - 1 characters.
int ExecutablePath(char* buffer, int size);

// One key of an INI-style file: the value of `key` in `[section]`, or `fallback` when the
// file, the section or the key is absent; cut to size - 1 characters and zero-terminated.
// Section and key names match without regard to letter case; white space around names and
// values is dropped; lines starting with ';' or '#' are comments; one pair of matching
// quotes around a value is removed; the first of duplicate keys wins.
void ReadProfileString(const char* section, const char* key, const char* fallback,
                       char* buffer, int size, const char* path);

enum class ConsoleStream { Out, Err };
// Writes one whole line of the system's own text (UTF-8 in the source) in the console's
// encoding, in one write, and flushes it.
void WriteConsole(ConsoleStream stream, const char* text, std::size_t length);
// The same, but the bytes pass unchanged (text that came from a client).
void WriteConsoleBytes(ConsoleStream stream, const char* bytes, std::size_t length);

// ---------------------------------------------------------------------------------------------
// Seams for tests.
using ConsoleSink = void (*)(ConsoleStream stream, const char* bytes, std::size_t length);
// Routes console output to `sink` instead of the console (nullptr restores the console).
// The bytes handed to the sink are the system's own text, before any re-encoding.
void SetConsoleSinkForTest(ConsoleSink sink);
// Makes the next StartSockets calls fail with `code` (0 restores normal start-up).
void FailSocketStartupForTest(int code);

// Socket operations a test can make fail, to reach the lines printed for such failures.
enum class SocketCall { Accept, SetNoDelay, Receive, Send, TakeEvents, Count };
// The next `count` calls of `call` fail with `code` as their last error; code 0 makes a receive
// or send report 0 bytes moved instead. A count of 0 clears the call.
void FailSocketCallForTest(SocketCall call, int code, int count = 1);

}  // namespace platform
