// Micro-benchmarks of the relay's hot path, on the server's own library: the end search over a
// full receive ring, taking frames out of a ring, queueing frames into a send ring, and
// dispatching one broadcast 'T' frame to 63 sessions. Sessions run without workers or sockets;
// a target's send status is Busy, so SendFrame queues and never drains.
//
// This binary counts every allocation (global operator new is replaced below); each benchmark
// reports allocs_per_frame over its timed loop, which the relay keeps at zero.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

// ---- Counting allocator -------------------------------------------------------------------
namespace {
std::atomic<std::uint64_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using kavo::FrameHeader;
using kavo::kFrameHeaderBytes;
using kavo::kFrameMarker;
using kavo::kFrameMarkerBytes;
using kavo::kMaxFrameBytes;
using kavo::kMinFrameBytes;
using kavo::kRingCapacity;
using kavo::Session;
using kavo::SessionTable;

void SilentConsole(platform::ConsoleStream, const char*, std::size_t) {}

// A slot opened without workers or socket, its rings empty.
Session& OpenSlot(int index) {
  static const bool silenced = [] {
    platform::SetConsoleSinkForTest(SilentConsole);
    return true;
  }();
  (void)silenced;
  Session& s = SessionTable[index];
  s.id = index;
  s.state.store(kavo::SessionState::Free);
  kavo::ResetSession(s, kRingCapacity);
  kavo::OpenSessionWithoutWorkers(s, platform::kInvalidSocket);
  return s;
}

// Bytes that hold no end marker. Random: '<' turns up every 256 bytes on average; quiet: never.
std::vector<unsigned char> MarkerFreeBytes(std::size_t n, bool random) {
  std::vector<unsigned char> bytes(n);
  std::mt19937 rng(12345);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = random ? static_cast<unsigned char>(rng()) : static_cast<unsigned char>('a' + i % 26);
    bytes[i] = b;
  }
  for (std::size_t i = 0; i + 3 < n; ++i) {
    if (std::memcmp(&bytes[i], kFrameMarker, kFrameMarkerBytes) == 0) bytes[i + 3] = 1;
  }
  return bytes;
}

// `count` frames of `payload` bytes numbered 1..count, back to back, marker-free payloads.
std::vector<unsigned char> Frames(int payload, int count, char command = 'T') {
  std::vector<unsigned char> out;
  const std::vector<unsigned char> body = MarkerFreeBytes(static_cast<std::size_t>(payload), true);
  for (int i = 1; i <= count; ++i) {
    FrameHeader h{};
    h.command = command;
    h.payloadLength = static_cast<std::int16_t>(payload);
    h.sequence = i;
    const auto* hb = reinterpret_cast<const unsigned char*>(&h);
    out.insert(out.end(), hb, hb + kFrameHeaderBytes);
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), kFrameMarker, kFrameMarker + kFrameMarkerBytes);
  }
  return out;
}

// Puts `bytes` in the receive ring from `start` on, wrapping at the end.
void FillReceiveRing(Session& s, const std::vector<unsigned char>& bytes, int start) {
  kavo::ByteRing& ring = s.receive.ring;
  ring.readPos = start;
  ring.writePos = start;
  ring.WriteAt(start, bytes.data(), static_cast<int>(bytes.size()));
  ring.AdvanceWrite(static_cast<int>(bytes.size()));
}

void ReportAllocations(benchmark::State& state, std::uint64_t before, double frames) {
  const double allocations = static_cast<double>(g_allocations.load() - before);
  state.counters["allocs_per_frame"] = frames > 0 ? allocations / frames : 0;
}

// ---- End search ---------------------------------------------------------------------------
// A full ring (capacity - 1 unread bytes, starting mid-ring so the search wraps) with no marker:
// FindFrameEnd must look at every byte and find nothing.
void BM_FindFrameEnd_FullRing(benchmark::State& state) {
  Session& s = OpenSlot(0);
  const int unread = kRingCapacity - 1;
  const auto bytes = MarkerFreeBytes(static_cast<std::size_t>(unread), state.range(0) != 0);
  FillReceiveRing(s, bytes, kRingCapacity / 2);
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kavo::FindFrameEnd(s));
  }
  ReportAllocations(state, before, static_cast<double>(state.iterations()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * unread);
  state.SetLabel(state.range(0) ? "random bytes" : "no '<' at all");
}
BENCHMARK(BM_FindFrameEnd_FullRing)->Arg(1)->Arg(0);

