// The HTTP/1.0 exchange of a download: one GET request, then the response
// taken chunk by chunk from socket events into the header buffer and the
// download file, and the wallpaper pipeline once the body is complete.
#include <climits>
#include <cstdio>
#include <cstring>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_transfer.h"
#include "wallpaper.h"

int HeaderPhase = 1;
char HeaderBuffer[kHeaderCapacity];
int HeaderLength = 0;
int RemainingLength = 0;
int LengthAnnounced = 0;
int BodyLength = 0;
int RequestSent = 0;
int Connecting = 0;
DWORD TransferStart = 0;
DWORD SpeedWindowStart = 0;
int SpeedWindowBytes = 0;

namespace {

constexpr char kRequestFormat[] =
    "GET %s HTTP/1.0\r\n"
    "%s\r\n"
    "User-Agent: TEST Program(Make qelo Vresion 0)\r\n"
    "Host: %s\r\n"
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "\r\n";
constexpr char kDirectConnection[] = "Connection: Keep-Alive";
constexpr char kProxyConnection[] = "Proxy-Connection: Keep-Alive";
constexpr char kLengthPrefix[] = "content-length: ";
constexpr int kChunkCapacity = 1024;

// Room for the longest path and host the buffers hold: never cut, never
// overrun.
constexpr int kRequestCapacity = sizeof kRequestFormat + sizeof kProxyConnection + 2 * kUrlCapacity;
static_assert(kChunkCapacity <= kScratchCapacity, "a chunk is received into ScratchBuffer");

// Ends the transfer without the pipeline; what was written stays on disk.
void CloseTransfer(HWND window) {
  CancelHostLookup();
  CloseSecureChannel();
  if (TransferSocket != INVALID_SOCKET) closesocket(TransferSocket);
  if (DownloadFile != nullptr) std::fclose(DownloadFile);
  TransferSocket = INVALID_SOCKET;
  DownloadFile = nullptr;
  Connecting = 0;
  StopTransferClock(window);
}

void CompleteTransfer(HWND window) {
  CloseSecureChannel();
  closesocket(TransferSocket);
  TransferSocket = INVALID_SOCKET;
  StopTransferClock(window);
  bool flushed = std::fclose(DownloadFile) == 0;
  DownloadFile = nullptr;
  if (!flushed) {
    // A picture cut short by a full disk would reach the converters as if
    // whole.
    DiscardTransfer(window, kFileWriteFailedText, kFileErrorCaption);
    return;
  }
  ApplyWallpaper(1);
}

// The header stays as it came, for the status line and the Location.
bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    char c = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text + 32) : *text;
    if (c != *prefix) return false;
  }
  return true;
}

// The value of a content-length line: digits alone, blanks around them
// allowed. Anything else (a sign, a fraction, a second number) is no length
// at all. Values beyond the cap are held just above it.
bool ParseLength(const char* text, int* length) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return false;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    if (value <= kMaxDownloadBytes) value = value * 10 + (*text - '0');
  while (*text == ' ' || *text == '\t' || *text == '\r') ++text;
  if (*text != '\n' && *text != '\0') return false;
  *length = value > kMaxDownloadBytes ? kMaxDownloadBytes + 1 : static_cast<int>(value);
  return true;
}

// Header lines end at LF and keep their CR; a line that begins, whatever
// its case, with "content-length: " announces the body's length. Returns
// false when two such lines name different lengths: either may be the lie.
bool ReadHeaderLines() {
  const char* line = HeaderBuffer;
  while (*line != '\0') {
    int length = 0;
    if (StartsWithIgnoringCase(line, kLengthPrefix) && ParseLength(line + sizeof kLengthPrefix - 1, &length)) {
      if (LengthAnnounced != 0 && length != RemainingLength) return false;
      RemainingLength = length;
      LengthAnnounced = 1;
    }
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) break;
    line = end + 1;
  }
  return true;
}

