// Connection set-up for an http:// or https:// address: host and port, a
// connection made on socket notifications within its time limit, the output
// file in the private work folder, and the request or the secure channel.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_transfer.h"

char HostName[kUrlCapacity];
char PortText[kUrlCapacity] = "80";
char RequestPath[kUrlCapacity] = "/index.html";
sockaddr_in ServerAddress;
int TransferCommand = 0;
int SecureTransfer = 0;
char TargetHost[kUrlCapacity];
unsigned short TargetPort = 0;
HANDLE LookupTask = nullptr;
alignas(hostent) char HostEntry[MAXGETHOSTSTRUCT];

namespace {

constexpr char kDefaultPort[] = "80";
constexpr char kDefaultSecurePort[] = "443";
constexpr char kIndexName[] = "index.html";

// The address's own port text while the look-up runs: through a proxy,
// PortText holds the proxy's.
char TargetPortText[kUrlCapacity];

void ShowBox(HWND window, const char* text, const char* caption) { MessageBoxA(window, text, caption, MB_OK); }

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

void ShowHostUnknown(HWND window) { ShowBox(window, kHostUnknownText, HostName); }

// The port token after the first ':' of the address (slashes before it
// skipped); an address with nothing there gets its scheme's default port.
void TakeUrlPortAndPath(const char* address) {
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s", address);
  std::strcpy(PortText, SecureTransfer != 0 ? kDefaultSecurePort : kDefaultPort);
  if (char* colon = std::strchr(ScratchBuffer, ':')) {
    char* token = colon + 1 + std::strspn(colon + 1, "/");
    size_t length = std::strcspn(token, "/");
    if (length > 0) {
      token[length] = '\0';
      std::strcpy(PortText, token);
    }
  }
  const char* path = std::strchr(address, '/');
  std::snprintf(RequestPath, sizeof RequestPath, "%s", path != nullptr ? path : "/");
}

// A port number, or a TCP service's, in host order; 0 when it is neither.
unsigned short PortNumber(const char* text) {
  auto low_bits = static_cast<unsigned short>(static_cast<unsigned int>(LeadingNumber(text)) & 0xffffu);
  if (low_bits != 0) return low_bits;
  servent* service = getservbyname(text, "tcp");
  return service == nullptr ? 0 : ntohs(static_cast<unsigned short>(service->s_port));
}

bool ResolvePort(HWND window, const char* text, unsigned short* port) {
  *port = PortNumber(text);
  if (*port == 0) ShowBox(window, kPortUnknownText, kPortUnknownCaption);
  return *port != 0;
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

void DropSocket() {
  if (TransferSocket != INVALID_SOCKET) closesocket(TransferSocket);
  TransferSocket = INVALID_SOCKET;
  Connecting = 0;
}

// The download is created afresh and exclusively: whatever has that name in
// the work folder is a leftover of this program's own.
std::FILE* CreateDownloadFile() {
  if (WorkDir[0] == '\0') return nullptr;
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);
  std::remove(ScratchBuffer);
  return std::fopen(ScratchBuffer, "w+bx");
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

void SetUpFailed(HWND window) {
  StopTransferClock(window);
  if (GetSystemMetrics(SM_CMONITORS) == 0) SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

void ConnectionMade(HWND window, int error) {
  Connecting = 0;
  if (error != 0) {
    DropSocket();
    ShowBox(window, kConnectFailedText, kErrorCaption);
    SetUpFailed(window);
    return;
  }
  DownloadFile = CreateDownloadFile();
  if (DownloadFile == nullptr) {
    DropSocket();
    ShowBox(window, kFileOpenFailedText, kFileErrorCaption);
    SetUpFailed(window);
    return;
  }
  CountReceivedBytes(window, kLowSpeedBytes);  // the server's time starts now
  if (SecureTransfer != 0) {
    StartSecureChannel(window);
  } else {
    SendRequestCommand(window);
  }
}

void CancelHostLookup() {
  if (LookupTask != nullptr) WSACancelAsyncRequest(LookupTask);
  LookupTask = nullptr;
}

void HostLookupTimedOut(HWND window) {
  CancelHostLookup();
  Connecting = 0;
  ShowHostUnknown(window);
  SetUpFailed(window);
}

namespace {

// The ports, the socket, and a connection asked for on notifications. The
// ports are judged only once the host is known, so a bad host is the one
// reported when both are.
void ConnectToServer(HWND window) {
  Connecting = 0;
  unsigned short port = 0;
  if ((SecureTransfer != 0 && !ResolvePort(window, TargetPortText, &TargetPort)) ||
      !ResolvePort(window, PortText, &port)) {
    SetUpFailed(window);
    return;
  }
  ServerAddress.sin_port = htons(port);
  TransferSocket = socket(AF_INET, SOCK_STREAM, 0);
  if (TransferSocket == INVALID_SOCKET) {
    ShowBox(window, kSocketFailedText, kErrorCaption);
    SetUpFailed(window);
    return;
  }
  // Asked for before connecting, so the connection is made while the window
  // goes on working, and the stall timer can give it up.
  if (WSAAsyncSelect(TransferSocket, window, SocketEventMessage, FD_CONNECT | FD_READ | FD_CLOSE) != 0) {
    ShowBox(window, kAsyncSelectFailedText, kFileErrorCaption);
    DropSocket();
    SetUpFailed(window);
    return;
  }
  Connecting = 1;
  StartTransferClock(window, false);  // the connect's own limit; the deadline runs on
  if (connect(TransferSocket, reinterpret_cast<const sockaddr*>(&ServerAddress), sizeof ServerAddress) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    ConnectionMade(window, WSAGetLastError());
  }
}

// A dotted address is taken at once; a name is looked up on the side, so
// the window goes on working meanwhile and the stall timer can give up.
bool StartHostLookup(HWND window) {
  std::memset(&ServerAddress, 0, sizeof ServerAddress);
  ServerAddress.sin_family = AF_INET;
  if (HostName[0] >= '0' && HostName[0] <= '9') {
    unsigned char bytes[4];
    if (!ParseDottedAddress(HostName, bytes)) return false;
    std::memcpy(&ServerAddress.sin_addr, bytes, 4);
    ConnectToServer(window);
    return true;
  }
  LookupTask = WSAAsyncGetHostByName(window, HostFoundMessage, HostName, HostEntry, sizeof HostEntry);
  if (LookupTask == nullptr) return false;
  Connecting = 1;
  return true;
}

}  // namespace

void HostFound(HWND window, WPARAM task, LPARAM reply) {
  if (LookupTask == nullptr || task != reinterpret_cast<WPARAM>(LookupTask)) return;
  LookupTask = nullptr;
  const auto* host = reinterpret_cast<const hostent*>(HostEntry);
  if (WSAGETASYNCERROR(reply) != 0 || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    Connecting = 0;
    ShowHostUnknown(window);
    SetUpFailed(window);
    return;
  }
  int length = host->h_length < 0 ? 0 : host->h_length;
  std::memcpy(&ServerAddress.sin_addr, host->h_addr_list[0], static_cast<size_t>(length < 4 ? length : 4));
  ConnectToServer(window);
}

void FetchHttpUrl(HWND window, int command) {
  if (DownloadFile != nullptr || Connecting != 0) return;  // one download at a time
  bool redirect = command == RedirectCommandId;
  if (redirect) {
    command = TransferCommand;  // a redirect carries on what its chain began
  } else {
    StartRedirectChain();
  }
  SecureTransfer = std::strncmp(CurrentUrl, kHttpsPrefix, kHttpsSchemeLength) == 0 ? 1 : 0;
  const char* address = CurrentUrl + (SecureTransfer != 0 ? kHttpsSchemeLength : kSchemeLength);
  std::string_view name = LocalNameOf(address);
  if (name.size() >= sizeof LocalName) {
    // Cut short, the name would be some other file; refused before the
    // timer is touched, as local pictures are, so the rotation goes on.
    ShowBox(window, kNameTooLongText, kErrorCaption);
    return;
  }

  KillTimer(window, RotationTimer);
  HeaderPhase = 1;
  HeaderLength = 0;
  RemainingLength = 0;
  LengthAnnounced = 0;
  BodyLength = 0;
  RequestSent = 0;
  TransferCommand = command;
  if (TransferSocket != INVALID_SOCKET) DropSocket();

  // Everything the address gives is taken now: the look-up may take a while,
  // and CurrentUrl may change meanwhile. The server's own host is the name
  // its certificate must carry, the Host line inside a tunnel, and the
  // tunnel's far end.
  std::snprintf(TargetHost, sizeof TargetHost, "%s", address);
  CutHostText(TargetHost);
  // An https:// address goes through the proxy's tunnel, so the request
  // inside it is the direct one.
  if (ProxyMode != 0 && SecureTransfer == 0) {
    std::snprintf(RequestPath, sizeof RequestPath, "%s", CurrentUrl);
  } else {
    TakeUrlPortAndPath(address);
    std::strcpy(TargetPortText, PortText);
  }
  if (ProxyMode != 0) {
    ReadField(window, ProxyHostField, HostName, sizeof HostName);
    ReadField(window, ProxyPortField, PortText, sizeof PortText);
  } else {
    std::strcpy(HostName, TargetHost);
  }
  name.copy(LocalName, name.size());
  LocalName[name.size()] = '\0';

  // The look-up and the connect each get their own limit; the overall
  // deadline counts from the chain's first address.
  StartTransferClock(window, !redirect);
  if (!StartHostLookup(window)) {
    ShowHostUnknown(window);
    SetUpFailed(window);
  }
}