// The same bytes, contiguous, searched with memchr for '<' and a compare of the other three.
void BM_MemchrMarker_SameBytes(benchmark::State& state) {
  const int unread = kRingCapacity - 1;
  const auto bytes = MarkerFreeBytes(static_cast<std::size_t>(unread), state.range(0) != 0);
  for (auto _ : state) {
    const unsigned char* p = bytes.data() + kFrameHeaderBytes;
    const unsigned char* end = bytes.data() + bytes.size() - (kFrameMarkerBytes - 1);
    const unsigned char* found = nullptr;
    while (p < end) {
      const void* hit = std::memchr(p, kFrameMarker[0], static_cast<std::size_t>(end - p));
      if (hit == nullptr) break;
      p = static_cast<const unsigned char*>(hit);
      if (std::memcmp(p, kFrameMarker, kFrameMarkerBytes) == 0) {
        found = p;
        break;
      }
      ++p;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * unread);
  state.SetLabel(state.range(0) ? "random bytes" : "no '<' at all");
}
BENCHMARK(BM_MemchrMarker_SameBytes)->Arg(1)->Arg(0);

// Plain memchr for a byte that is not there: the machine's scanning speed.
void BM_Memchr_Absent(benchmark::State& state) {
  const int unread = kRingCapacity - 1;
  const auto bytes = MarkerFreeBytes(static_cast<std::size_t>(unread), false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::memchr(bytes.data(), '<', bytes.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * unread);
}
BENCHMARK(BM_Memchr_Absent);

// ---- Frame reader -------------------------------------------------------------------------
// Takes every frame out of a receive ring filled (mid-ring, so frames wrap) with frames of the
// given payload size.
void BM_ReadFrame(benchmark::State& state) {
  const int payload = static_cast<int>(state.range(0));
  Session& s = OpenSlot(0);
  const int count = (kRingCapacity - 1) / (payload + kMinFrameBytes);
  const auto bytes = Frames(payload, count);
  FrameHeader header{};
  static unsigned char buffer[kMaxFrameBytes];
  std::int64_t frames = 0;
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    state.PauseTiming();
    FillReceiveRing(s, bytes, kRingCapacity / 3);
    s.lastSequence = 0;
    state.ResumeTiming();
    while (kavo::ReadFrame(s, header, buffer, kMaxFrameBytes)) ++frames;
  }
  if (frames != static_cast<std::int64_t>(state.iterations()) * count) {
    state.SkipWithError("not every frame was read");
  }
  ReportAllocations(state, before, static_cast<double>(frames));
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(frames * (payload + kMinFrameBytes));
}
BENCHMARK(BM_ReadFrame)->Arg(0)->Arg(64)->Arg(512)->Arg(1400)->Arg(4080);

// ---- Frame writer -------------------------------------------------------------------------
// Queues frames into a send ring until it is full; the target's send status is Busy, so no
// drain is attempted. The ring is emptied (untimed) when it is full.
void BM_SendFrame(benchmark::State& state) {
  const int payload = static_cast<int>(state.range(0));
  Session& target = OpenSlot(1);
  target.send.status.store(kavo::IoStatus::Busy);
  const auto body = MarkerFreeBytes(static_cast<std::size_t>(kMaxFrameBytes), true);
  FrameHeader header{};
  header.command = 't';
  header.payloadLength = static_cast<std::int16_t>(payload);
  const int perRing = (kRingCapacity - 1) / (payload + kMinFrameBytes);
  std::int64_t frames = 0;
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    state.PauseTiming();
    target.send.ring.readPos = target.send.ring.writePos;  // emptied, position kept
    state.ResumeTiming();
    for (int i = 0; i < perRing; ++i) {
      if (!kavo::SendFrame(target, header, body.data())) {
        state.SkipWithError("SendFrame refused a frame that fits");
        return;
      }
    }
    frames += perRing;
  }
  ReportAllocations(state, before, static_cast<double>(frames));
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(frames * (payload + kMinFrameBytes));
}
BENCHMARK(BM_SendFrame)->Arg(0)->Arg(64)->Arg(512)->Arg(1400)->Arg(4080);

