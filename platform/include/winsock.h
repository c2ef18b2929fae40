// The Windows Sockets 1.1 names the application uses, over the system's own
// sockets. The socket calls have C++ linkage on purpose: their C names belong
// to the system library, which must keep its own `socket`, `send` and `recv`.
#ifndef SKERROW_PLATFORM_WINSOCK_H
#define SKERROW_PLATFORM_WINSOCK_H

#include <windows.h>

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
} WSADATA, *LPWSADATA;

// Address families, socket types and protocols.
#define AF_UNSPEC 0
#define AF_INET 2
#define PF_UNSPEC AF_UNSPEC
#define PF_INET AF_INET
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_TCP 6

#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK ((ULONG)0x7f000001)
#define INADDR_NONE ((ULONG)0xffffffff)

// recv and send flags.
#define MSG_OOB 0x1
#define MSG_PEEK 0x2

// Events of WSAAsyncSelect; the low word of the notification's lParam.
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20

#define MAXGETHOSTSTRUCT 1024
#define WSAMAKEASYNCREPLY(length, error) ((LONG)MAKELONG(length, error))
#define WSAGETASYNCERROR(lParam) HIWORD(lParam)

#define WSAMAKESELECTREPLY(event, error) ((LONG)MAKELONG(event, error))
#define WSAGETSELECTEVENT(lParam) LOWORD(lParam)
#define WSAGETSELECTERROR(lParam) HIWORD(lParam)

// Error codes, as WSAGetLastError reports them.
#define WSABASEERR 10000
#define WSAEINTR (WSABASEERR + 4)
#define WSAEBADF (WSABASEERR + 9)
#define WSAEACCES (WSABASEERR + 13)
#define WSAEFAULT (WSABASEERR + 14)
#define WSAEINVAL (WSABASEERR + 22)
#define WSAEMFILE (WSABASEERR + 24)
#define WSAEWOULDBLOCK (WSABASEERR + 35)
#define WSAEINPROGRESS (WSABASEERR + 36)
#define WSAEALREADY (WSABASEERR + 37)
#define WSAENOTSOCK (WSABASEERR + 38)
#define WSAEDESTADDRREQ (WSABASEERR + 39)
#define WSAEMSGSIZE (WSABASEERR + 40)
#define WSAEPROTOTYPE (WSABASEERR + 41)
#define WSAENOPROTOOPT (WSABASEERR + 42)
#define WSAEPROTONOSUPPORT (WSABASEERR + 43)
#define WSAESOCKTNOSUPPORT (WSABASEERR + 44)
#define WSAEOPNOTSUPP (WSABASEERR + 45)
#define WSAEPFNOSUPPORT (WSABASEERR + 46)
#define WSAEAFNOSUPPORT (WSABASEERR + 47)
#define WSAEADDRINUSE (WSABASEERR + 48)
#define WSAEADDRNOTAVAIL (WSABASEERR + 49)
#define WSAENETDOWN (WSABASEERR + 50)
#define WSAENETUNREACH (WSABASEERR + 51)
#define WSAENETRESET (WSABASEERR + 52)
#define WSAECONNABORTED (WSABASEERR + 53)
#define WSAECONNRESET (WSABASEERR + 54)
#define WSAENOBUFS (WSABASEERR + 55)
#define WSAEISCONN (WSABASEERR + 56)
#define WSAENOTCONN (WSABASEERR + 57)
#define WSAESHUTDOWN (WSABASEERR + 58)
#define WSAETIMEDOUT (WSABASEERR + 60)
#define WSAECONNREFUSED (WSABASEERR + 61)
#define WSAEHOSTUNREACH (WSABASEERR + 65)
#define WSAEPROCLIM (WSABASEERR + 67)
#define WSASYSNOTREADY (WSABASEERR + 91)
#define WSAVERNOTSUPPORTED (WSABASEERR + 92)
#define WSANOTINITIALISED (WSABASEERR + 93)
#define WSAHOST_NOT_FOUND (WSABASEERR + 1001)
#define WSATRY_AGAIN (WSABASEERR + 1002)
#define WSANO_RECOVERY (WSABASEERR + 1003)
#define WSANO_DATA (WSABASEERR + 1004)

