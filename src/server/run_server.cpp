#include "diag/diag.h"
#include "platform/platform.h"
#include "server/server.h"
#include "session/session.h"

namespace kavo {
namespace {

char g_serverValue[kServerValueSize];
char g_portValue[kPortValueSize];

}  // namespace

platform::SocketHandle OpenListener(const char* address, std::uint16_t port) {
  std::uint32_t ip = platform::ParseIPv4(address);
  if (ip == platform::kAddressNone) return platform::kInvalidSocket;
  platform::SocketHandle listener = platform::OpenTcpSocket();
  if (listener == platform::kInvalidSocket) return platform::kInvalidSocket;
  if (platform::BindSocket(listener, ip, port) != 0) {
    PrintErr("%s\n", DescribeSocketError("bind() failed", 0));
    int error = platform::LastSocketError();
    platform::CloseSocket(listener);
    platform::SetLastSocketError(error);
    return platform::kInvalidSocket;
  }
  // A listener that cannot listen would make every accept fail at once, for ever.
  if (platform::ListenSocket(listener, platform::kMaxBacklog) != 0) {
    int error = platform::LastSocketError();
    platform::CloseSocket(listener);
    platform::SetLastSocketError(error);
    return platform::kInvalidSocket;
  }
  return listener;
}

int RunServer() {
  PrintOut("KAVO Ver0.5a\n");
  PrintOut("This program is remodeled from LUNDE Ver%d.%d\n\n", 0, 5);
  ReadSetting("Server", "", g_serverValue, kServerValueSize);
  ReadSetting("Port", "443", g_portValue, kPortValueSize);
  std::int32_t port = ConvertPortText(g_portValue);
  ResetSessionTable();

  PrintOut("リスナーを初期化しています...\n");
  platform::SocketHandle listener =
      OpenListener(g_serverValue, platform::HostToNet16(static_cast<std::uint16_t>(port)));
  if (listener == platform::kInvalidSocket) {
    PrintOut("\n%s\n", DescribeSocketError("リスナー初期化時エラー", 0));
    return kExitListenerFailed;
  }

  for (;;) AcceptNextClient(listener);
}

void AcceptNextClient(platform::SocketHandle listener) {
  PrintOut("接続を待っています...\n");
  int index = FindFreeSession();
  while (index < 0) {
    platform::SleepMs(kSlotWaitMs);
    index = FindFreeSession();
  }
  Session& session = SessionTable[index];
  if (!AcceptSession(session, listener)) {
    PrintOut("%s\n", DescribeSocketError("accept() failed", 0));
    return;
  }
  PrintOut("接続セッション番号 : %d\n", index);
  char address[16];
  platform::FormatIPv4(session.peerAddress.address, address);
  PrintOut("クライアント %s:%u.\n", address,
           static_cast<unsigned>(platform::NetToHost16(session.peerAddress.port)));
}

int ProcessEntry() {
  StartSessionClock();
  int code = platform::StartSockets();
  if (code != 0) {
    PrintErr("WSAStartup()関数がエラーを返しました。エラーコードは %d です。Windowsのバージョンが古い?\n",
             code);
    return kExitSocketsUnavailable;
  }
  int result = RunServer();
  platform::StopSockets();
  return result;
}

}  // namespace kavo
