// The running program's side of the one-instance socket: callers are read
// as the loop sees them, and their requests handed to the window from a
// timer's turn of the loop, never from inside the wait that saw them.
#include "instance_channel.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "event_sources.h"
#include "layer_model.h"

namespace layer {
namespace {

// Callers' handles: values no window has (windows' are a multiple of four
// from their base), so a send to one never reaches a window.
constexpr uintptr_t kPeerHandleBase = 0x10002;
// More waiting callers than this and the oldest is let go.
constexpr size_t kPeerLimit = 8;
constexpr UINT kSweepPeriodMs = 250;

// A line of an answer: tabs and line ends of the program's texts escaped,
// so one answer stays one line whatever a file is called.
void AppendEscaped(std::string& line, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      default: line += c; break;
    }
  }
}

struct Peer {
  int fd = -1;
  uint32_t watch = 0;
  uint32_t token = 0;
  std::string request;
  bool complete = false;
  bool answered = false;  // the program sent an answer back
  std::string answer;
  std::chrono::steady_clock::time_point deadline;
};

struct Channel {
  int fd = -1;
  uint32_t watch = 0;
  std::string path;
  std::vector<Peer> peers;
  uint32_t next_token = 1;
  UINT_PTR sweep = 0;
  UINT_PTR delivery = 0;
  bool delivering = false;
};
Channel channel;

Peer* PeerOf(uint32_t token) {
  for (Peer& peer : channel.peers)
    if (peer.token == token) return &peer;
  return nullptr;
}

void Drop(uint32_t token) {
  for (auto it = channel.peers.begin(); it != channel.peers.end(); ++it) {
    if (it->token != token) continue;
    UnwatchDescriptor(it->watch);
    CloseCaller(it->fd);
    channel.peers.erase(it);
    return;
  }
}

void Answer(uint32_t token, const std::string& line) {
  if (Peer* peer = PeerOf(token)) SendLine(peer->fd, line);
  Drop(token);
}

void CALLBACK Sweep(HWND, UINT, UINT_PTR, DWORD);
void CALLBACK Deliver(HWND, UINT, UINT_PTR, DWORD);

void StartSweep() {
  if (channel.sweep == 0) channel.sweep = SetTimer(nullptr, 0, kSweepPeriodMs, Sweep);
}

// A caller that has not sent its whole line in time is let go.
void CALLBACK Sweep(HWND, UINT, UINT_PTR, DWORD) {
  auto now = std::chrono::steady_clock::now();
  std::vector<uint32_t> late;
  for (const Peer& peer : channel.peers)
    if (!peer.complete && now >= peer.deadline) late.push_back(peer.token);
  for (uint32_t token : late) Answer(token, "error the request took longer than 2 s");
  if (channel.peers.empty() && channel.sweep != 0) {
    KillTimer(nullptr, channel.sweep);
    channel.sweep = 0;
  }
}

// The window requests go to: the program's first top-level window.
HWND RequestWindow() {
  for (const auto& [id, window] : Model().windows)
    if (window->parent == 0 && !window->destroying) return HandleOf(id);
  return nullptr;
}

// Requests reach the program from a timer's turn of the loop, never from
// inside the wait that saw them.
void CALLBACK Deliver(HWND, UINT, UINT_PTR, DWORD) {
  KillTimer(nullptr, channel.delivery);
  channel.delivery = 0;
  // Whatever the program does with one request may run the loop again.
  if (channel.delivering) return;
  channel.delivering = true;
  for (;;) {
    uint32_t token = 0;
    for (const Peer& peer : channel.peers)
      if (peer.complete) {
        token = peer.token;
        break;
      }
    if (token == 0) break;
    std::string request = PeerOf(token)->request;
    HWND window = RequestWindow();
    if (window == nullptr) {
      Answer(token, "error the program has no window to take it");
      continue;
    }
    COPYDATASTRUCT data{kInstanceRequestTag, static_cast<DWORD>(request.size()), request.data()};
    LRESULT taken = SendMessageA(window, WM_COPYDATA, reinterpret_cast<WPARAM>(kPeerHandleBase + 4 * uintptr_t{token}),
                                 reinterpret_cast<LPARAM>(&data));
    Peer* peer = PeerOf(token);
    if (peer == nullptr) continue;
    std::string line = taken != 0 ? "ok" : "error";
    if (peer->answered) {
      line += ' ';
      AppendEscaped(line, peer->answer);
    } else if (taken == 0) {
      line += " the program did not take the request";
    }
    Answer(token, line);
  }
  channel.delivering = false;
}

