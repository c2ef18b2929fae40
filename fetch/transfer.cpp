// The one download under way: its record, the only code that moves its
// phase on (set-up, socket events, the limits' timer) and the one way it
// ends. The response, redirect and TLS helpers hand back verdicts; this file
// acts on them once their frames have returned, and a failure's box is
// shown from the window procedure after the transfer is over, since a box
// runs the message loop and anything may happen meanwhile.
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_transfer.h"
#include "wallpaper.h"

SOCKET TransferSocket = INVALID_SOCKET;
std::FILE* DownloadFile = nullptr;
HttpTransfer Transfer = [] {
  HttpTransfer transfer{};
  std::strcpy(transfer.port_text, "80");
  std::strcpy(transfer.request_path, "/index.html");
  ResetSecureState(transfer.tls);
  return transfer;
}();
std::deque<PendingBox> PendingBoxes;

namespace {

constexpr char kDefaultPort[] = "80";
constexpr char kDefaultSecurePort[] = "443";
constexpr char kIndexName[] = "index.html";

// Reads a control's text the way WM_GETTEXT does: cut to the buffer.
void ReadField(HWND window, int id, char* buffer, int capacity) {
  buffer[0] = '\0';
  SendMessageA(GetDlgItem(window, id), WM_GETTEXT, static_cast<WPARAM>(capacity), reinterpret_cast<LPARAM>(buffer));
  buffer[capacity - 1] = '\0';
}

// The host ends at the first ':' or '/' past any leading ones; the text
// kept starts at the first byte all the same, so ":80" stays ":80".
void CutHostText(char* host) {
  char* token = host + std::strspn(host, ":/");
  token[std::strcspn(token, ":/")] = '\0';
}

// A dotted address, strictly: up to four numbers of 0 to 255, missing ones
// at the end counting as 0, nothing else after them. Anything looser would
// connect to an address the user did not write.
bool ParseDottedAddress(std::string_view text, unsigned char bytes[4]) {
  bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0;
  for (int part = 0; part < 4; ++part) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    int value = 0;
    while (!text.empty() && text[0] >= '0' && text[0] <= '9') {
      value = value * 10 + (text[0] - '0');
      if (value > 255) return false;
      text.remove_prefix(1);
    }
    bytes[part] = static_cast<unsigned char>(value);
    if (text.empty()) return true;
    if (text[0] != '.' || part == 3) return false;
    text.remove_prefix(1);
  }
  return false;
}

// The port token after the first ':' of the address (slashes before it
// skipped); an address with nothing there gets its scheme's default port.
void TakeUrlPortAndPath(const char* address) {
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s", address);
  std::strcpy(Transfer.port_text, Transfer.secure != 0 ? kDefaultSecurePort : kDefaultPort);
  if (char* colon = std::strchr(ScratchBuffer, ':')) {
    char* token = colon + 1 + std::strspn(colon + 1, "/");
    size_t length = std::strcspn(token, "/");
    if (length > 0) {
      token[length] = '\0';
      std::strcpy(Transfer.port_text, token);
    }
  }
  const char* path = std::strchr(address, '/');
  std::snprintf(Transfer.request_path, sizeof Transfer.request_path, "%s", path != nullptr ? path : "/");
}

// A port number, or a TCP service's, in host order; 0 when it is neither.
unsigned short PortNumber(const char* text) {
  auto low_bits = static_cast<unsigned short>(static_cast<unsigned int>(LeadingNumber(text)) & 0xffffu);
  if (low_bits != 0) return low_bits;
  servent* service = getservbyname(text, "tcp");
  return service == nullptr ? 0 : ntohs(static_cast<unsigned short>(service->s_port));
}

// The name after the address's last '/', or "index.html" when there is none,
// it is empty, or it would name a folder instead of a file.
std::string_view LocalNameOf(const char* address) {
  const char* slash = std::strrchr(address, '/');
  if (slash == nullptr || slash[1] == '\0') return kIndexName;
  std::string_view name = slash + 1;
  if (name == "." || name == "..") return kIndexName;
  return name;
}

constexpr char kRequestFormat[] =
    "GET %s HTTP/1.0\r\n"
    "%s\r\n"
    "User-Agent: TEST Program(Make qelo Vresion 0)\r\n"
    "Host: %s\r\n"
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "\r\n";
constexpr char kDirectConnection[] = "Connection: Keep-Alive";
constexpr char kProxyConnection[] = "Proxy-Connection: Keep-Alive";
constexpr char kConnectFormat[] = "CONNECT %s:%u HTTP/1.0\r\nHost: %s:%u\r\n\r\n";
constexpr int kChunkCapacity = 1024;