// Takes header bytes from the chunk; returns how many it used, or ends the
// transfer and returns -1 for a header that outgrew its buffer, an answer
// other than the picture (a redirect included), or a body the program will
// not take. The status decides first: the length of a body that is never
// kept does not matter.
int CollectHeader(HWND window, const char* data, int length) {
  for (int i = 0; i < length; ++i) {
    if (HeaderLength >= kHeaderCapacity - 1) {
      DiscardTransfer(window, kHeaderTooLongText, kErrorCaption);
      return -1;
    }
    HeaderBuffer[HeaderLength++] = data[i];
    if (HeaderLength >= 4 && std::memcmp(HeaderBuffer + HeaderLength - 4, "\r\n\r\n", 4) == 0) {
      HeaderBuffer[HeaderLength] = '\0';
      HeaderPhase = 0;
      if (!AcceptResponseHeader(window)) return -1;
      if (!ReadHeaderLines()) {
        DiscardTransfer(window, kLengthsDisagreeText, kErrorCaption);
        return -1;
      }
      if (LengthAnnounced != 0 && RemainingLength > kMaxDownloadBytes) {
        DiscardTransfer(window, kTooLargeText, kErrorCaption);
        return -1;
      }
      return i + 1;
    }
  }
  return length;
}

// Milliseconds left before the first limit in force runs out, 0 when one has.
// While connecting, the connect's own limit takes the low-speed window's
// place; the overall deadline holds throughout.
DWORD TimeLeft(DWORD now) {
  DWORD age = now - TransferStart;
  DWORD quiet = now - SpeedWindowStart;
  DWORD limit = Connecting != 0 ? kConnectLimitMs : kLowSpeedWindowMs;
  if (age >= kTransferDeadlineMs || quiet >= limit) return 0;
  DWORD left = kTransferDeadlineMs - age;
  return left < limit - quiet ? left : limit - quiet;
}

void ArmStallTimer(HWND window);

// A transfer past a limit ends as a close would, without the pipeline; a
// connection never made is a failed set-up, and a tunnel or handshake never
// finished says so, since nothing else would tell the user why.
void CALLBACK OnStallTimer(HWND window, UINT, UINT_PTR, DWORD) {
  if (Connecting == 0 && TransferSocket == INVALID_SOCKET && DownloadFile == nullptr) {
    StopTransferClock(window);
    return;
  }
  if (TimeLeft(GetTickCount()) > 0) {
    ArmStallTimer(window);
    return;
  }
  if (Connecting != 0) {
    if (LookupTask != nullptr) {
      HostLookupTimedOut(window);
    } else {
      ConnectionMade(window, WSAETIMEDOUT);
    }
    return;
  }
  if (SecurePhase == kSecureProxyAnswer || SecurePhase == kSecureHandshake) {
    DiscardTransfer(window, kSecureStalledText, kErrorCaption);
    return;
  }
  CloseTransfer(window);
}

void ArmStallTimer(HWND window) {
  DWORD left = TimeLeft(GetTickCount());
  SetTimer(window, StallTimer, left > 0 ? left : 1, OnStallTimer);
}

}  // namespace

// Ends the transfer and takes its file away: nothing it holds is a picture.
void DiscardTransfer(HWND window, const char* text, const char* caption) {
  CloseTransfer(window);
  std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s%s", WorkDir, LocalName);
  std::remove(ScratchBuffer);
  if (text != nullptr) MessageBoxA(window, text, caption, MB_OK);
}

