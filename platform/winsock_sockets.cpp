// Windows Sockets 1.1 over the system's sockets: start-up and clean-up,
// look-ups, the blocking calls, closesocket, and WSAAsyncSelect, whose readiness reaches the program only as
// posted window messages.
//
// This file sees the Winsock declarations only. The system calls it stands
// on are reached under names of their own (the asm labels below), because
// their C names are the very names Winsock gives its own calls.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "event_sources.h"
#include "layer_control.h"

namespace sys {

// The system's address-information and service records, field for field.
struct AddressInfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  uint32_t ai_addrlen;
  struct sockaddr* ai_addr;
  char* ai_canonname;
  AddressInfo* ai_next;
};

struct ServiceEntry {
  char* s_name;
  char** s_aliases;
  int s_port;  // network byte order in the low 16 bits
  char* s_proto;
};

int Socket(int domain, int type, int protocol) __asm__("socket");
int Connect(int fd, const struct sockaddr* address, uint32_t length) __asm__("connect");
ssize_t Send(int fd, const void* data, size_t length, int flags) __asm__("send");
ssize_t Recv(int fd, void* data, size_t length, int flags) __asm__("recv");
int GetAddressInfo(const char* node, const char* service, const AddressInfo* hints, AddressInfo** result) __asm__(
    "getaddrinfo");
void FreeAddressInfo(AddressInfo* info) __asm__("freeaddrinfo");
int GetSocketOption(int fd, int level, int name, void* value, uint32_t* length) __asm__("getsockopt");
int GetPeerName(int fd, struct sockaddr* address, uint32_t* length) __asm__("getpeername");
int GetServiceByName(const char* name, const char* proto, ServiceEntry* entry, char* buffer, size_t length,
                     ServiceEntry** result) __asm__("getservbyname_r");

// The system's flag values (Linux); Winsock's MSG_OOB and MSG_PEEK agree.
constexpr int kPeek = 0x2;
constexpr int kDontWait = 0x40;
constexpr int kNoSignal = 0x4000;
constexpr int kCloseOnExec = 02000000;
constexpr int kSolSocket = 1;
constexpr int kSoError = 4;
constexpr int kAddrNoName = -2;
constexpr int kAddrAgain = -3;
constexpr int kAddrNoData = -5;

}  // namespace sys

