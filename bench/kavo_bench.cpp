// kavo-bench: a load generator that talks to the relay as its clients do, and the same framed
// bytes without the relay, for comparison.
//
//   kavo-bench WORKLOAD (--server HOST:PORT | --direct | --via HOST:PORT --listen PORT) [options]
//
// WORKLOAD is rtt, stream or fanout; see Usage() below. Each run prints exactly one line of
// key=value pairs on standard output; failed checks are described on standard error, counted
// in errors= and make the exit code 1.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "load_frames.h"
#include "load_sockets.h"

namespace bench {
namespace {

enum class Mode { Server, Direct, Forwarder };

struct Options {
  std::string workload;
  Mode mode = Mode::Server;
  bool modeGiven = false;
  Endpoint target;       // server or forwarder
  Endpoint listen;       // forwarder mode: where the receiving clients listen
  bool listenGiven = false;
  int payload = 64;
  int rounds = 10000;
  int warmup = 1000;
  long frames = -1;
  int window = -1;
  int ackEvery = -1;
  int receivers = 63;
  double timeout = 60;
  double stall = 1.0;
  bool allowLoss = false;
};

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::Server: return "server";
    case Mode::Direct: return "direct";
    case Mode::Forwarder: return "forwarder";
  }
  return "?";
}

void Usage(FILE* to) {
  std::fprintf(to,
      "usage: kavo-bench WORKLOAD MODE [options]\n"
      "       kavo-bench free-port\n"
      "workloads:\n"
      "  rtt     A sends a 'T' frame to B's station, B answers A the same way; reports the\n"
      "          round-trip percentiles in microseconds\n"
      "  stream  A sends --frames frames to B with at most --window frames unacknowledged;\n"
      "          B acknowledges every --ack-every frames with a small frame of its own\n"
      "  fanout  A broadcasts --frames frames to --receivers clients, same window rule\n"
      "modes:\n"
      "  --server HOST:PORT   through a KAVO server (clients announce their stations first)\n"
      "  --direct             the same framed bytes over loopback TCP pairs, no server\n"
      "  --via HOST:PORT --listen PORT\n"
      "                       A connects through a 1:1 TCP forwarder at HOST:PORT that\n"
      "                       connects on to the receivers listening on 127.0.0.1:PORT\n"
      "options:\n"
      "  --payload S      payload bytes, 16..4080 (default 64)\n"
      "  --rounds K       rtt: measured round trips (default 10000)\n"
      "  --warmup K       rtt: round trips before measuring (default 1000)\n"
      "  --frames M       stream/fanout: frames sent by A (default 100000 / 10000)\n"
      "  --window W       stream/fanout: frames in flight (default 64)\n"
      "  --ack-every K    stream/fanout: receiver acknowledges every K frames (default W/4)\n"
      "  --receivers N    fanout: receiving clients, 1..63 (default 63)\n"
      "  --timeout SEC    whole-run limit (default 60)\n"
      "  --allow-loss     frames lost by the relay do not fail the run\n"
      "Only loopback addresses are accepted.\n");
}