// Room for the longest path and host the buffers hold: never cut, never
// overrun.
constexpr int kRequestCapacity = sizeof kRequestFormat + sizeof kProxyConnection + 2 * kUrlCapacity;
static_assert(kChunkCapacity <= kScratchCapacity, "a chunk is received into ScratchBuffer");

Verdict Keep(const char* text, const char* caption = kErrorCaption, const char* line = nullptr) {
  return {Ending::Keep, text, caption, line};
}
Verdict Discard(const char* text, const char* caption = kErrorCaption) { return {Ending::Discard, text, caption}; }

bool SettingUp() { return Transfer.phase == TransferPhase::LookUp || Transfer.phase == TransferPhase::Connect; }
bool ChannelOpen() { return Transfer.phase == TransferPhase::Header || Transfer.phase == TransferPhase::Body; }

// The box waits for the window procedure; its texts are copied, since the
// status line or the host they come from belong to the transfer.
void QueueBox(HWND window, const char* text, const char* caption) {
  PendingBoxes.push_back({text, caption != nullptr ? caption : kErrorCaption});
  PostMessageA(window, FetchBoxMessage, 0, 0);
}

void StartTransferClock(HWND window, bool new_address);
void CountReceivedBytes(HWND window, int count);

// Milliseconds left before the first limit in force runs out, 0 when one has.
// While setting up, the connect's own limit takes the low-speed window's
// place; the overall deadline holds throughout.
DWORD TimeLeft(DWORD now) {
  DWORD age = now - Transfer.start;
  DWORD quiet = now - Transfer.window_start;
  DWORD limit = SettingUp() ? kConnectLimitMs : kLowSpeedWindowMs;
  if (age >= kTransferDeadlineMs || quiet >= limit) return 0;
  DWORD left = kTransferDeadlineMs - age;
  return left < limit - quiet ? left : limit - quiet;
}

void CALLBACK OnStallTimer(HWND window, UINT, UINT_PTR, DWORD);

void ArmStallTimer(HWND window) {
  DWORD left = TimeLeft(GetTickCount());
  SetTimer(window, StallTimer, left > 0 ? left : 1, OnStallTimer);
}

void StartTransferClock(HWND window, bool new_address) {
  Transfer.window_start = GetTickCount();
  if (new_address) Transfer.start = Transfer.window_start;
  Transfer.window_bytes = 0;
  ArmStallTimer(window);
}

// Every 1024 bytes open a fresh window of 15 seconds for the next 1024.
void CountReceivedBytes(HWND window, int count) {
  Transfer.window_bytes =
      Transfer.window_bytes > kLowSpeedBytes - count ? kLowSpeedBytes : Transfer.window_bytes + count;
  if (Transfer.window_bytes < kLowSpeedBytes) return;
  Transfer.window_start = GetTickCount();
  Transfer.window_bytes = 0;
  // Past the overall deadline the timer armed for it is already due, and
  // arming it afresh would put the end off for as long as bytes keep coming.
  if (Transfer.window_start - Transfer.start < kTransferDeadlineMs) ArmStallTimer(window);
}

// The download is created afresh and exclusively: whatever has that name in
// the work folder is a leftover of this program's own.
std::FILE* CreateDownloadFile() {
  if (WorkDir[0] == '\0') return nullptr;
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);
  std::remove(ScratchBuffer);
  return std::fopen(ScratchBuffer, "w+bx");
}

void OpenSecureChannel(HWND window);

// A verdict from the TLS helpers: an open handshake lets the request go.
void ActOnHandshake(HWND window, TlsVerdict verdict) {
  if (verdict.step == TlsStep::Failed || verdict.step == TlsStep::Ended) {
    EndTransfer(window, Discard(verdict.text != nullptr ? verdict.text : kSecureFailedText));
  } else if (verdict.step == TlsStep::Open) {
    OpenSecureChannel(window);
  }
}

void BeginSecureHandshake(HWND window) {
  Transfer.phase = TransferPhase::Handshake;
  ActOnHandshake(window, BeginHandshake(Transfer.tls, TransferSocket, Transfer.target_host));
}