namespace {

int WsaErrorFromErrno(int error) {
  switch (error) {
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
    case EINTR: return WSAEINTR;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EALREADY: return WSAEALREADY;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case EPIPE: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

int Fail(int wsa_error) {
  WSASetLastError(wsa_error);
  return SOCKET_ERROR;
}

// Look-ups answer null and leave the reason for WSAGetLastError.
std::nullptr_t NoResult(int wsa_error) {
  WSASetLastError(wsa_error);
  return nullptr;
}

// WSAStartup calls not yet matched by WSACleanup; sockets exist only while
// there is one.
int wsa_startups = 0;
int wsa_startup_error = 0;  // what WSAStartup answers instead, for tests
thread_local int wsa_last_error = 0;

bool Started() { return wsa_startups > 0; }

// The descriptor behind a SOCKET, or -1 when it names no open socket: a
// stale number must never reach a file that happens to reuse it.
int SocketFd(SOCKET s, struct stat* info = nullptr) {
  struct stat local{};
  if (info == nullptr) info = &local;
  if (s > static_cast<SOCKET>(INT32_MAX)) return -1;
  int fd = static_cast<int>(s);
  if (fstat(fd, info) != 0 || !S_ISSOCK(info->st_mode)) return -1;
  return fd;
}

// One socket under WSAAsyncSelect. The descriptor is watched only while an
// event may still be due and none is waiting to be taken; the device and
// inode tell a closed socket from a new one with the same number.
struct Selection {
  int fd;
  dev_t device;
  ino_t inode;
  HWND window;
  UINT message;
  LONG events;
  uint32_t watch = 0;
  bool read_posted = false;   // FD_READ posted; recv re-arms it
  bool close_posted = false;  // FD_CLOSE comes only once
  bool awaiting_connect = false;  // FD_CONNECT asked for, connect not yet called
  bool connecting = false;        // connect under way: watched for writability
};

std::vector<Selection> selections;

Selection* FindSelection(int fd) {
  for (Selection& s : selections)
    if (s.fd == fd) return &s;
  return nullptr;
}

void StopWatching(Selection& s) {
  if (s.watch != 0) layer::UnwatchDescriptor(s.watch);
  s.watch = 0;
}

void Forget(int fd) {
  auto it = std::find_if(selections.begin(), selections.end(), [fd](const Selection& s) { return s.fd == fd; });
  if (it == selections.end()) return;
  StopWatching(*it);
  selections.erase(it);
}

bool SameSocket(const Selection& s) {
  struct stat info{};
  return SocketFd(static_cast<SOCKET>(s.fd), &info) == s.fd && info.st_dev == s.device && info.st_ino == s.inode;
}

void OnReady(int fd, short revents, void* context);
void OnConnected(int fd, short revents, void* context);

void StartWatching(Selection& s) {
  if (s.watch != 0 || s.read_posted || s.close_posted || s.awaiting_connect) return;
  s.watch = s.connecting ? layer::WatchDescriptor(s.fd, POLLOUT, s.window, OnConnected, nullptr)
                         : layer::WatchDescriptor(s.fd, POLLIN, s.window, OnReady, nullptr);
}

void Post(Selection& s, WORD event, WORD error) {
  if (!PostMessageA(s.window, s.message, static_cast<WPARAM>(s.fd),
                    static_cast<LPARAM>(WSAMAKESELECTREPLY(event, error)))) {
    // The window is gone: nothing will ever take its events.
    Forget(s.fd);
  }
}

// Readiness seen by the wait loop: peek to tell data from an orderly close
// from a failed connection, then post at most one message.
void OnReady(int fd, short revents, void*) {
  Selection* s = FindSelection(fd);
  if (s == nullptr || (revents & POLLNVAL) != 0 || !SameSocket(*s)) {
    if (s != nullptr) Forget(fd);
    return;
  }
  char byte;
  ssize_t n = sys::Recv(fd, &byte, 1, sys::kPeek | sys::kDontWait);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  StopWatching(*s);
  if (n > 0) {
    // Parked until recv, even when FD_READ was not asked for: data that
    // nobody reads must not keep the loop awake.
    s->read_posted = true;
    if ((s->events & FD_READ) != 0) Post(*s, FD_READ, 0);
    return;
  }
  s->close_posted = true;
  WORD error = n == 0 ? 0 : static_cast<WORD>(WsaErrorFromErrno(errno));
  if ((s->events & FD_CLOSE) != 0) Post(*s, FD_CLOSE, error);
}

// The connection under way is made or has failed: FD_CONNECT tells which,
// and only a made one goes on to read and close events.
void OnConnected(int fd, short, void*) {
  Selection* s = FindSelection(fd);
  if (s == nullptr || !SameSocket(*s)) {
    if (s != nullptr) Forget(fd);
    return;
  }
  int error = 0;
  uint32_t length = sizeof error;
  if (sys::GetSocketOption(fd, sys::kSolSocket, sys::kSoError, &error, &length) != 0) error = errno;
  StopWatching(*s);
  s->connecting = false;
  if (error != 0) s->close_posted = true;
  bool wanted = (s->events & FD_CONNECT) != 0;
  WORD code = error == 0 ? 0 : static_cast<WORD>(WsaErrorFromErrno(error));
  if (wanted) Post(*s, FD_CONNECT, code);
  if (error == 0 && (s = FindSelection(fd)) != nullptr) StartWatching(*s);
}

// recv re-enables FD_READ; data still waiting then brings the next one.
void Rearm(int fd) {
  Selection* s = FindSelection(fd);
  if (s == nullptr || !s->read_posted) return;
  if (!SameSocket(*s)) {
    Forget(fd);
    return;
  }
  s->read_posted = false;
  StartWatching(*s);
}

// A name look-up runs on a thread of its own so the caller waits at most
// this long; one the resolver never answers is left to finish unseen.
constexpr auto kLookupLimit = std::chrono::seconds(10);
constexpr int kMaxAddresses = 16;

struct Lookup {
  std::mutex mutex;
  std::condition_variable finished_signal;
  bool finished = false;
  int result = 0;
  std::vector<std::array<char, 4>> addresses;
  int done_pipe[2] = {-1, -1};  // an asynchronous look-up's wake-up; closed by the last owner
  ~Lookup() {
    for (int fd : done_pipe)
      if (fd >= 0) close(fd);
  }
};

void RunLookup(const std::shared_ptr<Lookup>& lookup, const std::string& name) {
  sys::AddressInfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  sys::AddressInfo* found = nullptr;
  int result = sys::GetAddressInfo(name.c_str(), nullptr, &hints, &found);
  std::vector<std::array<char, 4>> addresses;
  for (sys::AddressInfo* a = result == 0 ? found : nullptr; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    std::array<char, 4> bytes;
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    addresses.push_back(bytes);
  }
  if (found != nullptr) sys::FreeAddressInfo(found);
  std::lock_guard lock(lookup->mutex);
  lookup->result = result;
  lookup->addresses = std::move(addresses);
  lookup->finished = true;
  lookup->finished_signal.notify_one();
  if (lookup->done_pipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(lookup->done_pipe[1], &byte, 1);
    (void)ignored;
  }
}

int WinsockLookupError(int result) {
  return result == sys::kAddrAgain    ? WSATRY_AGAIN
         : result == sys::kAddrNoData ? WSANO_DATA
         : result == sys::kAddrNoName ? WSAHOST_NOT_FOUND
                                      : WSANO_RECOVERY;
}

// An asynchronous look-up in flight; its task handle is its id.
struct AsyncLookup {
  uintptr_t id;
  HWND window;
  UINT message;
  char* buffer;
  int length;
  std::string name;
  std::shared_ptr<Lookup> lookup;
  uint32_t watch;
};

std::vector<AsyncLookup> async_lookups;
uintptr_t next_task = 1;

// A hostent and all it points to, laid out in the caller's buffer. Returns
// the size it needs; nothing is written when that is more than `length`.
int LayOutHost(const std::string& name, const std::vector<std::array<char, 4>>& found, char* buffer, int length) {
  size_t count = std::min<size_t>(found.size(), kMaxAddresses);
  size_t pointers = sizeof(hostent) + sizeof(char*) * (1 + count + 1);
  size_t needed = pointers + 4 * count + name.size() + 1;
  if (needed > static_cast<size_t>(length)) return static_cast<int>(needed);
  auto* entry = reinterpret_cast<hostent*>(buffer);
  auto** aliases = reinterpret_cast<char**>(buffer + sizeof(hostent));
  char** list = aliases + 1;
  char* bytes = buffer + pointers;
  char* text = bytes + 4 * count;
  aliases[0] = nullptr;
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(bytes + 4 * i, found[i].data(), 4);
    list[i] = bytes + 4 * i;
  }
  list[count] = nullptr;
  std::memcpy(text, name.c_str(), name.size() + 1);
  entry->h_name = text;
  entry->h_aliases = aliases;
  entry->h_addrtype = AF_INET;
  entry->h_length = 4;
  entry->h_addr_list = list;
  return static_cast<int>(needed);
}

// Runs inside the wait loop once a look-up's thread has finished: the
// answer becomes the posted message.
void OnLookupDone(int, short, void* context) {
  auto id = reinterpret_cast<uintptr_t>(context);
  auto it = std::find_if(async_lookups.begin(), async_lookups.end(), [id](const AsyncLookup& a) { return a.id == id; });
  if (it == async_lookups.end()) return;
  AsyncLookup done = std::move(*it);
  async_lookups.erase(it);
  layer::UnwatchDescriptor(done.watch);
  std::lock_guard lock(done.lookup->mutex);
  int error = 0, needed = 0;
  if (done.lookup->result != 0) {
    error = WinsockLookupError(done.lookup->result);
  } else if (done.lookup->addresses.empty()) {
    error = WSANO_DATA;
  } else {
    needed = LayOutHost(done.name, done.lookup->addresses, done.buffer, done.length);
    if (needed > done.length) error = WSAENOBUFS;
  }
  PostMessageA(done.window, done.message, static_cast<WPARAM>(done.id),
               static_cast<LPARAM>(WSAMAKEASYNCREPLY(needed, error)));
}

// Look-up results live per thread, as Winsock keeps them.
constexpr int kNameCapacity = 256;

struct HostStorage {
  hostent entry;
  char name[kNameCapacity];
  char* aliases[1];
  char addresses[kMaxAddresses][4];
  char* address_list[kMaxAddresses + 1];
};

struct ServiceStorage {
  servent entry;
  char name[kNameCapacity];
  char proto[32];
  char* aliases[1];
};

thread_local HostStorage host_storage;
thread_local ServiceStorage service_storage;

void CopyCut(char* destination, size_t capacity, const char* source) {
  size_t length = std::min(std::strlen(source), capacity - 1);
  std::memcpy(destination, source, length);
  destination[length] = '\0';
}

}  // namespace

SOCKET WINAPI socket(int af, int type, int protocol) {
  if (!Started()) {
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  int fd = sys::Socket(af, type | sys::kCloseOnExec, protocol);
  if (fd < 0) {
    WSASetLastError(WsaErrorFromErrno(errno));
    return INVALID_SOCKET;
  }
  Forget(fd);  // whatever selection this number had belonged to a closed socket
  return static_cast<SOCKET>(fd);
}

int WINAPI connect(SOCKET s, const struct sockaddr* name, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  int fd = SocketFd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
  Selection* selection = FindSelection(fd);
  bool notify = selection != nullptr && selection->awaiting_connect && SameSocket(*selection);
  if (sys::Connect(fd, name, static_cast<uint32_t>(namelen)) != 0) {
    int error = errno;
    if (notify && error == EINPROGRESS) {
      // As on Windows: the call returns at once and FD_CONNECT follows.
      selection->awaiting_connect = false;
      selection->connecting = true;
      StartWatching(*selection);
    }
    return Fail(WsaErrorFromErrno(error));
  }
  if (notify) {
    selection->awaiting_connect = false;
    selection->connecting = true;  // made at once: the watch reports it straight away
    StartWatching(*selection);
  }
  return 0;
}

int WINAPI send(SOCKET s, const char* buf, int len, int flags) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  int fd = SocketFd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  // A peer that has gone must be an error code, never a SIGPIPE.
  ssize_t n = sys::Send(fd, buf, static_cast<size_t>(len), (flags & MSG_OOB) | sys::kNoSignal);
  if (n < 0) return Fail(WsaErrorFromErrno(errno));
  return static_cast<int>(n);
}

int WINAPI recv(SOCKET s, char* buf, int len, int flags) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  int fd = SocketFd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  ssize_t n = sys::Recv(fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK));
  int error = errno;
  if ((flags & MSG_PEEK) == 0) Rearm(fd);
  if (n < 0) return Fail(WsaErrorFromErrno(error));
  return static_cast<int>(n);
}

