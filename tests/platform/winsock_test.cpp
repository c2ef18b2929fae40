// Windows Sockets over real loopback connections: look-ups, the blocking
// calls, and the order of the notifications WSAAsyncSelect posts.
#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_peer_helpers.h"
#include "message_log_helpers.h"
#include "message_pump.h"

namespace {

using platformtest::LayerTest;

constexpr UINT kSocketMessage = WM_USER + 1;  // the program's 1025

struct Event {
  WORD event;
  WORD error;
};

class WinsockTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    window_ = platformtest::CreateLogged();
    ASSERT_NE(window_, nullptr);
    platformtest::SetHandler([this](HWND, UINT message, WPARAM wparam, LPARAM lparam) -> std::optional<LRESULT> {
      if (message != kSocketMessage) return std::nullopt;
      events_.push_back(Event{WSAGETSELECTEVENT(lparam), WSAGETSELECTERROR(lparam)});
      EXPECT_EQ(wparam, client_);
      if (WSAGETSELECTEVENT(lparam) == FD_READ && read_on_event_) {
        char buffer[1024];
        int n = recv(static_cast<SOCKET>(wparam), buffer, sizeof buffer, 0);
        reads_.push_back(n);
        if (n > 0) received_.append(buffer, static_cast<size_t>(n));
      }
      return 0;
    });
  }
  void TearDown() override {
    if (client_ != INVALID_SOCKET) closesocket(client_);
    WSACleanup();
    LayerTest::TearDown();
  }

  // A connected Winsock client of `listener`, and the peer's end of it.
  int Connect(peertest::Listener& listener) {
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(client_, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(listener.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int peer = listener.Accept();
    EXPECT_GE(peer, 0);
    return peer;
  }

  void Select() { ASSERT_EQ(WSAAsyncSelect(client_, window_, kSocketMessage, FD_READ | FD_CLOSE), 0); }

  // Runs the real loop; every wait ends by the layer's own timer.
  void PumpFor(int ms) { testsupport::PumpFor(ms); }
  bool PumpUntil(const std::function<bool()>& done, int ms) { return testsupport::PumpUntil(done, ms); }

  bool Closed() const { return !events_.empty() && events_.back().event == FD_CLOSE; }

  std::vector<WORD> EventKinds() const {
    std::vector<WORD> kinds;
    for (const Event& e : events_) kinds.push_back(e.event);
    return kinds;
  }

  HWND window_ = nullptr;
  SOCKET client_ = INVALID_SOCKET;
  bool read_on_event_ = true;
  std::vector<Event> events_;
  std::vector<int> reads_;
  std::string received_;
};

TEST_F(WinsockTest, ShortAndLongResponsesArriveAsReadsThenOneClose) {
  for (size_t size : {size_t{5}, size_t{300000}}) {
    SCOPED_TRACE(size);
    events_.clear();
    reads_.clear();
    received_.clear();
    peertest::Listener listener;
    int peer = Connect(listener);
    Select();
    std::string sent;
    for (size_t i = 0; i < size; ++i) sent += static_cast<char>('a' + i % 23);
    peertest::SendAll(peer, sent);
    peertest::Close(peer);

    ASSERT_TRUE(PumpUntil([this] { return Closed(); }, 5000));
    PumpFor(50);
    EXPECT_EQ(received_, sent);
    ASSERT_GE(events_.size(), 2u);
    // Every read found data; the close came once, after the last of them.
    for (size_t i = 0; i + 1 < events_.size(); ++i) EXPECT_EQ(events_[i].event, FD_READ) << i;
    for (int n : reads_) EXPECT_GT(n, 0);
    EXPECT_EQ(events_.back().event, FD_CLOSE);
    EXPECT_EQ(events_.back().error, 0);
    closesocket(client_);
    client_ = INVALID_SOCKET;
  }
}

TEST_F(WinsockTest, PeerThatClosesAtOnceGivesOnlyTheClose) {
  peertest::Listener listener;
  int peer = Connect(listener);
  Select();
  peertest::Close(peer);
  ASSERT_TRUE(PumpUntil([this] { return Closed(); }, 2000));
  PumpFor(50);
  EXPECT_EQ(EventKinds(), std::vector<WORD>{FD_CLOSE});
  // After the close there is nothing more to read: an orderly end of data.
  char byte;
  EXPECT_EQ(recv(client_, &byte, 1, 0), 0);
  PumpFor(50);
  EXPECT_EQ(events_.size(), 1u);
}

TEST_F(WinsockTest, PeerThatNeverAnswersGivesNoEventAndRecvWouldBlock) {
  peertest::Listener listener;
  int peer = Connect(listener);
  Select();
  PumpFor(200);
  EXPECT_TRUE(events_.empty());
  char buffer[16];
  EXPECT_EQ(recv(client_, buffer, sizeof buffer, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpFor(50);
  EXPECT_TRUE(events_.empty());
  peertest::Close(peer);
}

TEST_F(WinsockTest, ReadIsPostedOnceUntilRecvRearmsIt) {
  peertest::Listener listener;
  int peer = Connect(listener);
  read_on_event_ = false;
  Select();
  peertest::SendAll(peer, "first");
  PumpUntil([this] { return !events_.empty(); }, 2000);
  peertest::SendAll(peer, "second");
  PumpFor(100);
  EXPECT_EQ(EventKinds(), std::vector<WORD>{FD_READ});

  char buffer[4];
  ASSERT_EQ(recv(client_, buffer, sizeof buffer, 0), 4);
  ASSERT_TRUE(PumpUntil([this] { return events_.size() == 2; }, 2000));
  PumpFor(50);
  EXPECT_EQ(EventKinds(), (std::vector<WORD>{FD_READ, FD_READ}));
  // A peek takes nothing, so it does not re-arm the notification.
  ASSERT_GT(recv(client_, buffer, sizeof buffer, MSG_PEEK), 0);
  PumpFor(50);
  EXPECT_EQ(events_.size(), 2u);
  peertest::Close(peer);
}

TEST_F(WinsockTest, CloseWaitsUntilEverythingHasBeenRead) {
  peertest::Listener listener;
  int peer = Connect(listener);
  read_on_event_ = false;
  Select();
  peertest::SendAll(peer, "0123456789");
  peertest::Close(peer);
  PumpFor(150);
  EXPECT_EQ(EventKinds(), std::vector<WORD>{FD_READ});

  char buffer[8];
  ASSERT_EQ(recv(client_, buffer, sizeof buffer, 0), 8);
  ASSERT_TRUE(PumpUntil([this] { return events_.size() == 2; }, 2000));
  EXPECT_EQ(events_[1].event, FD_READ);  // two bytes were still waiting
  ASSERT_EQ(recv(client_, buffer, sizeof buffer, 0), 2);
  ASSERT_TRUE(PumpUntil([this] { return Closed(); }, 2000));
  PumpFor(100);
  EXPECT_EQ(EventKinds(), (std::vector<WORD>{FD_READ, FD_READ, FD_CLOSE}));
}

TEST_F(WinsockTest, ResetConnectionClosesWithTheResetError) {
  peertest::Listener listener;
  int peer = Connect(listener);
  Select();
  peertest::Reset(peer);
  ASSERT_TRUE(PumpUntil([this] { return Closed(); }, 2000));
  EXPECT_EQ(events_.back().error, WSAECONNRESET);
  // Writing to a connection the peer reset is an error code, not a signal.
  EXPECT_EQ(send(client_, "x", 1, 0), SOCKET_ERROR);
}

TEST_F(WinsockTest, EventsForADestroyedWindowAreDropped) {
  peertest::Listener listener;
  int peer = Connect(listener);
  Select();
  peertest::SendAll(peer, "data");
  MSG msg;
  // The loop notices the data and posts; then the window goes before the
  // message is taken.
  PeekMessageA(&msg, nullptr, kSocketMessage, kSocketMessage, PM_NOREMOVE);
  DestroyWindow(window_);
  peertest::Close(peer);
  PumpFor(100);
  EXPECT_TRUE(events_.empty());
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, kSocketMessage, kSocketMessage, PM_REMOVE));
}

TEST_F(WinsockTest, ClosedSocketStopsItsEventsEvenWhenItsNumberReturns) {
  peertest::Listener listener;
  int peer = Connect(listener);
  Select();
  ASSERT_EQ(closesocket(client_), 0);
  SOCKET closed = client_;
  client_ = INVALID_SOCKET;
  // A file that takes the freed number must not be mistaken for the socket.
  int file = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  peertest::SendAll(peer, "late");
  PumpFor(100);
  EXPECT_TRUE(events_.empty());
  char byte;
  if (static_cast<SOCKET>(file) == closed) {
    EXPECT_EQ(recv(closed, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  }
  close(file);
  peertest::Close(peer);
}

TEST_F(WinsockTest, LookUpsOfNamesAndServices) {
  hostent* host = gethostbyname("localhost");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->h_addrtype, AF_INET);
  EXPECT_EQ(host->h_length, 4);
  ASSERT_NE(host->h_addr_list[0], nullptr);
  in_addr first;
  memcpy(&first, host->h_addr, 4);
  EXPECT_EQ(first.S_un.S_un_b.s_b1, 127);

  host = gethostbyname("127.0.0.9");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(static_cast<unsigned char>(host->h_addr_list[0][3]), 9);

  EXPECT_EQ(gethostbyname("no-such-host.invalid"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);

  servent* service = getservbyname("http", "tcp");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->s_port, static_cast<short>(htons(80)));
  EXPECT_STREQ(service->s_proto, "tcp");
  EXPECT_EQ(getservbyname("no-such-service", "tcp"), nullptr);

  EXPECT_EQ(htons(0x1234), 0x3412);
  EXPECT_EQ(htonl(0x01020304u), 0x04030201u);
}

TEST_F(WinsockTest, FailuresReportTheirWinsockCodes) {
  struct sockaddr_in nowhere{};
  nowhere.sin_family = AF_INET;
  nowhere.sin_port = htons(static_cast<unsigned short>(peertest::UnusedPort()));
  nowhere.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&nowhere), sizeof nowhere), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&nowhere), 8), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_WRITE), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSAAsyncSelect(s, nullptr, kSocketMessage, FD_READ), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  closesocket(s);

  // A number that is no socket, however open, is refused.
  int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
  char byte;
  EXPECT_EQ(recv(static_cast<SOCKET>(file), &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(send(static_cast<SOCKET>(file), "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  close(file);
  EXPECT_EQ(recv(INVALID_SOCKET, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

  // Without a start-up nothing works.
  ASSERT_EQ(WSACleanup(), 0);
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(gethostbyname("localhost"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
}

}  // namespace

namespace {

// A connection asked for on notifications answers with one FD_CONNECT: no
// error and then reads when made, the refusal's code when refused.
TEST_F(WinsockTest, ConnectionsUnderSelectionAnswerWithOneConnectEvent) {
  peertest::Listener listener;
  for (int port : {listener.port(), peertest::UnusedPort()}) {
    SCOPED_TRACE(port);
    events_.clear();
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(client_, window_, kSocketMessage, FD_CONNECT | FD_READ | FD_CLOSE), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_TRUE(result == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([this] { return !events_.empty(); }, 5000));
    PumpFor(50);
    ASSERT_EQ(EventKinds(), std::vector<WORD>{FD_CONNECT});
    EXPECT_EQ(events_[0].error, port == listener.port() ? 0 : WSAECONNREFUSED);
    if (port == listener.port()) {
      int peer = listener.Accept();
      peertest::SendAll(peer, "hello");
      peertest::Close(peer);
      ASSERT_TRUE(PumpUntil([this] { return Closed(); }, 5000));
      EXPECT_EQ(received_, "hello");
    }
    closesocket(client_);
    client_ = INVALID_SOCKET;
  }
}

// A name looked up on the side answers by message into the caller's buffer;
// a cancelled one never answers.
TEST_F(WinsockTest, AsynchronousNameLookUpsAnswerByMessage) {
  constexpr UINT kLookupMessage = kSocketMessage + 1;
  std::vector<std::pair<WPARAM, LPARAM>> replies;
  platformtest::SetHandler([&](HWND, UINT message, WPARAM wparam, LPARAM lparam) -> std::optional<LRESULT> {
    if (message != kLookupMessage) return std::nullopt;
    replies.emplace_back(wparam, lparam);
    return 0;
  });
  alignas(hostent) char buffer[MAXGETHOSTSTRUCT];
  struct Case {
    const char* name;
    int length;
    int error;
  } const cases[] = {{"localhost", MAXGETHOSTSTRUCT, 0},
                     {"no-such-host.invalid", MAXGETHOSTSTRUCT, -1},
                     {"localhost", 8, WSAENOBUFS}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.length));
    replies.clear();
    HANDLE task = WSAAsyncGetHostByName(window_, kLookupMessage, c.name, buffer, c.length);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !replies.empty(); }, 15000));
    EXPECT_EQ(replies[0].first, reinterpret_cast<WPARAM>(task));
    int error = WSAGETASYNCERROR(replies[0].second);
    if (c.error >= 0) {
      EXPECT_EQ(error, c.error);
    } else {
      EXPECT_NE(error, 0);
    }
    if (c.error == 0) {
      const auto* host = reinterpret_cast<const hostent*>(buffer);
      ASSERT_NE(host->h_addr_list[0], nullptr);
      EXPECT_EQ(std::string(host->h_addr_list[0], 4), std::string("\x7f\x00\x00\x01", 4));
      EXPECT_STREQ(host->h_name, "localhost");
    }
  }
  replies.clear();
  HANDLE task = WSAAsyncGetHostByName(window_, kLookupMessage, "localhost", buffer, sizeof buffer);
  EXPECT_EQ(WSACancelAsyncRequest(task), 0);
  EXPECT_EQ(WSACancelAsyncRequest(task), SOCKET_ERROR);
  PumpFor(300);
  EXPECT_TRUE(replies.empty());
}

}  // namespace