bool ParseInt(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kavo-bench: %s needs a value\n", what);
        return nullptr;
      }
      return argv[++i];
    };
    auto number = [&](const char* what, long lo, long hi, long& out) {
      const char* v = value(what);
      if (v == nullptr) return false;
      if (!ParseInt(v, lo, hi, out)) {
        std::fprintf(stderr, "kavo-bench: %s must be %ld..%ld\n", what, lo, hi);
        return false;
      }
      return true;
    };
    long n = 0;
    std::string why;
    if (a == "rtt" || a == "stream" || a == "fanout") {
      o.workload = a;
    } else if (a == "--server" || a == "--via") {
      const char* v = value(a.c_str());
      if (v == nullptr) return false;
      if (!ParseEndpoint(v, o.target, why)) {
        std::fprintf(stderr, "kavo-bench: %s %s: %s\n", a.c_str(), v, why.c_str());
        return false;
      }
      o.mode = a == "--server" ? Mode::Server : Mode::Forwarder;
      o.modeGiven = true;
    } else if (a == "--direct") {
      o.mode = Mode::Direct;
      o.modeGiven = true;
    } else if (a == "--listen") {
      if (!number("--listen", 1, 65535, n)) return false;
      ParseLoopback("127.0.0.1", o.listen.address);
      o.listen.port = static_cast<std::uint16_t>(n);
      o.listenGiven = true;
    } else if (a == "--payload") {
      if (!number("--payload", kMinBenchPayload, kavo::kMaxPayloadBytes, n)) return false;
      o.payload = static_cast<int>(n);
    } else if (a == "--rounds") {
      if (!number("--rounds", 1, 100000000, n)) return false;
      o.rounds = static_cast<int>(n);
    } else if (a == "--warmup") {
      if (!number("--warmup", 0, 100000000, n)) return false;
      o.warmup = static_cast<int>(n);
    } else if (a == "--frames") {
      if (!number("--frames", 1, 1000000000, n)) return false;
      o.frames = n;
    } else if (a == "--window") {
      if (!number("--window", 1, 1000000, n)) return false;
      o.window = static_cast<int>(n);
    } else if (a == "--ack-every") {
      if (!number("--ack-every", 1, 1000000, n)) return false;
      o.ackEvery = static_cast<int>(n);
    } else if (a == "--receivers") {
      if (!number("--receivers", 1, kMaxClients - 1, n)) return false;
      o.receivers = static_cast<int>(n);
    } else if (a == "--timeout") {
      if (!number("--timeout", 1, 3600, n)) return false;
      o.timeout = static_cast<double>(n);
    } else if (a == "--allow-loss") {
      o.allowLoss = true;
    } else if (a == "-h" || a == "--help") {
      Usage(stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "kavo-bench: unknown argument %s\n", a.c_str());
      return false;
    }
  }
  if (o.workload.empty() || !o.modeGiven) {
    Usage(stderr);
    return false;
  }
  if (o.mode == Mode::Forwarder && !o.listenGiven) {
    std::fprintf(stderr, "kavo-bench: --via needs --listen PORT (where the forwarder connects)\n");
    return false;
  }
  if (o.workload != "fanout") o.receivers = 1;
  if (o.frames < 0) o.frames = o.workload == "fanout" ? 10000 : 100000;
  if (o.window < 0) o.window = 64;
  if (o.ackEvery < 0) o.ackEvery = std::max(1, o.window / 4);
  if (o.ackEvery > o.window) {
    std::fprintf(stderr, "kavo-bench: --ack-every must not exceed --window\n");
    return false;
  }
  return true;
}

// Who talks to whom. Client 0 is A; clients 1..N receive. In server mode every client has one
// connection to the server; otherwise A has one connection to each receiver.
struct Setup {
  Mode mode = Mode::Server;
  int receivers = 1;
  std::vector<std::unique_ptr<Conn>> a;
  std::vector<std::unique_ptr<Conn>> b;  // b[r - 1] belongs to receiver r
  int sourceByteOf[kMaxClients];
  char relayed = 'T';
  Conn& AFor(int receiver) { return a.size() == 1 ? *a[0] : *a[static_cast<std::size_t>(receiver - 1)]; }
  Conn& B(int receiver) { return *b[static_cast<std::size_t>(receiver - 1)]; }
  std::uint64_t FramesChecked() const {
    std::uint64_t n = 0;
    for (const auto& c : a) n += c->framesChecked();
    for (const auto& c : b) n += c->framesChecked();
    return n;
  }
  std::uint64_t Pings() const {
    std::uint64_t n = 0;
    for (const auto& c : a) n += c->pingsSeen();
    for (const auto& c : b) n += c->pingsSeen();
    return n;
  }
};

