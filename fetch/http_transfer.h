// State of a download over HTTP/1.0: where to connect, what to ask for, and
// how far the response has come. One transfer at a time; the set-up fills it,
// socket events move it on, completion, close or abort end it.
#pragma once

#include <windows.h>
// Windows' own security header asks which of its interfaces is meant.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include "fetch_globals.h"

inline constexpr int kHeaderCapacity = 1024;

extern char HostName[kUrlCapacity];        // host connected to: the URL's, or the proxy's; also the Host line
extern char PortText[kUrlCapacity];        // port number or service name, from the URL or the proxy field
extern char RequestPath[kUrlCapacity];     // target of the request line; the whole address through a proxy
extern sockaddr_in ServerAddress;          // address the set-up connects to
extern int HeaderPhase;                    // 1 while the response header is collected, 0 in the body
extern char HeaderBuffer[kHeaderCapacity]; // the response header so far, NUL-terminated once complete
extern int HeaderLength;                   // header bytes in HeaderBuffer
extern int RemainingLength;                // body bytes still announced; only meaningful when LengthAnnounced
extern int LengthAnnounced;                // 1 once the header carried a valid content-length line
extern int BodyLength;                     // body bytes written to DownloadFile so far
extern int TransferCommand;                // command that started the transfer (100 or 104); rules the timer
extern int RequestSent;                    // 1 once this transfer's request has gone out
extern int SecureTransfer;                 // 1 for an https:// address: TLS over the connection or the tunnel
extern char TargetHost[kUrlCapacity];      // the address's own host: certificate name, tunnel end, Host line in TLS
extern unsigned short TargetPort;          // the address's own port, host order; the tunnel's far end
extern int Connecting;                     // 1 while the host is looked up or the connection made
extern HANDLE LookupTask;                  // the host name look-up under way, or null
extern char HostEntry[MAXGETHOSTSTRUCT];   // where that look-up leaves its answer
extern DWORD TransferStart;                // tick count when the address was taken; the overall deadline counts from it
extern DWORD SpeedWindowStart;             // tick count when the look-up, the connect or the current low-speed window began
extern int SpeedWindowBytes;               // bytes received since then

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

// Redirects followed in a row before the next one is refused, and the
// addresses of the chain so far, the first one included, so that a redirect
// back to any of them is known for a loop.
inline constexpr int kMaxRedirects = 5;
extern int RedirectCount;                                   // redirects followed since the address was taken
extern char RedirectChain[kMaxRedirects + 1][kUrlCapacity]; // addresses asked for in this chain, in order

// A fresh address begins a new chain; a followed redirect extends it.
void StartRedirectChain();
// Called once the response header is complete: true when its body is the
// picture; otherwise the transfer has been ended and its file removed.
bool AcceptResponseHeader(HWND window);
// Ends the transfer and removes its file; a box with `text` unless null.
void DiscardTransfer(HWND window, const char* text, const char* caption);

// The TLS side of an https:// transfer: a tunnel through the proxy first
// when there is one, then the handshake, then records.
inline constexpr int kSecureIdle = 0;         // no TLS: idle, or a plain http:// transfer
inline constexpr int kSecureProxyAnswer = 1;  // CONNECT sent, the proxy's answer awaited
inline constexpr int kSecureHandshake = 2;    // handshake tokens going back and forth
inline constexpr int kSecureOpen = 3;         // request and response travel as records
// The largest TLS record with its header and trailer fits, with room to spare.
inline constexpr int kSecureInputCapacity = 20 * 1024;
extern CredHandle SecureCredentials;          // this transfer's credentials; invalid when none are held
extern CtxtHandle SecureContext;              // the handshake's context; invalid when none is held
extern int SecurePhase;                       // one of the kSecure values above
extern SecPkgContext_StreamSizes SecureSizes; // record header, trailer and size limits once open
extern char SecureInput[kSecureInputCapacity];// received bytes not yet taken by the proxy answer, handshake or records
extern int SecureInputLength;                 // bytes in SecureInput

// The set-up's last step for https:// (in place of the request).
void StartSecureChannel(HWND window);
// A read event of an https:// transfer.
void ReceiveSecureEvent(HWND window);
// The peer has gone: an end of the response once the channel is open, else a
// failure. `orderly` as for EndOfResponse.
void SecureConnectionEnded(HWND window, bool orderly);
// The request as one record; false when the channel is not open or it failed.
bool SendSecure(const char* data, int length);
// Frees what the channel holds; every end of a transfer calls it.
void CloseSecureChannel();
// The server closed the connection: the body ends here, or was cut short.
void ConnectionEnded(HWND window, bool orderly);

// A number read the way atoi and atol read it (leading blanks, a sign,
// digits), held to 32 bits instead of overflowing.
int LeadingNumber(const char* text);

// The response handling behind the socket events, for callers that bring
// their own bytes: a received chunk, and the end of the connection.
void ReceiveResponseBytes(HWND window, const char* data, int length);
// `orderly`: the server closed; otherwise the connection failed or was reset,
// and what came is never taken for a whole body.
void EndOfResponse(HWND window, bool orderly);

// The limits' clock: started when the set-up begins, moved on by every
// received chunk, stopped when the transfer ends. A redirect's set-up keeps
// the overall deadline its chain began with (`new_address` false).
void StartTransferClock(HWND window, bool new_address);
void CountReceivedBytes(HWND window, int count);
void StopTransferClock(HWND window);

// The look-up took too long or the transfer was aborted: its answer will
// not be waited for.
void CancelHostLookup();
void HostLookupTimedOut(HWND window);

// The connection is made (error 0) or has failed: the request follows, or
// the set-up ends with its message. Defined with the set-up.
void ConnectionMade(HWND window, int error);
// A set-up that failed after the timer was stopped: without a display no
// one can hide the window to start the rotation again, so it restarts here.
void SetUpFailed(HWND window);