// An IPv4 address in network byte order, viewable as bytes, words or one
// 32-bit value.
typedef struct in_addr {
  union {
    struct {
      unsigned char s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      unsigned short s_w1, s_w2;
    } S_un_w;
    ULONG S_addr;
  } S_un;
} IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
#define s_addr S_un.S_addr

typedef struct sockaddr {
  unsigned short sa_family;
  char sa_data[14];
} SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

typedef struct sockaddr_in {
  short sin_family;
  unsigned short sin_port;  // network byte order
  struct in_addr sin_addr;
  char sin_zero[8];
} SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;

// Results of the look-ups; a name look-up gives up after 10 seconds
// (WSATRY_AGAIN), so a resolver that never answers cannot hold the caller.
// They live in storage of the calling thread until
// its next look-up of the same kind.
typedef struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;  // null-terminated; each entry h_length bytes
} HOSTENT, *PHOSTENT, *LPHOSTENT;
#define h_addr h_addr_list[0]

typedef struct servent {
  char* s_name;
  char** s_aliases;
  short s_port;  // network byte order
  char* s_proto;
} SERVENT, *PSERVENT, *LPSERVENT;

#ifdef __cplusplus
static_assert(sizeof(struct in_addr) == 4, "IPv4 address is 4 bytes");
static_assert(sizeof(struct sockaddr_in) == 16, "sockaddr_in is 16 bytes");
static_assert(sizeof(struct sockaddr) == 16, "sockaddr is 16 bytes");
#endif

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI WSAStartup(WORD version_requested, LPWSADATA data);
int WINAPI WSACleanup(void);
int WINAPI WSAGetLastError(void);
int WINAPI closesocket(SOCKET s);
void WINAPI WSASetLastError(int error);

#ifdef __cplusplus
}  // extern "C"

// Byte order: the wire is big-endian, this machine need not be.
inline unsigned short htons(unsigned short value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return value;
#else
  return static_cast<unsigned short>((value >> 8) | (value << 8));
#endif
}
inline unsigned short ntohs(unsigned short value) { return htons(value); }
inline ULONG htonl(ULONG value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return value;
#else
  return ((value & 0xffu) << 24) | ((value & 0xff00u) << 8) | ((value >> 8) & 0xff00u) | (value >> 24);
#endif
}
inline ULONG ntohl(ULONG value) { return htonl(value); }

SOCKET WINAPI socket(int af, int type, int protocol);
int WINAPI connect(SOCKET s, const struct sockaddr* name, int namelen);
int WINAPI send(SOCKET s, const char* buf, int len, int flags);
int WINAPI recv(SOCKET s, char* buf, int len, int flags);
struct hostent* WINAPI gethostbyname(const char* name);
struct servent* WINAPI getservbyname(const char* name, const char* proto);

// Looks `name` up on a thread of its own and posts `message` to `window`
// when done: wParam the task handle, lParam WSAMAKEASYNCREPLY(size needed,
// error). On success `buffer` holds a hostent and everything it points to.
// Returns 0 (null) when the look-up cannot be started.
HANDLE WINAPI WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int length);
// The task's message will not come; WSAEINVAL when it is unknown or done.
int WINAPI WSACancelAsyncRequest(HANDLE task);

// Makes the socket non-blocking and reports the chosen events to `window` as
// `message` (wParam the socket, lParam WSAMAKESELECTREPLY(event, error)).
// FD_CONNECT comes once when a connect called afterwards is made or has
// failed (then with its error, and nothing else follows); connect itself
// then fails at once with WSAEWOULDBLOCK. FD_READ stays posted once until
// recv re-arms it; FD_CLOSE comes once, when the peer has closed and
// everything sent has been read. Events 0 cancels; events other than
// FD_READ, FD_CLOSE and FD_CONNECT are refused with WSAEINVAL.
int WINAPI WSAAsyncSelect(SOCKET s, HWND window, UINT message, LONG events);
#endif

#endif  // SKERROW_PLATFORM_WINSOCK_H