void SendRequestCommand(HWND window) {
  if (TransferSocket == INVALID_SOCKET || DownloadFile == nullptr || RequestSent != 0) return;
  if (SecureTransfer != 0 && SecurePhase != kSecureOpen) return;  // not before the handshake
  // A second request on the same connection would append a second response
  // to the file.
  RequestSent = 1;
  char request[kRequestCapacity];
  // Inside a TLS tunnel the request is the one a direct connection carries.
  bool through_proxy = ProxyMode != 0 && SecureTransfer == 0;
  int length = std::snprintf(request, sizeof request, kRequestFormat, RequestPath,
                             through_proxy ? kProxyConnection : kDirectConnection,
                             SecureTransfer != 0 ? TargetHost : HostName);
  if (SecureTransfer != 0) {
    if (!SendSecure(request, length)) DiscardTransfer(window, kSecureFailedText, kErrorCaption);
    return;  // the rotation went on when the handshake began
  }
  for (int sent = 0; sent < length;) {
    int n = send(TransferSocket, request + sent, length - sent, 0);
    if (n <= 0) break;  // the transfer then ends by its socket events
    sent += n;
  }
  if (TransferCommand == RotateCommandId) SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

void ReceiveResponseBytes(HWND window, const char* data, int length) {
  if (DownloadFile == nullptr || length <= 0) return;
  CountReceivedBytes(window, length);
  if (HeaderPhase != 0) {
    int used = CollectHeader(window, data, length);
    if (used < 0) return;
    // A chunk that ends with the header leaves the completion test to the
    // next chunk, even for an empty body.
    if (used == length) return;
    data += used;
    length -= used;
  }
  if (length > kMaxDownloadBytes - BodyLength) {
    DiscardTransfer(window, kTooLargeText, kErrorCaption);
    return;
  }
  BodyLength += length;
  if (LengthAnnounced != 0)
    RemainingLength = RemainingLength < INT_MIN + length ? INT_MIN : RemainingLength - length;
  if (std::fwrite(data, 1, static_cast<size_t>(length), DownloadFile) != static_cast<size_t>(length)) {
    DiscardTransfer(window, kFileWriteFailedText, kFileErrorCaption);
    return;
  }
  if (LengthAnnounced != 0 && RemainingLength <= 0) CompleteTransfer(window);
}

void StartTransferClock(HWND window, bool new_address) {
  SpeedWindowStart = GetTickCount();
  if (new_address) TransferStart = SpeedWindowStart;
  SpeedWindowBytes = 0;
  ArmStallTimer(window);
}

// Every 1024 bytes open a fresh window of 15 seconds for the next 1024.
void CountReceivedBytes(HWND window, int count) {
  SpeedWindowBytes = SpeedWindowBytes > kLowSpeedBytes - count ? kLowSpeedBytes : SpeedWindowBytes + count;
  if (SpeedWindowBytes < kLowSpeedBytes) return;
  SpeedWindowStart = GetTickCount();
  SpeedWindowBytes = 0;
  // Past the overall deadline the timer armed for it is already due, and
  // arming it afresh would put the end off for as long as bytes keep coming.
  if (SpeedWindowStart - TransferStart < kTransferDeadlineMs) ArmStallTimer(window);
}

void StopTransferClock(HWND window) { KillTimer(window, StallTimer); }

void EndOfResponse(HWND window, bool orderly) {
  // Without an announced length the body runs until the server closes; a
  // reset says nothing about whether it was all there.
  if (orderly && DownloadFile != nullptr && HeaderPhase == 0 && LengthAnnounced == 0) {
    CompleteTransfer(window);
    return;
  }
  CloseTransfer(window);
}

void ReceiveSocketEvent(HWND window, WPARAM socket, LPARAM event) {
  // An event of a transfer that has ended must not touch the current one.
  if (TransferSocket == INVALID_SOCKET || static_cast<SOCKET>(socket) != TransferSocket) return;
  if (WSAGETSELECTEVENT(event) == FD_CONNECT) {
    if (Connecting != 0) ConnectionMade(window, WSAGETSELECTERROR(event));
    return;
  }
  if (Connecting != 0) return;  // nothing is read before the request is out
  if (SecureTransfer != 0) {
    if (WSAGETSELECTEVENT(event) == FD_READ) {
      ReceiveSecureEvent(window);
    } else {
      SecureConnectionEnded(window, WSAGETSELECTERROR(event) == 0);
    }
    return;
  }
  if (WSAGETSELECTEVENT(event) != FD_READ) {
    EndOfResponse(window, WSAGETSELECTERROR(event) == 0);
    return;
  }
  int n = recv(TransferSocket, ScratchBuffer, kChunkCapacity, 0);
  if (n < 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) EndOfResponse(window, false);
    return;
  }
  if (n == 0) {
    ConnectionEnded(window, true);
    return;
  }
  ReceiveResponseBytes(window, ScratchBuffer, n);
}

void ConnectionEnded(HWND window, bool orderly) {
  // For a body without a length this is its orderly end, not a fault.
  if (HeaderPhase != 0 || LengthAnnounced != 0) MessageBoxA(window, kConnectionBrokenText, kErrorCaption, MB_OK);
  EndOfResponse(window, orderly);
}