// The set-up's last step for https:// (in place of the request). Set-up is
// over: what follows is driven by socket events, so the rotation goes on
// whatever the server does.
void StartSecureChannel(HWND window) {
  Transfer.tls.input_length = 0;
  if (Transfer.command == RotateCommandId) SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
  if (ProxyMode == 0) {
    BeginSecureHandshake(window);
    return;
  }
  char request[sizeof kConnectFormat + 2 * kUrlCapacity + 16];
  int length = std::snprintf(request, sizeof request, kConnectFormat, Transfer.target_host, Transfer.target_port,
                             Transfer.target_host, Transfer.target_port);
  Transfer.phase = TransferPhase::Tunnel;
  if (!SendAll(TransferSocket, request, length)) EndTransfer(window, Discard(kSecureFailedText));
}

void ConnectionMade(HWND window, int error) {
  if (error != 0) {
    EndTransfer(window, Keep(kConnectFailedText));
    return;
  }
  DownloadFile = CreateDownloadFile();
  if (DownloadFile == nullptr) {
    EndTransfer(window, Keep(kFileOpenFailedText, kFileErrorCaption));
    return;
  }
  CountReceivedBytes(window, kLowSpeedBytes);  // the server's time starts now
  if (Transfer.secure != 0) {
    StartSecureChannel(window);
  } else {
    Transfer.phase = TransferPhase::Header;
    SendRequestCommand(window);
  }
}

// A port number, or a TCP service's, in host order; 0 when it is neither.
bool ResolvePort(const char* text, unsigned short* port) {
  *port = PortNumber(text);
  return *port != 0;
}

// The ports, the socket, and a connection asked for on notifications. The
// ports are judged only once the host is known, so a bad host is the one
// reported when both are.
void ConnectToServer(HWND window) {
  Transfer.phase = TransferPhase::Connect;
  unsigned short port = 0;
  if ((Transfer.secure != 0 && !ResolvePort(Transfer.target_port_text, &Transfer.target_port)) ||
      !ResolvePort(Transfer.port_text, &port)) {
    EndTransfer(window, Keep(kPortUnknownText, kPortUnknownCaption));
    return;
  }
  Transfer.address.sin_port = htons(port);
  TransferSocket = socket(AF_INET, SOCK_STREAM, 0);
  if (TransferSocket == INVALID_SOCKET) {
    EndTransfer(window, Keep(kSocketFailedText));
    return;
  }
  // Asked for before connecting, so the connection is made while the window
  // goes on working, and the stall timer can give it up.
  if (WSAAsyncSelect(TransferSocket, window, SocketEventMessage, FD_CONNECT | FD_READ | FD_CLOSE) != 0) {
    EndTransfer(window, Keep(kAsyncSelectFailedText, kFileErrorCaption));
    return;
  }
  StartTransferClock(window, false);  // the connect's own limit; the deadline runs on
  if (connect(TransferSocket, reinterpret_cast<const sockaddr*>(&Transfer.address), sizeof Transfer.address) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    ConnectionMade(window, WSAGetLastError());
  }
}

// A dotted address is taken at once; a name is looked up on the side, so
// the window goes on working meanwhile and the stall timer can give up.
bool StartHostLookup(HWND window) {
  std::memset(&Transfer.address, 0, sizeof Transfer.address);
  Transfer.address.sin_family = AF_INET;
  if (Transfer.host[0] >= '0' && Transfer.host[0] <= '9') {
    unsigned char bytes[4];
    if (!ParseDottedAddress(Transfer.host, bytes)) return false;
    std::memcpy(&Transfer.address.sin_addr, bytes, 4);
    ConnectToServer(window);
    return true;
  }
  Transfer.lookup =
      WSAAsyncGetHostByName(window, HostFoundMessage, Transfer.host, Transfer.host_entry, sizeof Transfer.host_entry);
  return Transfer.lookup != nullptr;
}

// A response helper's verdict: the phase follows the response, or the
// transfer ends as it says.
void ActOnResponse(HWND window, Verdict verdict) {
  if (verdict.ending == Ending::None) {
    Transfer.phase = Transfer.response.in_header != 0 ? TransferPhase::Header : TransferPhase::Body;
    return;
  }
  EndTransfer(window, verdict);
}

// Bytes of the response, from the socket or from a record.
bool TakeBytes(HWND window, const char* data, int length) {
  CountReceivedBytes(window, length);
  ActOnResponse(window, TakeResponseBytes(Transfer.response, DownloadFile, data, length));
  return Transfer.phase != TransferPhase::Idle;
}

// The server has closed or the connection failed. Reported as broken when
// the header or an announced length was still owed, unless it is the body's
// orderly end.
void ConnectionEnded(HWND window, bool orderly) {
  EndTransfer(window, EndOfResponse(Transfer.response, orderly, true));
}