void ReadPeer(int fd, short revents, void* context) {
  auto token = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context));
  Peer* peer = PeerOf(token);
  if (peer == nullptr || peer->fd != fd) return;
  if (!ReadCaller(fd, &peer->request) || (revents & (POLLERR | POLLNVAL)) != 0) {
    Drop(token);
    return;
  }
  size_t end = peer->request.find('\n');
  if (end == std::string::npos ? peer->request.size() >= kInstanceLineLimit : end >= kInstanceLineLimit) {
    Answer(token, "error the request is longer than 4 KiB");
    return;
  }
  if (end == std::string::npos) return;
  peer->request.resize(end);
  if (!peer->request.empty() && peer->request.back() == '\r') peer->request.pop_back();
  peer->complete = true;
  UnwatchDescriptor(peer->watch);
  peer->watch = 0;
  if (channel.delivery == 0) channel.delivery = SetTimer(nullptr, 0, 0, Deliver);
}

void AcceptPeers(int, short, void*) {
  for (int fd; (fd = AcceptCaller(channel.fd)) >= 0;) {
    if (channel.peers.size() >= kPeerLimit) Answer(channel.peers.front().token, "error too many callers at once");
    Peer peer;
    peer.fd = fd;
    peer.token = channel.next_token++;
    if (channel.next_token > 0x3FFFFFFF) channel.next_token = 1;
    peer.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kInstanceTimeoutMs);
    peer.watch = WatchDescriptor(fd, POLLIN, nullptr, ReadPeer, reinterpret_cast<void*>(uintptr_t{peer.token}));
    channel.peers.push_back(std::move(peer));
    StartSweep();
  }
}

}  // namespace

// An answer the program sends back to a caller's window.
bool SendToPeer(HWND hwnd, UINT message, LPARAM lparam, LRESULT* result) {
  auto value = reinterpret_cast<uintptr_t>(hwnd);
  if (value < kPeerHandleBase || (value - kPeerHandleBase) % 4 != 0) return false;
  Peer* peer = PeerOf(static_cast<uint32_t>((value - kPeerHandleBase) / 4));
  if (peer == nullptr) return false;
  *result = FALSE;
  const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
  if (message != WM_COPYDATA || data == nullptr || data->dwData != kInstanceRequestTag) return true;
  size_t size = std::min<size_t>(data->cbData, kInstanceLineLimit);
  peer->answer.assign(static_cast<const char*>(data->lpData), data->lpData != nullptr ? size : 0);
  peer->answered = true;
  *result = TRUE;
  return true;
}

namespace {

void CloseChannel() {
  while (!channel.peers.empty()) Drop(channel.peers.front().token);
  if (channel.sweep != 0) KillTimer(nullptr, channel.sweep);
  if (channel.delivery != 0) KillTimer(nullptr, channel.delivery);
  if (channel.fd >= 0) {
    UnwatchDescriptor(channel.watch);
    CloseCaller(channel.fd);
    RemoveSocketFile(channel.path);
  }
  channel = Channel{};
}

}  // namespace

bool OpenInstanceChannel(std::string_view name, std::string* why) {
  CloseChannel();
  std::string path = InstanceSocketPath(name, why);
  if (path.empty()) return false;
  int fd = ListenAt(path, why);
  if (fd < 0) return false;
  channel.fd = fd;
  channel.path = path;
  channel.watch = WatchDescriptor(fd, POLLIN, nullptr, AcceptPeers, nullptr);
  return true;
}

void CloseInstanceChannel() {
  CloseChannel();
  // Only after the socket went: a start that takes the name next binds anew.
  ReleaseInstanceClaim();
}

void ResetInstanceChannel() { CloseInstanceChannel(); }

}  // namespace layer
