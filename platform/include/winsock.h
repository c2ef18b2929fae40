// The Windows Sockets names the application uses. Only start-up and clean-up
// are offered yet; the socket calls themselves join later.
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

#define WSABASEERR 10000
#define WSAENOTSOCK (WSABASEERR + 38)
#define WSAEFAULT (WSABASEERR + 14)
#define WSAEINVAL (WSABASEERR + 22)
#define WSASYSNOTREADY (WSABASEERR + 91)
#define WSAVERNOTSUPPORTED (WSABASEERR + 92)
#define WSANOTINITIALISED (WSABASEERR + 93)
#define WSAEPROCLIM (WSABASEERR + 67)

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
#endif

#endif  // SKERROW_PLATFORM_WINSOCK_H