struct hostent* WINAPI gethostbyname(const char* name) {
  if (!Started()) return NoResult(WSANOTINITIALISED);
  if (name == nullptr) return NoResult(WSAEFAULT);
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread(RunLookup, lookup, std::string(name)).detach();
  } catch (const std::system_error&) {
    return NoResult(WSATRY_AGAIN);
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->finished_signal.wait_for(lock, kLookupLimit, [&] { return lookup->finished; }))
    return NoResult(WSATRY_AGAIN);
  int result = lookup->result;
  if (result != 0) {
    WSASetLastError(WinsockLookupError(result));
    return nullptr;
  }
  HostStorage& h = host_storage;
  CopyCut(h.name, sizeof h.name, name);
  int count = 0;
  for (const auto& bytes : lookup->addresses) {
    if (count == kMaxAddresses) break;
    std::memcpy(h.addresses[count], bytes.data(), 4);
    h.address_list[count] = h.addresses[count];
    ++count;
  }
  if (count == 0) return NoResult(WSANO_DATA);
  h.address_list[count] = nullptr;
  h.aliases[0] = nullptr;
  h.entry.h_name = h.name;
  h.entry.h_aliases = h.aliases;
  h.entry.h_addrtype = AF_INET;
  h.entry.h_length = 4;
  h.entry.h_addr_list = h.address_list;
  return &h.entry;
}