// Every whole record received so far, each consumed once its bytes are
// handled and only while the transfer goes on.
void DecryptReceived(HWND window) {
  while (Transfer.tls.input_length > 0 && ChannelOpen()) {
    const char* data = nullptr;
    int length = 0;
    int used = 0;
    TlsVerdict verdict = DecryptRecord(Transfer.tls, &data, &length, &used);
    if (verdict.step == TlsStep::Wait) return;
    if (verdict.step == TlsStep::Ended) {
      ConnectionEnded(window, true);
      return;
    }
    if (verdict.step == TlsStep::Failed) {
      EndTransfer(window, Discard(kSecureFailedText));
      return;
    }
    if (length > 0 && !TakeBytes(window, data, length)) return;
    ConsumeSecureInput(Transfer.tls, used);
  }
}

void OpenSecureChannel(HWND window) {
  Transfer.phase = TransferPhase::Header;
  SendRequestCommand(window);
  DecryptReceived(window);
}

// The peer has gone: an end of the response once the channel is open, else
// a failure, since before the tunnel or the handshake was done nothing can
// be kept.
void SecureConnectionEnded(HWND window, bool orderly) {
  if (ChannelOpen()) {
    ConnectionEnded(window, orderly);
  } else {
    EndTransfer(window, Discard(kSecureFailedText));
  }
}

void ReceiveSecureEvent(HWND window) {
  SecureState& tls = Transfer.tls;
  if (tls.input_length >= kSecureInputCapacity) {
    EndTransfer(window, Discard(kSecureFailedText));  // no record is this large
    return;
  }
  int n = recv(TransferSocket, tls.input + tls.input_length, kSecureInputCapacity - tls.input_length, 0);
  if (n < 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) SecureConnectionEnded(window, false);
    return;
  }
  if (n == 0) {
    SecureConnectionEnded(window, true);
    return;
  }
  tls.input_length += n;
  // Once the channel is open the response handling counts what it gets;
  // until then the tunnel's answer and the handshake are the server's
  // progress, held to the same low-speed limit.
  if (!ChannelOpen()) CountReceivedBytes(window, n);
  switch (Transfer.phase) {
    case TransferPhase::Tunnel: {
      TlsVerdict verdict = ReadTunnelAnswer(tls, Transfer.response.answer_text, sizeof Transfer.response.answer_text);
      if (verdict.step == TlsStep::Failed) {
        EndTransfer(window, Discard(verdict.text));
      } else if (verdict.step == TlsStep::Open) {
        BeginSecureHandshake(window);
      }
      break;
    }
    case TransferPhase::Handshake:
      ActOnHandshake(window, ContinueHandshake(tls, TransferSocket, Transfer.target_host));
      break;
    case TransferPhase::Header:
    case TransferPhase::Body: DecryptReceived(window); break;
    default: break;
  }
}

// A transfer past a limit ends as a close would, without the pipeline; a
// connection never made is a failed set-up, and a tunnel or handshake never
// finished says so, since nothing else would tell the user why.
void CALLBACK OnStallTimer(HWND window, UINT, UINT_PTR, DWORD) {
  if (Transfer.phase == TransferPhase::Idle) {
    KillTimer(window, StallTimer);
    return;
  }
  if (TimeLeft(GetTickCount()) > 0) {
    ArmStallTimer(window);
    return;
  }
  switch (Transfer.phase) {
    case TransferPhase::LookUp: EndTransfer(window, Keep(kHostUnknownText, Transfer.host)); break;
    case TransferPhase::Connect: EndTransfer(window, Keep(kConnectFailedText, kErrorCaption, kConnectStalledLine)); break;
    case TransferPhase::Tunnel:
    case TransferPhase::Handshake: EndTransfer(window, Discard(kSecureStalledText)); break;
    default: {
      bool late = GetTickCount() - Transfer.start >= kTransferDeadlineMs;
      EndTransfer(window, Keep(nullptr, kErrorCaption, late ? kDeadlineLine : kStalledLine));
      break;
    }
  }
}

// Why a transfer ended without a picture, in the error stream's words.
const char* EndingLine(const Verdict& verdict) {
  if (verdict.line != nullptr) return verdict.line;
  if (verdict.text == kHostUnknownText) return kHostUnknownLine;
  if (verdict.text == kPortUnknownText) return kPortUnknownLine;
  if (verdict.text != nullptr) return verdict.text;
  return kStoppedLine;
}

}  // namespace