// ---- Dispatcher ---------------------------------------------------------------------------
// One broadcast 'T' frame from session 0 to the 63 other open sessions: 63 copies queued.
// Every target's ring is emptied (untimed) before it could overflow.
void BM_DispatchBroadcast63(benchmark::State& state) {
  const int payload = static_cast<int>(state.range(0));
  for (int i = 0; i < kavo::kMaxSessions; ++i) {
    Session& s = OpenSlot(i);
    s.send.status.store(kavo::IoStatus::Busy);
  }
  Session& sender = SessionTable[0];
  std::vector<unsigned char> buffer = MarkerFreeBytes(static_cast<std::size_t>(kMaxFrameBytes), true);
  std::memset(buffer.data(), 0xFF, kavo::kStationAddressBytes);  // to everyone
  const unsigned char source[kavo::kStationAddressBytes] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  std::memcpy(buffer.data() + kavo::kStationAddressBytes, source, sizeof source);
  FrameHeader header{};
  header.command = 'T';
  header.payloadLength = static_cast<std::int16_t>(payload);
  {
    FrameHeader first = header;  // learns the source station once, outside the timing
    kavo::DispatchFrame(sender, first, buffer.data());
  }
  const int perRing = (kRingCapacity - 1) / (payload + kMinFrameBytes) - 1;
  int queued = perRing;
  std::int64_t copies = 0;
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    if (queued == perRing) {
      state.PauseTiming();
      for (int i = 1; i < kavo::kMaxSessions; ++i) {
        kavo::ByteRing& ring = SessionTable[i].send.ring;
        ring.readPos = ring.writePos;
      }
      queued = 0;
      state.ResumeTiming();
    }
    FrameHeader h = header;
    kavo::DispatchFrame(sender, h, buffer.data());
    ++queued;
    copies += kavo::kMaxSessions - 1;
  }
  // Every copy must have been queued: 63 per frame, counted by the targets' send counts.
  std::int64_t counted = 0;
  for (int i = 1; i < kavo::kMaxSessions; ++i) counted += SessionTable[i].sendCount.load();
  if (counted != copies + kavo::kMaxSessions - 1) state.SkipWithError("copies went missing");
  ReportAllocations(state, before, static_cast<double>(state.iterations()));
  state.counters["copies_per_s"] =
      benchmark::Counter(static_cast<double>(copies), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.SetBytesProcessed(copies * (payload + kMinFrameBytes));
}
BENCHMARK(BM_DispatchBroadcast63)->Arg(64)->Arg(512)->Arg(1400)->Arg(4080);

// One 64-byte 'T' frame from session 0 to the station learned behind session 1, with the
// given number of sessions open: the cost of the slot scan around a single copy.
void BM_DispatchUnicast(benchmark::State& state) {
  const int open = static_cast<int>(state.range(0));
  const int payload = 64;
  for (int i = 0; i < kavo::kMaxSessions; ++i) {
    Session& s = OpenSlot(i);
    s.send.status.store(kavo::IoStatus::Busy);
    if (i >= open) s.state.store(kavo::SessionState::Free);
  }
  Session& sender = SessionTable[0];
  const unsigned char station[kavo::kStationAddressBytes] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
  kavo::LearnStation(SessionTable[1], station);
  std::vector<unsigned char> buffer = MarkerFreeBytes(static_cast<std::size_t>(kMaxFrameBytes), true);
  std::memcpy(buffer.data(), station, sizeof station);
  buffer[kavo::kStationAddressBytes] = 0x02;  // source: another station behind session 0
  FrameHeader header{};
  header.command = 'T';
  header.payloadLength = static_cast<std::int16_t>(payload);
  const int perRing = (kRingCapacity - 1) / (payload + kMinFrameBytes) - 1;
  int queued = perRing;
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    if (queued == perRing) {
      state.PauseTiming();
      kavo::ByteRing& ring = SessionTable[1].send.ring;
      ring.readPos = ring.writePos;
      queued = 0;
      state.ResumeTiming();
    }
    FrameHeader h = header;
    kavo::DispatchFrame(sender, h, buffer.data());
    ++queued;
  }
  if (SessionTable[1].sendCount.load() != state.iterations()) {
    state.SkipWithError("copies went missing");
  }
  ReportAllocations(state, before, static_cast<double>(state.iterations()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DispatchUnicast)->Arg(2)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