HANDLE WINAPI WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int length) {
  if (!Started()) return NoResult(WSANOTINITIALISED);
  if (name == nullptr || buffer == nullptr || length <= 0 ||
      reinterpret_cast<uintptr_t>(buffer) % alignof(hostent) != 0)
    return NoResult(WSAEFAULT);
  if (!IsWindow(window)) return NoResult(WSAEINVAL);
  auto lookup = std::make_shared<Lookup>();
  if (pipe2(lookup->done_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return NoResult(WSAENOBUFS);
  uintptr_t id = next_task++;
  uint32_t watch =
      layer::WatchDescriptor(lookup->done_pipe[0], POLLIN, window, OnLookupDone, reinterpret_cast<void*>(id));
  if (watch == 0) return NoResult(WSAENOBUFS);
  try {
    std::thread(RunLookup, lookup, std::string(name)).detach();
  } catch (const std::system_error&) {
    layer::UnwatchDescriptor(watch);
    return NoResult(WSAENOBUFS);
  }
  async_lookups.push_back(AsyncLookup{id, window, message, buffer, length, name, lookup, watch});
  return reinterpret_cast<HANDLE>(id);
}

int WINAPI WSACancelAsyncRequest(HANDLE task) {
  auto id = reinterpret_cast<uintptr_t>(task);
  auto it = std::find_if(async_lookups.begin(), async_lookups.end(), [id](const AsyncLookup& a) { return a.id == id; });
  if (it == async_lookups.end()) return Fail(WSAEINVAL);
  // The thread finishes unseen; its pipe closes with the last owner.
  layer::UnwatchDescriptor(it->watch);
  async_lookups.erase(it);
  return 0;
}

struct servent* WINAPI getservbyname(const char* name, const char* proto) {
  if (!Started()) return NoResult(WSANOTINITIALISED);
  if (name == nullptr) return NoResult(WSAEFAULT);
  sys::ServiceEntry entry{};
  sys::ServiceEntry* found = nullptr;
  char buffer[4096];
  if (sys::GetServiceByName(name, proto, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
    return NoResult(WSANO_DATA);
  ServiceStorage& s = service_storage;
  CopyCut(s.name, sizeof s.name, found->s_name != nullptr ? found->s_name : name);
  CopyCut(s.proto, sizeof s.proto, found->s_proto != nullptr ? found->s_proto : "");
  s.aliases[0] = nullptr;
  s.entry.s_name = s.name;
  s.entry.s_aliases = s.aliases;
  s.entry.s_port = static_cast<short>(found->s_port & 0xffff);
  s.entry.s_proto = s.proto;
  return &s.entry;
}

int WINAPI WSAAsyncSelect(SOCKET s, HWND window, UINT message, LONG events) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  struct stat info{};
  int fd = SocketFd(s, &info);
  if (fd < 0) return Fail(WSAENOTSOCK);
  Forget(fd);
  if (events == 0) return 0;
  // Only the events this layer can tell apart are accepted.
  if ((events & ~(FD_READ | FD_CLOSE | FD_CONNECT)) != 0 || !IsWindow(window)) return Fail(WSAEINVAL);
  int mode = fcntl(fd, F_GETFL);
  if (mode < 0 || fcntl(fd, F_SETFL, mode | O_NONBLOCK) != 0) return Fail(WsaErrorFromErrno(errno));
  selections.push_back(Selection{fd, info.st_dev, info.st_ino, window, message, events});
  Selection& added = selections.back();
  // A socket not yet connected is watched once connect has been called:
  // before that the system would call it closed.
  sockaddr peer{};
  uint32_t peer_length = sizeof peer;
  if ((events & FD_CONNECT) != 0 && sys::GetPeerName(fd, &peer, &peer_length) != 0) {
    added.awaiting_connect = true;
    return 0;
  }
  StartWatching(added);
  if (added.watch == 0) {
    Forget(fd);
    return Fail(WSAENOBUFS);
  }
  return 0;
}

int WINAPI WSAStartup(WORD version_requested, LPWSADATA data) {
  if (wsa_startup_error != 0) return wsa_startup_error;
  if (data == nullptr) return WSAEFAULT;
  BYTE major = LOBYTE(version_requested);
  BYTE minor = HIBYTE(version_requested);
  if (major == 0) return WSAVERNOTSUPPORTED;
  WORD version = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : version_requested;
  std::memset(data, 0, sizeof *data);
  data->wVersion = version;
  data->wHighVersion = MAKEWORD(2, 2);
  std::snprintf(data->szDescription, sizeof data->szDescription, "Skerrow sockets layer");
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = major < 2 ? 32767 : 0;
  data->iMaxUdpDg = major < 2 ? 65467 : 0;
  ++wsa_startups;
  return 0;
}

int WINAPI WSACleanup(void) {
  if (wsa_startups == 0) {
    wsa_last_error = WSANOTINITIALISED;
    return SOCKET_ERROR;
  }
  --wsa_startups;
  return 0;
}

// Closes only what is a socket: a stale number must never close a file.
int WINAPI closesocket(SOCKET s) {
  struct stat info{};
  int fd = s > static_cast<SOCKET>(INT32_MAX) ? -1 : static_cast<int>(s);
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
    wsa_last_error = WSAENOTSOCK;
    return SOCKET_ERROR;
  }
  Forget(fd);
  if (close(fd) != 0) {
    wsa_last_error = WSAENOTSOCK;
    return SOCKET_ERROR;
  }
  return 0;
}

int WINAPI WSAGetLastError(void) { return wsa_last_error; }
void WINAPI WSASetLastError(int error) { wsa_last_error = error; }

void LayerSetWsaStartupError(int error) { wsa_startup_error = error; }
int LayerWsaStartupCount() { return wsa_startups; }

namespace layer {

void ResetSockets() {
  wsa_startups = 0;
  wsa_startup_error = 0;
  wsa_last_error = 0;
}

}  // namespace layer