// Server mode: every client proves its session is open with a ping, then announces its own
// station with one broadcast 'T'; from the copies the others receive, each client learns the
// source byte (session id) the server gives every other client.
bool SetUpServer(Setup& s, const Options& o, double deadline) {
  const int clients = s.receivers + 1;
  std::vector<Conn*> all;
  for (int k = 0; k < clients; ++k) {
    const int fd = ConnectTo(o.target, deadline);
    if (fd < 0) return false;
    auto conn = std::make_unique<Conn>(fd, "client " + std::to_string(k));
    all.push_back(conn.get());
    if (k == 0) {
      s.a.push_back(std::move(conn));
    } else {
      s.b.push_back(std::move(conn));
    }
  }
  std::uint8_t payload[kMinBenchPayload];
  for (int k = 0; k < clients; ++k) {
    FillPayload(payload, kMinBenchPayload, StationMac(k), k, 0);
    all[static_cast<std::size_t>(k)]->QueueFrame('P', static_cast<std::uint8_t>(k), payload, kMinBenchPayload);
    if (!all[static_cast<std::size_t>(k)]->FlushAll(deadline)) return false;
  }
  for (int k = 0; k < clients; ++k) {
    Conn& c = *all[static_cast<std::size_t>(k)];
    Frame f;
    if (!c.WaitFrame(f, deadline)) return false;
    FillPayload(payload, kMinBenchPayload, StationMac(k), k, 0);
    if (f.header.command != 'p' || f.header.source != k || f.payloadBytes != kMinBenchPayload ||
        std::memcmp(f.payload, payload, kMinBenchPayload) != 0) {
      ReportError(c.name(), "the answer to its ping was not its own ping as 'p'");
      return false;
    }
  }
  for (int k = 0; k < clients; ++k) {
    FillPayload(payload, kMinBenchPayload, kBroadcastMac, k, 0);
    all[static_cast<std::size_t>(k)]->QueueFrame('T', static_cast<std::uint8_t>(k), payload, kMinBenchPayload);
  }
  for (Conn* c : all) {
    if (!c->FlushAll(deadline)) return false;
  }
  std::vector<int> id(static_cast<std::size_t>(clients), -1);
  bool ok = true;
  for (int k = 0; k < clients; ++k) {
    Conn& c = *all[static_cast<std::size_t>(k)];
    std::vector<bool> seen(static_cast<std::size_t>(clients), false);
    Expect e;
    e.command = 't';
    e.destination = &kBroadcastMac;
    e.size = kMinBenchPayload;
    e.self = k;
    for (int n = 0; n < clients - 1; ++n) {
      Frame f;
      if (!c.WaitFrame(f, deadline)) return false;
      int from = -1;
      const long long counter = CheckTunnel(c, f, e, &from);
      if (counter != 0 || from >= clients || seen[static_cast<std::size_t>(from)]) {
        if (counter == 0) ReportError(c.name(), "unexpected announcement");
        ok = false;
        continue;
      }
      seen[static_cast<std::size_t>(from)] = true;
      int& known = id[static_cast<std::size_t>(from)];
      if (known < 0) known = f.header.source;
      if (known != f.header.source) {
        ReportError(c.name(), "client " + std::to_string(from) + " seen with two source bytes");
        ok = false;
      }
    }
  }
  std::vector<bool> taken(256, false);
  for (int k = 0; k < clients; ++k) {
    const int v = id[static_cast<std::size_t>(k)];
    if (v < 0 || v >= kMaxClients || taken[static_cast<std::size_t>(v)]) {
      ReportError("set-up", "client " + std::to_string(k) + " has no session id of its own");
      ok = false;
      continue;
    }
    taken[static_cast<std::size_t>(v)] = true;
    s.sourceByteOf[k] = v;
  }
  return ok;
}

bool SetUpPairs(Setup& s, const Options& o, double deadline) {
  Endpoint at = o.listen;
  if (s.mode == Mode::Direct) {
    ParseLoopback("127.0.0.1", at.address);
    at.port = 0;
  }
  const int listener = ListenOn(at);
  if (listener < 0) return false;
  Endpoint to = s.mode == Mode::Direct ? at : o.target;
  bool ok = true;
  for (int r = 1; r <= s.receivers && ok; ++r) {
    const int fa = ConnectTo(to, deadline);
    const int fb = fa < 0 ? -1 : AcceptOne(listener, deadline);
    if (fa < 0 || fb < 0) {
      if (fa >= 0) ::close(fa);
      ok = false;
      break;
    }
    s.a.push_back(std::make_unique<Conn>(fa, "client 0 (to " + std::to_string(r) + ")"));
    s.b.push_back(std::make_unique<Conn>(fb, "client " + std::to_string(r)));
  }
  ::close(listener);
  for (int k = 0; k <= s.receivers; ++k) s.sourceByteOf[k] = k;
  return ok;
}

struct Result {
  bool ok = false;
  std::string fields;
  std::uint64_t lost = 0;
};

