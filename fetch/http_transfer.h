// State of a download over HTTP/1.0: where to connect, what to ask for, and
// how far the response has come. One transfer at a time; the set-up fills it,
// socket events move it on, completion, close or abort end it.
#pragma once

#include <windows.h>

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
extern int Connecting;                     // 1 while the host is looked up or the connection made
extern HANDLE LookupTask;                  // the host name look-up under way, or null
extern char HostEntry[MAXGETHOSTSTRUCT];   // where that look-up leaves its answer
extern DWORD TransferStart;                // tick count when the set-up began; the overall deadline counts from it
extern DWORD SpeedWindowStart;             // tick count when the current low-speed window began
extern int SpeedWindowBytes;               // bytes received since then

// Bounds of one transfer. A download larger than this is no wallpaper, and
// taking it would fill the disk; a server slower than 1024 bytes in any 15
// seconds, silence included, or a transfer older than 10 minutes, is given
// up so the rotation cannot be held; a connection not made in 10 seconds
// likewise.
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
// received chunk, stopped when the transfer ends.
void StartTransferClock(HWND window);
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
