// A download over HTTP/1.0 as one record with a phase: where to connect,
// what to ask for, how far the response has come. One transfer at a time;
// transfer.cpp owns it, and the response, redirect and TLS helpers return
// verdicts that file acts on.
#pragma once

#include <windows.h>
// Windows' own security header asks which of its interfaces is meant.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include <cstddef>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>

#include "fetch_globals.h"

inline constexpr int kHeaderCapacity = 1024;

// Where the one transfer stands. Only transfer.cpp moves it on; everything
// else reads it or hands back a verdict for that file to act on.
enum class TransferPhase {
  Idle,       // no transfer
  LookUp,     // the host name is being looked up
  Connect,    // the connection is being made
  Tunnel,     // CONNECT sent to the proxy, its answer awaited
  Handshake,  // TLS handshake tokens going back and forth
  Header,     // the request is out (or due once the channel opens); the response header is collected
  Body,       // the body is written to DownloadFile
};

// How far the response has come; the response helpers change it.
struct ResponseState {
  int in_header;                     // 1 while the header is collected, 0 in the body
  char header[kHeaderCapacity];      // the response header so far, NUL-terminated once complete
  int header_length;                 // header bytes in `header`
  int remaining;                     // body bytes still announced; only meaningful when length_announced
  int length_announced;              // 1 once the header carried a valid content-length line
  int body_length;                   // body bytes written so far
  char answer_text[kHeaderCapacity]; // the box text of a refused answer, formatted from its status line
  char redirect_target[kUrlCapacity];// where an accepted redirect points
};

// The largest TLS record with its header and trailer fits, with room to spare.
inline constexpr int kSecureInputCapacity = 20 * 1024;

// The TLS side of an https:// transfer; the channel helpers change it.
struct SecureState {
  CredHandle credentials;           // this transfer's credentials; invalid when none are held
  CtxtHandle context;               // the handshake's context; invalid when none is held
  SecPkgContext_StreamSizes sizes;  // record header, trailer and size limits once open
  char input[kSecureInputCapacity]; // received bytes not yet taken by the proxy answer, handshake or records
  int input_length;                 // bytes in `input`
};

// The one download under way. TransferSocket and DownloadFile stay apart
// for the shell, which reads them; transfer.cpp alone writes all of them.
struct HttpTransfer {
  TransferPhase phase;                  // where the transfer stands
  int command;                          // command that started the chain (100 or 104); rules the timer
  char url[kUrlCapacity];               // the address the chain began with, as the list gave it; its lines name it
  int secure;                           // 1 for an https:// address: TLS over the connection or the tunnel
  int request_sent;                     // 1 once this transfer's request has gone out
  char host[kUrlCapacity];              // host connected to: the URL's, or the proxy's; also the Host line
  char port_text[kUrlCapacity];         // port number or service name, from the URL or the proxy field
  char target_port_text[kUrlCapacity];  // the address's own port text; through a proxy port_text is the proxy's
  char request_path[kUrlCapacity];      // target of the request line; the whole address through a proxy
  char target_host[kUrlCapacity];       // the address's own host: certificate name, tunnel end, Host line in TLS
  unsigned short target_port;           // the address's own port, host order; the tunnel's far end
  sockaddr_in address;                  // address the set-up connects to
  HANDLE lookup;                        // the host name look-up under way, or null
  alignas(hostent) char host_entry[MAXGETHOSTSTRUCT];  // where that look-up leaves its answer
  DWORD start;                          // tick count when the chain's first address was taken
  DWORD window_start;                   // tick count when the look-up, the connect or the low-speed window began
  int window_bytes;                     // bytes received since then
  ResponseState response;               // the answer so far
  SecureState tls;                      // the channel, for https://
};
extern HttpTransfer Transfer;

// A failure's box, held until every frame of the transfer has returned.
struct PendingBox {
  std::string text;
  std::string caption;
};
extern std::deque<PendingBox> PendingBoxes;  // boxes of ended transfers not yet shown, oldest first

