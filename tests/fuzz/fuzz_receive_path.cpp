// One client's byte stream through the real receive path: a socket, PumpReceive (receive ring
// and frame reader), the dispatcher and the frame writer, over a table of open sessions. Some
// sessions have a send outstanding, so the frame writer only queues to them and this harness
// drains their send rings as a worker would, or leaves them full; the others have a socket of
// their own that the server sends to, one send per target for each batch of frames. After
// every pump the send rings and what reached each client are compared, byte for byte and
// position for position, with a model built from the frame rules: frames whole, numbered
// 1, 2, 3... per receiver, relayed by command letter and station address, refused whole when
// they do not fit, and unsent bytes never written over. The receive ring, the counters, the
// session states and the number of console lines are compared as well.
//
// Input: the sender's slot, the open slots, the slots with a socket of their own, where the
// rings' positions start, stations learned before the stream, then operations until the input
// runs out:
//   0x00..0xBF  a chunk of that many bytes, straight from the input
//   0xC0..0xDF  frames built from the input: command, numbering variant, source, payload
//   0xE0..0xEF  a long chunk: a short pattern from the input, repeated
//   0xF0..0xFF  how the send rings without a socket are drained after each chunk from now
//               on (none, all, some bytes, one frame; some slots held full), at once too
//               when bit 2 is set
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace {

using kavo::ByteRing;
using kavo::Session;
using kavo::SessionState;
using kavo::SessionTable;
using kavo_fuzz::InputCursor;

constexpr int kSlots = 8;
// Rings of several sizes, so that both kinds fill and wrap with short inputs. A slot keeps its
// size for the whole run, since its buffers are allocated once.
constexpr int kCapacity[kSlots] = {kavo::kRingCapacity, 4113, 1024, 8192, 200,
                                   kavo::kRingCapacity, 3001, 17};
constexpr int kMaxOperations = 512;
constexpr int kHeaderBytes = 12;
constexpr int kMinFrame = 16;
constexpr int kMaxFrame = 4096;
constexpr std::uint8_t kMarker[4] = {0x3C, 0x45, 0x3E, 0x00};

long g_consoleLines = 0;

void CountLine(platform::ConsoleStream, const char* bytes, std::size_t length) {
  // Every line reaches the console whole, ending with its line end.
  FUZZ_CHECK(length > 0 && bytes[length - 1] == '\n');
  ++g_consoleLines;
}

int Advanced(int position, int count, int capacity) {
  position += count;
  return position > capacity ? position - capacity : position;
}

std::uint32_t Little32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLittle(std::uint8_t* p, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The bytes a ring holds, in order, with the two positions a ring of `capacity` has for them.
struct ByteQueue {
  std::vector<std::uint8_t> bytes;
  std::size_t head = 0;
  int capacity = 0;
  int readPos = 0;
  int writePos = 0;

  void Reset(int newCapacity) {
    bytes.clear();
    head = 0;
    capacity = newCapacity;
    readPos = 0;
    writePos = 0;
  }
  int Size() const { return static_cast<int>(bytes.size() - head); }
  int Room() const { return capacity - 1 - Size(); }
  const std::uint8_t* Data() const { return bytes.data() + head; }
  void Push(const std::uint8_t* source, int count) {
    bytes.insert(bytes.end(), source, source + count);
  }
  void Pop(int count) {
    head += static_cast<std::size_t>(count);
    readPos = Advanced(readPos, count, capacity);
    if (head > 65536 && head * 2 > bytes.size()) {
      bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
  }
};

std::uint64_t AddressKey(const std::uint8_t* address) {
  std::uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | address[i];
  return key;
}
constexpr std::uint64_t kBroadcast = 0xFFFFFFFFFFFFull;

struct SlotModel {
  bool used = false;  // opened for this input
  bool open = false;
  bool sends = false;                 // has a socket the server sends to
  bool deferred = false;              // queued to in the current batch: sent when the batch ends
  int peer = -1;                      // the client's end of that socket
  std::vector<std::uint8_t> sent;     // what must have reached the client
  std::vector<std::uint8_t> arrived;  // what did
  ByteQueue send;
  std::int32_t sendCount = 0;
  std::uint64_t stations[8] = {};
  int learned = 0;
};

// What the receive path must do with the stream, from the frame rules alone.
struct Model {
  SlotModel slots[kSlots];
  int sender = 0;
  ByteQueue receive;
  std::int32_t lastSequence = 0;
  std::int32_t receiveCount = 0;
  long lines = 0;
  // A socket that really filled up: from then on its drains are the kernel's to decide, not
  // the model's, and the input is not followed further.
  bool saturated = false;
  std::vector<std::uint8_t> inFlight;  // written into the socket, not yet received
  std::size_t inFlightHead = 0;
  std::vector<std::uint8_t> payload = std::vector<std::uint8_t>(kMaxFrame);

  bool SenderOpen() const { return slots[sender].open; }

  bool Knows(int slot, std::uint64_t key) const {
    for (int i = 0; i < slots[slot].learned; ++i) {
      if (slots[slot].stations[i] == key) return true;
    }
    return false;
  }

  void Learn(int slot, const std::uint8_t* address) {
    const std::uint64_t key = AddressKey(address);
    SlotModel& s = slots[slot];
    if (Knows(slot, key) || s.learned == 8) return;
    s.stations[s.learned++] = key;
    ++lines;
  }

  bool QueueFrame(int target, char command, std::uint8_t source, const std::uint8_t* bytes,
                  int length) {
    SlotModel& t = slots[target];
    if (!t.open) return false;
    const int frame = length + kMinFrame;
    if (frame > t.send.Room()) {
      // Room taken by this batch's own unsent frames is made by sending the batch now.
      if (!t.deferred) return false;
      SendBatch();
      return QueueFrame(target, command, source, bytes, length);
    }
    ++t.sendCount;
    std::uint8_t header[kHeaderBytes];
    header[0] = static_cast<std::uint8_t>(command);
    header[1] = source;
    PutLittle(header + 2, static_cast<std::uint32_t>(length), 2);
    PutLittle(header + 4, static_cast<std::uint32_t>(t.sendCount), 4);
    PutLittle(header + 8, static_cast<std::uint32_t>(target == sender ? receiveCount : 0), 4);
    t.send.Push(header, kHeaderBytes);
    t.send.Push(bytes, length);
    t.send.Push(kMarker, 4);
    t.send.writePos = Advanced(t.send.writePos, frame, t.send.capacity);
    if (t.sends) t.deferred = true;
    return true;
  }

  // The end of a batch: one send of everything queued to each target that got frames. A
  // closed session sends nothing more. Batches end with each reading pass, after a chat frame
  // (its line tells what is left once the copies have gone) and before a sequence break closes
  // the sender (what came before the break still goes out).
  void SendBatch() {
    for (SlotModel& t : slots) {
      if (!t.deferred) continue;
      t.deferred = false;
      if (!t.open) continue;
      t.sent.insert(t.sent.end(), t.send.Data(), t.send.Data() + t.send.Size());
      t.send.Pop(t.send.Size());
    }
  }

  void Dispatch(const std::uint8_t* header, int length) {
    const std::uint8_t* bytes = payload.data();
    const auto id = static_cast<std::uint8_t>(sender);
    const std::uint8_t source = header[1];
    switch (static_cast<char>(header[0])) {
      case 'C':
        for (int i = 0; i < kSlots; ++i) {
          if (slots[i].open && !QueueFrame(i, 'c', id, bytes, length)) ++lines;
        }
        SendBatch();
        ++lines;  // the chat line
        return;
      case 'T': {
        if (length < 12) return;
        Learn(sender, bytes + 6);
        const std::uint64_t destination = AddressKey(bytes);
        for (int i = 0; i < kSlots; ++i) {
          if (i == sender || !slots[i].open) continue;
          if (destination != kBroadcast && !Knows(i, destination)) continue;
          if (!QueueFrame(i, 't', id, bytes, length)) ++lines;
        }
        return;
      }
      case 'U':
        for (int i = 0; i < kSlots; ++i) QueueFrame(i, 'u', id, bytes, length);
        return;
      case 'I':
        // Slots past the table's open ones hold no connection.
        if (source < kSlots) QueueFrame(source, 'i', id, bytes, length);
        return;
      case 'P':
        QueueFrame(sender, 'p', source, bytes, length);
        return;
      case 'S':
        for (int i = 0; i < kSlots; ++i) QueueFrame(i, 's', source, bytes, length);
        return;
      default:  // the ping line, or the unsupported-command line
        ++lines;
        return;
    }
  }

  // A frame ends with the first marker that begins after its header.
  int FindFrameEnd() const {
    const int pending = receive.Size();
    if (pending < kMinFrame) return -1;
    const std::uint8_t* data = receive.Data();
    const void* hit = memmem(data + kHeaderBytes, static_cast<std::size_t>(pending - kHeaderBytes),
                             kMarker, sizeof kMarker);
    if (hit == nullptr) return -1;
    return static_cast<int>(static_cast<const std::uint8_t*>(hit) - data) + 4;
  }

  bool ReadFrame(std::uint8_t* header, int* length) {
    if (!SenderOpen()) return false;
    const int n = FindFrameEnd();
    if (n < 0) return false;
    if (n > kMaxFrame) {
      ++lines;  // the size line
      receive.Pop(n);
      return false;
    }
    std::memcpy(header, receive.Data(), kHeaderBytes);
    *length = n - kMinFrame;
    std::memcpy(payload.data(), receive.Data() + kHeaderBytes, static_cast<std::size_t>(*length));
    receive.Pop(n);
    const std::uint32_t sequence = Little32(header + 4);
    if (lastSequence != 0 && sequence != static_cast<std::uint32_t>(lastSequence) + 1u) {
      lines += 2;  // lost frames, reconnecting
      lastSequence = 0;
      SendBatch();
      slots[sender].open = false;
      return false;
    }
    lastSequence = static_cast<std::int32_t>(sequence);
    ++receiveCount;
    return true;
  }

  void ProcessFrames() {
    std::uint8_t header[kHeaderBytes];
    int length = 0;
    while (ReadFrame(header, &length)) Dispatch(header, length);
    SendBatch();
  }

  // A full receive ring gives up its complete frames first; one that holds none is passed over
  // whole, with the size line.
  void MakeRoom() {
    while (receive.Room() == 0 && SenderOpen()) {
      const int before = receive.Size();
      ProcessFrames();
      if (receive.Size() == before) {
        ++lines;
        receive.Pop(before);
        return;
      }
    }
  }

  // One PumpReceive that took `received` bytes from the socket (or none, -1).
  void Pump(int received) {
    MakeRoom();
    const int offset = receive.writePos == receive.capacity ? 0 : receive.writePos;
    const int contiguous = receive.capacity - offset;
    const int space = contiguous < receive.Room() ? contiguous : receive.Room();
    if (space <= 0) {
      FUZZ_CHECK(received == -1);
      return;
    }
    // Never more than the free room: unread bytes are not written over.
    FUZZ_CHECK(received <= space);
    if (received <= 0) return;
    FUZZ_CHECK(inFlight.size() - inFlightHead >= static_cast<std::size_t>(received));
    receive.Push(inFlight.data() + inFlightHead, received);
    inFlightHead += static_cast<std::size_t>(received);
    receive.writePos = offset + received;
    ProcessFrames();
  }
};

bool RingHolds(const ByteRing& ring, const ByteQueue& queue) {
  const int start = ring.readPos == ring.capacity ? 0 : ring.readPos;
  const int n = queue.Size();
  if (n == 0) return true;
  const int first = n < ring.capacity - start ? n : ring.capacity - start;
  return std::memcmp(ring.buffer + start, queue.Data(), static_cast<std::size_t>(first)) == 0 &&
         std::memcmp(ring.buffer, queue.Data() + first, static_cast<std::size_t>(n - first)) == 0;
}

void CheckRing(const ByteRing& ring, const ByteQueue& queue) {
  FUZZ_CHECK(ring.capacity == queue.capacity);
  FUZZ_CHECK(ring.readPos == queue.readPos);
  FUZZ_CHECK(ring.writePos == queue.writePos);
  FUZZ_CHECK(queue.Size() < ring.capacity);
  FUZZ_CHECK(ring.Pending() == queue.Size());
  FUZZ_CHECK(RingHolds(ring, queue));
}

void CheckReceiveSide(const Model& model) {
  const Session& sender = SessionTable[model.sender];
  CheckRing(sender.receive.ring, model.receive);
  FUZZ_CHECK(sender.lastSequence == model.lastSequence);
  FUZZ_CHECK(sender.receiveCount.load() == model.receiveCount);
  // A sender closed for a sequence break stays counted in by its worker until that ends.
  const SessionState expected = model.SenderOpen() ? SessionState::Open : SessionState::Failed;
  FUZZ_CHECK(sender.state.load() == expected);
  FUZZ_CHECK(g_consoleLines == model.lines);
}

// Takes what the server sent to each client with a socket so far: where the model expects
// bytes, or everywhere (`all`), so that bytes nobody expects are found by the end.
void Collect(Model& model, bool all) {
  static std::vector<std::uint8_t> buffer(1 << 16);
  for (SlotModel& m : model.slots) {
    if (!m.sends || (!all && m.sent.empty())) continue;
    for (int reads = 0; reads < 1024; ++reads) {
      const ssize_t n = ::recv(m.peer, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n == 0) {  // the end of the stream comes only with a close
        FUZZ_CHECK(!m.open);
        break;
      }
      if (n < 0) {
        FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
        break;
      }
      m.arrived.insert(m.arrived.end(), buffer.data(), buffer.data() + n);
    }
  }
}

// A send that met a full socket leaves the rest for the target's worker. That is right, but
// beyond the model; it must come from a socket that is full indeed.
bool Saturated(Model& model) {
  for (int i = 0; i < kSlots && !model.saturated; ++i) {
    const Session& s = SessionTable[i];
    if (!model.slots[i].sends || s.send.status.load() != kavo::IoStatus::Busy) continue;
    int queued = 0;
    int limit = 0;
    socklen_t length = sizeof limit;
    const int fd = static_cast<int>(s.socket);
    FUZZ_CHECK(::ioctl(fd, SIOCOUTQ, &queued) == 0);
    FUZZ_CHECK(::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &limit, &length) == 0);
    FUZZ_CHECK(queued > limit / 2);
    model.saturated = true;
  }
  return model.saturated;
}

void CheckAll(Model& model, bool collectAll = false) {
  if (Saturated(model)) return;
  CheckReceiveSide(model);
  Collect(model, collectAll);
  for (int i = 0; i < kSlots; ++i) {
    SlotModel& m = model.slots[i];
    if (!m.used) continue;
    const Session& s = SessionTable[i];
    if (i != model.sender) FUZZ_CHECK(s.state.load() == SessionState::Open);
    FUZZ_CHECK(s.sendCount.load() == m.sendCount);
    CheckRing(s.send.ring, m.send);
    if (m.sends) {
      FUZZ_CHECK(m.arrived == m.sent);
      m.arrived.clear();
      m.sent.clear();
    }
  }
}

// Writes the chunk into the client's end of the socket while the sender's pump takes it out,
// as its network worker would on each read event.
void Deliver(Model& model, int peer, const std::vector<std::uint8_t>& chunk) {
  Session& sender = SessionTable[model.sender];
  model.inFlight.insert(model.inFlight.end(), chunk.begin(), chunk.end());
  std::size_t written = 0;
  const std::size_t rounds = 4 * chunk.size() + 64;
  for (std::size_t round = 0; sender.state.load() == SessionState::Open; ++round) {
    FUZZ_CHECK(round < rounds);  // each pump must take bytes or make room
    if (written < chunk.size()) {
      const ssize_t n =
          ::send(peer, chunk.data() + written, chunk.size() - written, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      } else {
        FUZZ_CHECK(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
      }
    }
    const int received = kavo::PumpReceive(sender);
    FUZZ_CHECK(received != 0);  // the client never ends its stream here
    if (received < 0 && sender.state.load() == SessionState::Open) {
      FUZZ_CHECK(platform::LastSocketError() == platform::kErrWouldBlock);
    }
    model.Pump(received);
    CheckAll(model);
    if (model.saturated) return;
    if (received < 0 && written == chunk.size()) break;
  }
}

enum class DrainMode { None, All, Amount, OneFrame };

// Sends `count` bytes of a send ring the way DrainSend moves readPos: pieces up to the end of
// the buffer, a position at the end taken as the start.
void DrainRing(Session& session, int count) {
  platform::LockGuard guard(session.send.lock);
  ByteRing& ring = session.send.ring;
  int position = ring.readPos;
  while (count > 0) {
    if (position == ring.capacity) position = 0;
    const int piece = count < ring.capacity - position ? count : ring.capacity - position;
    position += piece;
    count -= piece;
    ring.readPos = position;
  }
}

void Drain(Model& model, DrainMode mode, std::uint8_t held, int amount) {
  for (int i = 0; i < kSlots; ++i) {
    SlotModel& m = model.slots[i];
    // A closed session's ring is not sent any more; a held one stays as it is, up to full; the
    // server drains those with a socket itself.
    if (!m.open || m.sends || (held >> i & 1) != 0) continue;
    int count = 0;
    switch (mode) {
      case DrainMode::None:
        break;
      case DrainMode::All:
        count = m.send.Size();
        break;
      case DrainMode::Amount:
        count = amount < m.send.Size() ? amount : m.send.Size();
        break;
      case DrainMode::OneFrame:
        // One frame when the ring starts with one; after a partial drain, whatever the bytes
        // there say, up to all of them.
        if (m.send.Size() >= kMinFrame) {
          count = kMinFrame + static_cast<int>(m.send.Data()[2] | m.send.Data()[3] << 8);
          if (count > m.send.Size()) count = m.send.Size();
        }
        break;
    }
    if (count == 0) continue;
    DrainRing(SessionTable[i], count);
    m.send.Pop(count);
  }
}

void AppendFrames(InputCursor& in, int kind, const Model& model, std::vector<std::uint8_t>& out) {
  static const char kLetters[] = {'C', 'T', 'U', 'I', 'P', 'p', 'S'};
  const int letter = kind & 7;
  const char command = letter < 7 ? kLetters[letter] : static_cast<char>(in.Byte());
  std::uint32_t sequence = static_cast<std::uint32_t>(model.lastSequence) + 1u;
  std::uint32_t acknowledgement = 0;
  bool lengthLies = false;
  std::uint16_t lengthField = 0;
  int frames = 1;
  switch (kind >> 3) {
    case 1:  // numbers of the client's choosing
      sequence = in.Long();
      acknowledgement = in.Long();
      break;
    case 2:  // a length field that disagrees with the marker
      lengthLies = true;
      lengthField = in.Word();
      break;
    case 3:  // two frames in one chunk
      frames = 2;
      break;
    default:
      break;
  }
  const std::uint8_t source = in.Byte();
  std::size_t literal = 0;
  const std::uint8_t* bytes = in.Take(in.Byte(), &literal);
  const std::size_t padding = static_cast<std::size_t>(in.Byte()) * 17;
  const std::uint8_t pad = in.Byte();
  std::vector<std::uint8_t> body(bytes, bytes + literal);
  body.insert(body.end(), padding, pad);
  for (int f = 0; f < frames; ++f) {
    std::uint8_t header[kHeaderBytes];
    header[0] = static_cast<std::uint8_t>(command);
    header[1] = source;
    PutLittle(header + 2, lengthLies ? lengthField : static_cast<std::uint32_t>(body.size()), 2);
    PutLittle(header + 4, sequence + static_cast<std::uint32_t>(f), 4);
    PutLittle(header + 8, acknowledgement, 4);
    out.insert(out.end(), header, header + kHeaderBytes);
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), kMarker, kMarker + 4);
  }
}

// Markers over a whole buffer, to lay into receive rings before each input.
const std::vector<std::uint8_t>& MarkerFill() {
  static const std::vector<std::uint8_t> fill = [] {
    std::vector<std::uint8_t> bytes(kavo::kRingCapacity);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = kMarker[i % 4];
    return bytes;
  }();
  return fill;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SetConsoleSinkForTest(CountLine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  InputCursor in(data, size);
  Model model;
  model.sender = in.Byte() % kSlots;
  const int openMask = in.Byte() | 1 << model.sender;
  const int socketMask = in.Byte();
  // Empty rings may stand anywhere, the end position included, as they do after traffic.
  const int start = in.Word();

  kavo::ResetSessionTable();
  g_consoleLines = 0;
  for (int i = 0; i < kSlots; ++i) {
    if ((openMask >> i & 1) == 0) continue;
    Session& s = SessionTable[i];
    SlotModel& m = model.slots[i];
    FUZZ_CHECK(kavo::ResetSession(s, kCapacity[i]));
    // Whatever the buffers held before (here: markers and filler) must not matter.
    const auto capacity = static_cast<std::size_t>(kCapacity[i]);
    std::memset(s.send.ring.buffer, 0xA5, capacity);
    std::memcpy(s.receive.ring.buffer, MarkerFill().data(), capacity);
    m.used = true;
    m.open = true;
    m.sends = (socketMask >> i & 1) != 0;
    m.send.Reset(kCapacity[i]);
    m.send.readPos = m.send.writePos = (start + i * 7919) % (kCapacity[i] + 1);
    s.send.ring.readPos = s.send.ring.writePos = m.send.readPos;
    platform::SocketHandle socket = platform::kInvalidSocket;
    if (i == model.sender || m.sends) {
      int ends[2];
      FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0);
      socket = ends[0];
      m.peer = ends[1];
      // Room for the many small sends of a long batch of chat frames, which each go out at
      // once; the harness reads them after every pump.
      int room = 32 << 20;
      if (::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0) {
        ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
      }
    }
    kavo::OpenSessionWithoutWorkers(s, socket);
    // Without a socket of its own, a session has a send outstanding: writers only queue.
    if (!m.sends) s.send.status.store(kavo::IoStatus::Busy);
  }
  const int peer = model.slots[model.sender].peer;
  model.receive.Reset(kCapacity[model.sender]);
  Session& sender = SessionTable[model.sender];
  model.receive.readPos = model.receive.writePos = start % (kCapacity[model.sender] + 1);
  sender.receive.ring.readPos = sender.receive.ring.writePos = model.receive.readPos;
  FUZZ_CHECK(kavo::EnterSession(sender));  // the sender's network worker is counted in

  const int learnCount = in.Byte() % 8;
  for (int n = 0; n < learnCount; ++n) {
    const int slot = in.Byte() % kSlots;
    std::uint8_t address[6];
    for (std::uint8_t& b : address) b = in.Byte();
    if (!model.slots[slot].used) continue;
    kavo::LearnStation(SessionTable[slot], address);
    model.Learn(slot, address);
  }
  CheckAll(model);

  DrainMode mode = DrainMode::All;
  std::uint8_t held = 0;
  int amount = 0;
  std::vector<std::uint8_t> chunk;
  for (int op = 0; op < kMaxOperations && !in.Empty() && !model.saturated; ++op) {
    const std::uint8_t code = in.Byte();
    chunk.clear();
    if (code < 0xC0) {
      std::size_t taken = 0;
      const std::uint8_t* bytes = in.Take(code, &taken);
      chunk.assign(bytes, bytes + taken);
    } else if (code < 0xE0) {
      AppendFrames(in, code - 0xC0, model, chunk);
    } else if (code < 0xF0) {
      std::uint8_t pattern[16];
      const int patternLength = (code & 15) + 1;
      for (int i = 0; i < patternLength; ++i) pattern[i] = in.Byte();
      const std::size_t total = (static_cast<std::size_t>(in.Byte()) + 1) * 256;
      chunk.resize(total);
      std::memcpy(chunk.data(), pattern, static_cast<std::size_t>(patternLength));
      // Whole copies of the pattern double until the chunk is full.
      for (auto filled = static_cast<std::size_t>(patternLength); filled < total; filled *= 2) {
        std::memcpy(chunk.data() + filled, chunk.data(),
                    filled < total - filled ? filled : total - filled);
      }
    } else {
      mode = static_cast<DrainMode>(code & 3);
      held = in.Byte();
      amount = in.Byte() * 16 + 1;
      if ((code & 4) == 0) continue;
    }
    if (!chunk.empty() && sender.state.load() == SessionState::Open) Deliver(model, peer, chunk);
    CheckAll(model);
    Drain(model, mode, held, amount);
    CheckAll(model, (op & 15) == 15);
  }
  CheckAll(model, true);

  // The end of the connection: every session closed, the sender's worker counted out last.
  for (int i = 0; i < kSlots; ++i) {
    if (model.slots[i].used && i != model.sender) kavo::CloseSession(SessionTable[i]);
  }
  kavo::CloseSession(sender);
  kavo::LeaveSession(sender);
  for (int i = 0; i < kSlots; ++i) {
    FUZZ_CHECK(SessionTable[i].state.load() == SessionState::Free);
    if (model.slots[i].peer >= 0) ::close(model.slots[i].peer);
  }
  return 0;
}
