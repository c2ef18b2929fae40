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
int RequestSent = 0;

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

void StopStallTimer(HWND window) { KillTimer(window, StallTimer); }

void StartStallTimer(HWND window);

// Ends the transfer without the pipeline; what was written stays on disk.
void CloseTransfer(HWND window) {
  CloseSecureChannel(window);
  if (TransferSocket != INVALID_SOCKET) closesocket(TransferSocket);
  if (DownloadFile != nullptr) std::fclose(DownloadFile);
  TransferSocket = INVALID_SOCKET;
  DownloadFile = nullptr;
  StopStallTimer(window);
}


void CompleteTransfer(HWND window) {
  CloseSecureChannel(window);
  closesocket(TransferSocket);
  TransferSocket = INVALID_SOCKET;
  StopStallTimer(window);
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

// Header lines end at LF and keep their CR; a line that begins, whatever
// its case, with "content-length: " announces the body's length, the last
// such line winning. The status line is not looked at.
void ReadHeaderLines() {
  const char* line = HeaderBuffer;
  while (*line != '\0') {
    if (StartsWithIgnoringCase(line, kLengthPrefix)) {
      RemainingLength = LeadingNumber(line + sizeof kLengthPrefix - 1);
      LengthAnnounced = 1;
    }
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) break;
    line = end + 1;
  }
}

// Takes header bytes from the chunk; returns how many it used, or -1 when
// the header outgrew its buffer.
int CollectHeader(const char* data, int length) {
  for (int i = 0; i < length; ++i) {
    if (HeaderLength >= kHeaderCapacity - 1) return -1;
    HeaderBuffer[HeaderLength++] = data[i];
    if (HeaderLength >= 4 && std::memcmp(HeaderBuffer + HeaderLength - 4, "\r\n\r\n", 4) == 0) {
      HeaderBuffer[HeaderLength] = '\0';
      HeaderPhase = 0;
      ReadHeaderLines();
      return i + 1;
    }
  }
  return length;
}

void CALLBACK OnStallTimer(HWND window, UINT, UINT_PTR, DWORD) {
  StopStallTimer(window);
  if (TransferSocket != INVALID_SOCKET || DownloadFile != nullptr) CloseTransfer(window);
}

void StartStallTimer(HWND window) {
  int period = IntervalMs > kMinStallMs ? IntervalMs : kMinStallMs;
  SetTimer(window, StallTimer, static_cast<UINT>(period), OnStallTimer);
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
    StartStallTimer(window);
    if (!SendSecure(request, length)) DiscardTransfer(window, kSecureFailedText, kErrorCaption);
    return;  // the rotation went on when the handshake began
  }
  for (int sent = 0; sent < length;) {
    int n = send(TransferSocket, request + sent, length - sent, 0);
    if (n <= 0) break;  // the transfer then ends by its socket events
    sent += n;
  }
  StartStallTimer(window);
  if (TransferCommand == RotateCommandId) SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
}

void ReceiveResponseBytes(HWND window, const char* data, int length) {
  if (DownloadFile == nullptr || length <= 0) return;
  StartStallTimer(window);  // the server is alive
  if (HeaderPhase != 0) {
    int used = CollectHeader(data, length);
    if (used < 0) {
      DiscardTransfer(window, kHeaderTooLongText, kErrorCaption);
      return;
    }
    if (HeaderPhase == 0 && !AcceptResponseHeader(window)) return;
    // A chunk that ends with the header leaves the completion test to the
    // next chunk, even for an empty body.
    if (used == length) return;
    data += used;
    length -= used;
  }
  if (LengthAnnounced != 0)
    RemainingLength = RemainingLength < INT_MIN + length ? INT_MIN : RemainingLength - length;
  if (std::fwrite(data, 1, static_cast<size_t>(length), DownloadFile) != static_cast<size_t>(length)) {
    DiscardTransfer(window, kFileWriteFailedText, kFileErrorCaption);
    return;
  }
  if (LengthAnnounced != 0 && RemainingLength <= 0) CompleteTransfer(window);
}

void EndOfResponse(HWND window) {
  // Without an announced length the body runs until the server closes.
  if (DownloadFile != nullptr && HeaderPhase == 0 && LengthAnnounced == 0) {
    CompleteTransfer(window);
    return;
  }
  CloseTransfer(window);
}

void ReceiveSocketEvent(HWND window, WPARAM socket, LPARAM event) {
  // An event of a transfer that has ended must not touch the current one.
  if (TransferSocket == INVALID_SOCKET || static_cast<SOCKET>(socket) != TransferSocket) return;
  if (SecureTransfer != 0) {
    if (WSAGETSELECTEVENT(event) == FD_READ) {
      ReceiveSecureEvent(window);
    } else {
      SecureConnectionEnded(window);
    }
    return;
  }
  if (WSAGETSELECTEVENT(event) != FD_READ) {
    EndOfResponse(window);
    return;
  }
  int n = recv(TransferSocket, ScratchBuffer, kChunkCapacity, 0);
  if (n < 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) EndOfResponse(window);
    return;
  }
  if (n == 0) {
    ConnectionEnded(window);
    return;
  }
  ReceiveResponseBytes(window, ScratchBuffer, n);
}

void ConnectionEnded(HWND window) {
  // For a body without a length this is its orderly end, not a fault.
  if (HeaderPhase != 0 || LengthAnnounced != 0) MessageBoxA(window, kConnectionBrokenText, kErrorCaption, MB_OK);
  EndOfResponse(window);
}