// Bounds of one transfer. A download larger than this is no wallpaper, and
// taking it would fill the disk; a server slower than 1024 bytes in any 15
// seconds, silence included, or an address still not fetched after 10
// minutes, redirects included, is given up so the rotation cannot be held;
// a connection not made in 10 seconds likewise. A proxy's tunnel and a TLS
// handshake are part of the transfer and held to the same bounds.
inline constexpr int kMaxDownloadBytes = 256 << 20;
inline constexpr int kLowSpeedBytes = 1024;
inline constexpr DWORD kLowSpeedWindowMs = 15000;
inline constexpr DWORD kTransferDeadlineMs = 600000;
inline constexpr DWORD kConnectLimitMs = 10000;

// The fetcher's own timer, which enforces those limits.
inline constexpr UINT_PTR StallTimer = 23276;

// Texts of the HTTP side's message boxes.
inline constexpr char kHostUnknownText[] =
    "\x83\x7a\x83\x58\x83\x67\x96\xbc\x82\xaa\x95\x73\x96\xbe\x82\xc5\x82\xb7\x81\x42";  // ホスト名が不明です。
inline constexpr char kPortUnknownText[] =
    "\x83\x7c\x81\x5b\x83\x67\x96\xbc\x82\xaa\x95\x73\x96\xbe\x82\xc5\x82\xb7\x81\x42";  // ポート名が不明です。
inline constexpr char kPortUnknownCaption[] = "getservbyname(sock) failed";
inline constexpr char kSocketFailedText[] = "socket() failed";
inline constexpr char kConnectFailedText[] = "connect() failed";
inline constexpr char kFileOpenFailedText[] = "Error on file open()";
inline constexpr char kFileWriteFailedText[] = "Error on file write()";
inline constexpr char kAsyncSelectFailedText[] = "Error on WSAAsyncSelect()";
inline constexpr char kFileErrorCaption[] = "err";
inline constexpr char kConnectionBrokenText[] = "Connection broken";
inline constexpr char kHeaderTooLongText[] = "The response header is too long";
inline constexpr char kNameTooLongText[] = "The address is too long";
inline constexpr char kTooLargeText[] = "The download is larger than 256 MiB";
inline constexpr char kLengthsDisagreeText[] = "The response announces two different lengths";
inline constexpr char kServerAnsweredText[] = "The server answered ";
inline constexpr char kNotHttpText[] = "The server's answer is not an HTTP response";
inline constexpr char kTooManyRedirectsText[] = "The server redirected more than 5 times in a row";
inline constexpr char kRedirectLoopText[] = "The server's redirects lead back to an address already asked for";
inline constexpr char kInsecureRedirectText[] = "The server redirected an https:// address to http://; not followed";
inline constexpr char kRedirectUnsupportedText[] = "The server redirected to an address that cannot be fetched";
inline constexpr char kRedirectTooLongText[] = "The server redirected to an address that is too long";
inline constexpr char kCertificateExpiredText[] = "The server's certificate has expired";
inline constexpr char kCertificateNameText[] = "The server's certificate is not for this host";
inline constexpr char kCertificateUntrustedText[] = "The server's certificate is not trusted";
inline constexpr char kSecureFailedText[] = "The secure connection to the server failed";
inline constexpr char kSecureStalledText[] = "The server did not complete the secure connection in time";
inline constexpr char kProxyNotHttpText[] = "The proxy's answer is not an HTTP response";

// Why a transfer ended without a picture, on the error stream, where the
// box says nothing or says it in other words.
inline constexpr char kStalledLine[] = "the server stopped sending (under 1024 bytes in 15 s)";
inline constexpr char kDeadlineLine[] = "not fetched within 10 minutes";
inline constexpr char kConnectStalledLine[] = "no connection within 10 s";
inline constexpr char kHostUnknownLine[] = "the host name is not known";
inline constexpr char kPortUnknownLine[] = "the port is neither a number nor a known service";
inline constexpr char kClosedInHeaderLine[] = "the server closed the connection before its answer's header ended";
inline constexpr char kClosedEarlyLine[] = "the server closed the connection before the announced length had come";
inline constexpr char kResetLine[] = "the connection failed or was reset before the picture was whole";
inline constexpr char kStoppedLine[] = "the download was stopped";