std::string Fmt(const char* format, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, v);
  return buffer;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const double rank = p / 100.0 * static_cast<double>(sorted.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(std::floor(rank));
  const std::size_t hi = std::min(sorted.size() - 1, lo + 1);
  const double t = rank - static_cast<double>(lo);
  return sorted[lo] + (sorted[hi] - sorted[lo]) * t;
}

// One frame goes A -> B and B answers A; the time is taken around the pair, on one thread.
Result RunRtt(Setup& s, const Options& o, double deadline) {
  Conn& a = s.AFor(1);
  Conn& b = s.B(1);
  const Mac macA = StationMac(0);
  const Mac macB = StationMac(1);
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(o.payload));
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(o.rounds));
  Expect toB;
  toB.command = s.relayed;
  toB.destination = &macB;
  toB.size = o.payload;
  toB.fromClient = 0;
  toB.self = 1;
  toB.sourceByteOf = s.sourceByteOf;
  Expect toA = toB;
  toA.destination = &macA;
  toA.fromClient = 1;
  toA.self = 0;
  const long total = static_cast<long>(o.warmup) + o.rounds;
  Result result;
  for (long i = 1; i <= total; ++i) {
    const std::uint32_t counter = static_cast<std::uint32_t>(i);
    const double t0 = Now();
    FillPayload(payload.data(), o.payload, macB, 0, counter);
    a.QueueFrame('T', 0, payload.data(), o.payload);
    if (!a.FlushAll(deadline)) return result;
    Frame f;
    if (!b.WaitFrame(f, deadline)) return result;
    if (CheckTunnel(b, f, toB) != static_cast<long long>(counter)) {
      ReportError(b.name(), "round trip " + std::to_string(i) + " got another frame");
      return result;
    }
    FillPayload(payload.data(), o.payload, macA, 1, counter);
    b.QueueFrame('T', 1, payload.data(), o.payload);
    if (!b.FlushAll(deadline)) return result;
    if (!a.WaitFrame(f, deadline)) return result;
    if (CheckTunnel(a, f, toA) != static_cast<long long>(counter)) {
      ReportError(a.name(), "round trip " + std::to_string(i) + " got another answer");
      return result;
    }
    const double t1 = Now();
    if (i > o.warmup) samples.push_back((t1 - t0) * 1e6);
  }
  double sum = 0;
  for (double v : samples) sum += v;
  std::sort(samples.begin(), samples.end());
  result.ok = true;
  result.fields = "rounds=" + std::to_string(o.rounds) + " warmup=" + std::to_string(o.warmup) +
                  " p50_us=" + Fmt("%.1f", Percentile(samples, 50)) +
                  " p90_us=" + Fmt("%.1f", Percentile(samples, 90)) +
                  " p99_us=" + Fmt("%.1f", Percentile(samples, 99)) +
                  " max_us=" + Fmt("%.1f", samples.back()) +
                  " mean_us=" + Fmt("%.1f", sum / static_cast<double>(samples.size()));
  return result;
}