int LeadingNumber(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    if (value <= INT_MAX) value = value * 10 + (*text - '0');
  if (negative) return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void EndTransfer(HWND window, Verdict verdict) {
  bool setting_up = SettingUp();
  bool under_way = Transfer.phase != TransferPhase::Idle;
  if (Transfer.lookup != nullptr) WSACancelAsyncRequest(Transfer.lookup);
  Transfer.lookup = nullptr;
  CloseSecureState(Transfer.tls);
  if (TransferSocket != INVALID_SOCKET) closesocket(TransferSocket);
  TransferSocket = INVALID_SOCKET;
  bool flushed = DownloadFile == nullptr || std::fclose(DownloadFile) == 0;
  DownloadFile = nullptr;
  Transfer.phase = TransferPhase::Idle;
  KillTimer(window, StallTimer);

  // A picture cut short by a full disk would reach the converters as if
  // whole.
  if (verdict.ending == Ending::Complete && !flushed) verdict = Discard(kFileWriteFailedText, kFileErrorCaption);
  if (verdict.ending == Ending::Discard || verdict.ending == Ending::Redirect) {
    std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);
    std::remove(ScratchBuffer);
  }
  // Without a display no one can hide the window to start the rotation
  // again after a failed set-up, so it restarts here.
  if (setting_up && verdict.ending != Ending::Abort && GetSystemMetrics(SM_CMONITORS) == 0)
    SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
  // Every end without a picture says why, box or none, naming the address
  // the person gave; a complete one is the chain's to report.
  if (under_way && verdict.ending != Ending::Complete && verdict.ending != Ending::Redirect) {
    std::fprintf(stderr, "%s: %s\n", Transfer.url, EndingLine(verdict));
    std::fflush(stderr);
  }
  if (verdict.text != nullptr) QueueBox(window, verdict.text, verdict.caption);
  if (verdict.ending == Ending::Redirect) {
    // The next connection starts from the message loop, as a rotation would.
    FollowRedirect(Transfer.response.redirect_target);
    PostMessageA(window, WM_COMMAND, RedirectCommandId, 0);
  } else {
    if (verdict.ending == Ending::Complete) {
      // A local picture shown meanwhile took RequestedUrl; this one is the
      // transfer's.
      std::memcpy(RequestedUrl, Transfer.url, sizeof RequestedUrl);
      ShowFetchedPicture(1);
    }
    EndPictureTurn(window);
  }
}

bool TransferUnderWay() { return Transfer.phase != TransferPhase::Idle; }

// One box per message, oldest first; one that arrives while another is
// open is the layer's to put on the error stream.
void ShowFetchFailure(HWND window) {
  if (PendingBoxes.empty()) return;
  PendingBox box = std::move(PendingBoxes.front());
  PendingBoxes.pop_front();
  MessageBoxA(window, box.text.c_str(), box.caption.c_str(), MB_OK);
}

void HostFound(HWND window, WPARAM task, LPARAM reply) {
  if (Transfer.lookup == nullptr || task != reinterpret_cast<WPARAM>(Transfer.lookup)) return;
  Transfer.lookup = nullptr;
  const auto* host = reinterpret_cast<const hostent*>(Transfer.host_entry);
  if (WSAGETASYNCERROR(reply) != 0 || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    EndTransfer(window, Keep(kHostUnknownText, Transfer.host));
    return;
  }
  int length = host->h_length < 0 ? 0 : host->h_length;
  std::memcpy(&Transfer.address.sin_addr, host->h_addr_list[0], static_cast<size_t>(length < 4 ? length : 4));
  ConnectToServer(window);
}