// Redirects followed in a row before the next one is refused, and the
// addresses of the chain so far, the first one included, so that a redirect
// back to any of them is known for a loop.
inline constexpr int kMaxRedirects = 5;
extern int RedirectCount;                                   // redirects followed since the address was taken
extern char RedirectChain[kMaxRedirects + 1][kUrlCapacity]; // addresses asked for in this chain, in order

// A fresh address begins a new chain.
void StartRedirectChain();
// Why a redirect to `location` cannot be followed, or null when it can;
// `target` then holds the absolute address.
const char* JudgeRedirect(std::string_view location, char* target, std::size_t capacity);
// A followed redirect extends the chain and becomes CurrentUrl.
void FollowRedirect(const char* target);

// How a helper says a transfer is to end; None: it goes on.
enum class Ending {
  None,
  Complete,  // the body is whole: the pipeline takes the file
  Keep,      // closed; what was written stays on disk
  Discard,   // closed and its file removed
  Redirect,  // discarded, and response.redirect_target is fetched next
  Abort,     // closed at the user's word: nothing restarts, the file stays
};
struct Verdict {
  Ending ending;
  const char* text;     // the box to show once the transfer has ended, or null
  const char* caption;
  const char* line = nullptr;  // why, on the error stream, when the box's text does not say it or there is none
};
inline constexpr Verdict kGoOn = {Ending::None, nullptr, nullptr};

// The response helpers: the header judged once complete, the body written
// to `file`. They change `state` only and never end anything themselves.
void StartResponse(ResponseState& state);
Verdict TakeResponseBytes(ResponseState& state, std::FILE* file, const char* data, int length);
// What the header says: a picture to keep receiving (kGoOn), a redirect,
// or an answer that ends the transfer with a box.
Verdict JudgeResponseHeader(ResponseState& state);
// The server closed (`orderly`) or the connection failed or was reset;
// `announced_box`: the close is reported as a broken connection when the
// header or an announced length was still owed.
Verdict EndOfResponse(const ResponseState& state, bool orderly, bool announced_box);

// The TLS helpers over `tls` and the transfer's socket.
enum class TlsStep {
  Wait,    // more bytes are needed
  Open,    // the tunnel or the channel is open; for DecryptRecord, a record was taken
  Ended,   // the server closed the channel in order
  Failed,  // with `text`
};
struct TlsVerdict {
  TlsStep step;
  const char* text;
};
void ResetSecureState(SecureState& tls);
void CloseSecureState(SecureState& tls);
// The proxy's answer to CONNECT; a refusal's text is formatted into `text`.
TlsVerdict ReadTunnelAnswer(SecureState& tls, char* text, std::size_t capacity);
// Credentials and the client's hello, then the steps over what has come.
TlsVerdict BeginHandshake(SecureState& tls, SOCKET socket, const char* host);
TlsVerdict ContinueHandshake(SecureState& tls, SOCKET socket, const char* host);
// Decrypts the first whole record in place: `data`/`length` its bytes,
// `used` how much of the input it took, to consume once they are handled.
TlsVerdict DecryptRecord(SecureState& tls, const char** data, int* length, int* used);
void ConsumeSecureInput(SecureState& tls, int used);
bool SendSecure(SecureState& tls, SOCKET socket, const char* data, int length);
// Sends all of it; false when the socket is too full or gone.
bool SendAll(SOCKET socket, const char* data, int length);

// A number read the way atoi and atol read it (leading blanks, a sign,
// digits), held to 32 bits instead of overflowing.
int LeadingNumber(const char* text);

// Ends the transfer, whatever its phase, in one way: look-up, channel,
// socket, file and clock settled, the rotation restarted as a failed set-up
// needs, then the pipeline for a complete one; a box, if any, comes later
// from the window procedure.
void EndTransfer(HWND window, Verdict verdict);