// A sends M frames (to B's station, or to the broadcast address) with at most W of them not
// yet acknowledged by every receiver; each receiver acknowledges every K frames with a small
// 'T' frame of its own to A's station that carries the highest counter it has received.
Result RunFlow(Setup& s, const Options& o, double deadline, bool broadcast) {
  const int n = s.receivers;
  const std::uint32_t total = static_cast<std::uint32_t>(o.frames);
  const Mac macA = StationMac(0);
  const Mac dataDestination = broadcast ? kBroadcastMac : StationMac(1);
  std::atomic<bool> senderDone{false};
  std::atomic<int> ready{0};
  double startTime = 0;
  double lastDataTime = 0;
  std::uint64_t delivered = 0;
  std::uint32_t sentFrames = 0;

  auto sender = [&]() {
    std::vector<std::uint32_t> acked(static_cast<std::size_t>(n + 1), 0);
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(o.payload));
    std::vector<pollfd> fds(s.a.size());
    const std::size_t frameBytes = static_cast<std::size_t>(o.payload) + kavo::kMinFrameBytes;
    const std::uint32_t batch = static_cast<std::uint32_t>(std::max<std::size_t>(1, 65536 / frameBytes));
    Expect ack;
    ack.command = s.relayed;
    ack.destination = &macA;
    ack.size = kAckPayload;
    ack.self = 0;
    ack.sourceByteOf = s.sourceByteOf;
    std::uint32_t sent = 0;
    double lastProgress = Now();
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    startTime = Now();
    for (;;) {
      std::uint32_t minAck = total;
      for (int r = 1; r <= n; ++r) minAck = std::min(minAck, acked[static_cast<std::size_t>(r)]);
      if (minAck >= total) break;
      const double now = Now();
      if (now > deadline) {
        ReportError("client 0", "time-out with " + std::to_string(minAck) + " of " +
                                    std::to_string(total) + " frames acknowledged");
        break;
      }
      if (sent == total && now - lastProgress > o.stall) break;  // the rest was lost
      const std::uint32_t inFlight = sent - minAck;
      bool roomLeft = false;
      if (sent < total && inFlight < static_cast<std::uint32_t>(o.window)) {
        bool backlog = false;
        for (const auto& c : s.a) backlog = backlog || c->PendingBytes() > (1u << 18);
        if (!backlog) {
          const std::uint32_t count = std::min({static_cast<std::uint32_t>(o.window) - inFlight,
                                                total - sent, batch});
          for (std::uint32_t j = 1; j <= count; ++j) {
            FillPayload(payload.data(), o.payload, dataDestination, 0, sent + j);
            for (auto& c : s.a) c->QueueFrame('T', 0, payload.data(), o.payload);
          }
          sent += count;
          for (auto& c : s.a) c->Flush();
        }
        roomLeft = sent < total && sent - minAck < static_cast<std::uint32_t>(o.window);
      }
      for (std::size_t i = 0; i < s.a.size(); ++i) {
        fds[i] = pollfd{s.a[i]->fd(),
                        static_cast<short>(POLLIN | (s.a[i]->PendingBytes() ? POLLOUT : 0)), 0};
      }
      if (::poll(fds.data(), fds.size(), roomLeft ? 0 : 20) <= 0) continue;
      for (std::size_t i = 0; i < s.a.size(); ++i) {
        Conn& c = *s.a[i];
        if (fds[i].revents & POLLOUT) c.Flush();
        if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
        if (c.Receive() < 0) {
          ReportError(c.name(), "connection lost");
          senderDone = true;
          sentFrames = sent;
          return;
        }
        Frame f;
        while (c.NextFrame(f)) {
          Expect e = ack;
          if (s.a.size() > 1) e.fromClient = static_cast<int>(i) + 1;
          int from = -1;
          const long long counter = CheckTunnel(c, f, e, &from);
          if (counter < 0) continue;
          std::uint32_t& mine = acked[static_cast<std::size_t>(from)];
          if (from > n || counter < mine || counter > sent) {
            ReportError(c.name(), "acknowledgement " + std::to_string(counter) + " out of order");
            continue;
          }
          if (counter > mine) lastProgress = Now();
          mine = static_cast<std::uint32_t>(counter);
        }
      }
    }
    sentFrames = sent;
    senderDone = true;
  };

  auto receiver = [&]() {
    std::vector<std::uint32_t> last(static_cast<std::size_t>(n + 1), 0);
    std::vector<std::uint32_t> ackSent(static_cast<std::size_t>(n + 1), 0);
    std::vector<pollfd> fds(static_cast<std::size_t>(n));
    std::vector<std::uint8_t> ackPayload(kAckPayload);
    int complete = 0;
    double doneSeen = 0;
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    while (complete < n) {
      const double now = Now();
      if (now > deadline) break;
      if (senderDone.load()) {
        if (doneSeen == 0) doneSeen = now;
        if (now - doneSeen > 0.2) break;
      }
      for (int r = 1; r <= n; ++r) {
        Conn& c = s.B(r);
        fds[static_cast<std::size_t>(r - 1)] =
            pollfd{c.fd(), static_cast<short>(POLLIN | (c.PendingBytes() ? POLLOUT : 0)), 0};
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (int r = 1; r <= n; ++r) {
        const pollfd& p = fds[static_cast<std::size_t>(r - 1)];
        Conn& c = s.B(r);
        if (p.revents & POLLOUT) c.Flush();
        if (!(p.revents & (POLLIN | POLLERR | POLLHUP))) continue;
        if (c.Receive() < 0) {
          ReportError(c.name(), "connection lost");
          return;
        }
        const double got = Now();
        Expect e;
        e.command = s.relayed;
        e.destination = &dataDestination;
        e.size = o.payload;
        e.fromClient = 0;
        e.self = r;
        e.sourceByteOf = s.sourceByteOf;
        std::uint32_t& mine = last[static_cast<std::size_t>(r)];
        const std::uint32_t before = mine;
        Frame f;
        while (c.NextFrame(f)) {
          const long long counter = CheckTunnel(c, f, e);
          if (counter < 0) continue;
          if (counter <= mine || counter > total) {
            ReportError(c.name(), "frame " + std::to_string(counter) + " after " +
                                      std::to_string(mine));
            continue;
          }
          mine = static_cast<std::uint32_t>(counter);
          ++delivered;
        }
        if (mine == before) continue;
        lastDataTime = got;
        if (mine == total) ++complete;
        std::uint32_t& acknowledged = ackSent[static_cast<std::size_t>(r)];
        if (mine - acknowledged >= static_cast<std::uint32_t>(o.ackEvery) || mine == total) {
          FillPayload(ackPayload.data(), kAckPayload, macA, r, mine);
          c.QueueFrame('T', static_cast<std::uint8_t>(r), ackPayload.data(), kAckPayload);
          c.Flush();
          acknowledged = mine;
        }
      }
    }
    // Acknowledgements still queued go out before the connections close.
    for (int r = 1; r <= n; ++r) s.B(r).FlushAll(std::min(deadline, Now() + 1.0));
  };

  std::thread rx(receiver);
  sender();
  rx.join();

  Result result;
  const std::uint64_t expected = static_cast<std::uint64_t>(total) * static_cast<std::uint64_t>(n);
  result.lost = expected - delivered;
  const double elapsed = std::max(1e-9, lastDataTime - startTime);
  const double bytes = static_cast<double>(delivered) * o.payload;
  result.ok = sentFrames == total;
  result.fields = (broadcast ? "receivers=" + std::to_string(n) + " " : std::string()) +
                  "frames=" + std::to_string(total) + " window=" + std::to_string(o.window) +
                  " ack_every=" + std::to_string(o.ackEvery) +
                  " delivered=" + std::to_string(delivered) +
                  " lost=" + std::to_string(result.lost) +
                  " mb_s=" + Fmt("%.2f", bytes / elapsed / 1e6) +
                  " frames_s=" + Fmt("%.0f", static_cast<double>(delivered) / elapsed) +
                  " elapsed_s=" + Fmt("%.3f", elapsed);
  return result;
}