void FetchHttpUrl(HWND window, int command) {
  if (Transfer.phase != TransferPhase::Idle) return;  // one download at a time
  bool redirect = command == RedirectCommandId;
  if (redirect) {
    command = Transfer.command;  // a redirect carries on what its chain began
  } else {
    StartRedirectChain();
    std::memcpy(Transfer.url, CurrentUrl, sizeof Transfer.url);
  }
  int secure = std::strncmp(CurrentUrl, kHttpsPrefix, kHttpsSchemeLength) == 0 ? 1 : 0;
  const char* address = CurrentUrl + (secure != 0 ? kHttpsSchemeLength : kSchemeLength);
  std::string_view name = LocalNameOf(address);
  if (name.size() >= sizeof LocalName) {
    // Cut short, the name would be some other file; refused before the
    // timer is touched, as local pictures are, so the rotation goes on.
    // Nothing is under way, so the box may show at once.
    std::fprintf(stderr, "%s: %s\n", CurrentUrl, kNameTooLongText);
    MessageBoxA(window, kNameTooLongText, kErrorCaption, MB_OK);
    return;
  }

  KillTimer(window, RotationTimer);
  if (TransferSocket != INVALID_SOCKET) closesocket(TransferSocket);
  TransferSocket = INVALID_SOCKET;
  Transfer.secure = secure;
  Transfer.request_sent = 0;
  Transfer.command = command;
  StartResponse(Transfer.response);
  ResetSecureState(Transfer.tls);

  // Everything the address gives is taken now: the look-up may take a while,
  // and CurrentUrl may change meanwhile. The server's own host is the name
  // its certificate must carry, the Host line inside a tunnel, and the
  // tunnel's far end.
  std::snprintf(Transfer.target_host, sizeof Transfer.target_host, "%s", address);
  CutHostText(Transfer.target_host);
  // An https:// address goes through the proxy's tunnel, so the request
  // inside it is the direct one.
  if (ProxyMode != 0 && secure == 0) {
    std::snprintf(Transfer.request_path, sizeof Transfer.request_path, "%s", CurrentUrl);
  } else {
    TakeUrlPortAndPath(address);
    std::strcpy(Transfer.target_port_text, Transfer.port_text);
  }
  if (ProxyMode != 0) {
    ReadField(window, ProxyHostField, Transfer.host, sizeof Transfer.host);
    ReadField(window, ProxyPortField, Transfer.port_text, sizeof Transfer.port_text);
  } else {
    std::strcpy(Transfer.host, Transfer.target_host);
  }
  name.copy(LocalName, name.size());
  LocalName[name.size()] = '\0';

  // The look-up and the connect each get their own limit; the overall
  // deadline counts from the chain's first address.
  Transfer.phase = TransferPhase::LookUp;
  StartTransferClock(window, !redirect);
  if (!StartHostLookup(window)) EndTransfer(window, Keep(kHostUnknownText, Transfer.host));
}

void SendRequestCommand(HWND window) {
  if (TransferSocket == INVALID_SOCKET || DownloadFile == nullptr || Transfer.request_sent != 0) return;
  if (!ChannelOpen()) return;  // not before the handshake
  // A second request on the same connection would append a second response
  // to the file.
  Transfer.request_sent = 1;
  char request[kRequestCapacity];
  // Inside a TLS tunnel the request is the one a direct connection carries.
  bool through_proxy = ProxyMode != 0 && Transfer.secure == 0;
  int length = std::snprintf(request, sizeof request, kRequestFormat, Transfer.request_path,
                             through_proxy ? kProxyConnection : kDirectConnection,
                             Transfer.secure != 0 ? Transfer.target_host : Transfer.host);
  if (Transfer.secure != 0) {
    if (!SendSecure(Transfer.tls, TransferSocket, request, length)) EndTransfer(window, Discard(kSecureFailedText));
    return;  // the rotation went on when the handshake began
  }
  // A send that fails ends the transfer by its socket events.
  SendAll(TransferSocket, request, length);
  if (Transfer.command == RotateCommandId) SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

void ReceiveSocketEvent(HWND window, WPARAM socket, LPARAM event) {
  // An event of a transfer that has ended must not touch the current one.
  if (TransferSocket == INVALID_SOCKET || static_cast<SOCKET>(socket) != TransferSocket) return;
  if (WSAGETSELECTEVENT(event) == FD_CONNECT) {
    if (Transfer.phase == TransferPhase::Connect) ConnectionMade(window, WSAGETSELECTERROR(event));
    return;
  }
  if (SettingUp()) return;  // nothing is read before the request is out
  if (Transfer.secure != 0) {
    if (WSAGETSELECTEVENT(event) == FD_READ) {
      ReceiveSecureEvent(window);
    } else {
      SecureConnectionEnded(window, WSAGETSELECTERROR(event) == 0);
    }
    return;
  }
  if (WSAGETSELECTEVENT(event) != FD_READ) {
    EndTransfer(window, EndOfResponse(Transfer.response, WSAGETSELECTERROR(event) == 0, false));
    return;
  }
  int n = recv(TransferSocket, ScratchBuffer, kChunkCapacity, 0);
  if (n < 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) EndTransfer(window, EndOfResponse(Transfer.response, false, false));
    return;
  }
  if (n == 0) {
    ConnectionEnded(window, true);
    return;
  }
  TakeBytes(window, ScratchBuffer, n);
}