int Main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "free-port") == 0) {
    const std::uint16_t port = FreePort();
    if (port == 0) return 1;
    std::printf("%u\n", port);
    return 0;
  }
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  const double start = Now();
  const double deadline = start + o.timeout;

  Setup s;
  s.mode = o.mode;
  s.receivers = o.receivers;
  s.relayed = o.mode == Mode::Server ? 't' : 'T';
  const bool setUp = o.mode == Mode::Server ? SetUpServer(s, o, deadline)
                                            : SetUpPairs(s, o, deadline);
  Result r;
  if (setUp) {
    if (o.workload == "rtt") {
      r = RunRtt(s, o, deadline);
    } else {
      r = RunFlow(s, o, deadline, o.workload == "fanout");
    }
  } else {
    ReportError("set-up", "the clients could not be connected and announced");
  }
  const std::uint64_t errors = ErrorCount();
  const bool lossFails = r.lost > 0 && !o.allowLoss;
  std::printf("mode=%s workload=%s payload=%d clients=%d %s frames_checked=%llu pings=%llu "
              "errors=%llu result=%s\n",
              ModeName(o.mode), o.workload.c_str(), o.payload, o.receivers + 1,
              r.fields.empty() ? "incomplete=1" : r.fields.c_str(),
              static_cast<unsigned long long>(s.FramesChecked()),
              static_cast<unsigned long long>(s.Pings()),
              static_cast<unsigned long long>(errors),
              (r.ok && errors == 0 && !lossFails) ? "ok" : "fail");
  std::fflush(stdout);
  return (r.ok && errors == 0 && !lossFails) ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) { return bench::Main(argc, argv); }
