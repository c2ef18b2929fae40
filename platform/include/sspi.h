// The Security Support Provider names a TLS client uses, with their Windows
// types, values and spellings: credentials, the context a handshake builds,
// and the calls that turn application bytes into records and back. Only the
// ANSI forms exist here; the one package behind them is the secure channel
// declared in <schannel.h>.
#ifndef SKERROW_PLATFORM_SSPI_H
#define SKERROW_PLATFORM_SSPI_H

#include <windows.h>

#define SEC_ENTRY WINAPI
#define SEC_FAR

typedef CHAR SEC_CHAR;
typedef LONG SECURITY_STATUS;

// A handle is two numbers the layer looks up; it never points anywhere.
typedef struct _SecHandle {
  ULONG_PTR dwLower;
  ULONG_PTR dwUpper;
} SecHandle, *PSecHandle;
typedef SecHandle CredHandle;
typedef PSecHandle PCredHandle;
typedef SecHandle CtxtHandle;
typedef PSecHandle PCtxtHandle;

#define SecInvalidateHandle(x)                                 \
  ((PSecHandle)(x))->dwLower = ((ULONG_PTR)((INT_PTR)-1));     \
  ((PSecHandle)(x))->dwUpper = ((ULONG_PTR)((INT_PTR)-1));
#define SecIsValidHandle(x)                                    \
  ((((PSecHandle)(x))->dwLower != ((ULONG_PTR)((INT_PTR)-1))) && \
   (((PSecHandle)(x))->dwUpper != ((ULONG_PTR)((INT_PTR)-1))))

typedef struct _SECURITY_INTEGER {
  ULONG LowPart;
  LONG HighPart;
} SECURITY_INTEGER, *PSECURITY_INTEGER;
typedef SECURITY_INTEGER TimeStamp;
typedef SECURITY_INTEGER* PTimeStamp;

typedef struct _SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
} SecBuffer, *PSecBuffer;

typedef struct _SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  PSecBuffer pBuffers;
} SecBufferDesc, *PSecBufferDesc;

#define SECBUFFER_VERSION 0

#define SECBUFFER_EMPTY 0
#define SECBUFFER_DATA 1
#define SECBUFFER_TOKEN 2
#define SECBUFFER_PKG_PARAMS 3
#define SECBUFFER_MISSING 4
#define SECBUFFER_EXTRA 5
#define SECBUFFER_STREAM_TRAILER 6
#define SECBUFFER_STREAM_HEADER 7
#define SECBUFFER_ALERT 17

#define SECURITY_NATIVE_DREP 0x00000010
#define SECURITY_NETWORK_DREP 0x00000000

#define SECPKG_CRED_INBOUND 0x00000001
#define SECPKG_CRED_OUTBOUND 0x00000002

#define ISC_REQ_DELEGATE 0x00000001
#define ISC_REQ_MUTUAL_AUTH 0x00000002
#define ISC_REQ_REPLAY_DETECT 0x00000004
#define ISC_REQ_SEQUENCE_DETECT 0x00000008
#define ISC_REQ_CONFIDENTIALITY 0x00000010
#define ISC_REQ_USE_SESSION_KEY 0x00000020
#define ISC_REQ_PROMPT_FOR_CREDS 0x00000040
#define ISC_REQ_USE_SUPPLIED_CREDS 0x00000080
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100
#define ISC_REQ_USE_DCE_STYLE 0x00000200
#define ISC_REQ_DATAGRAM 0x00000400
#define ISC_REQ_CONNECTION 0x00000800
#define ISC_REQ_EXTENDED_ERROR 0x00004000
#define ISC_REQ_STREAM 0x00008000
#define ISC_REQ_INTEGRITY 0x00010000
#define ISC_REQ_MANUAL_CRED_VALIDATION 0x00080000

#define ISC_RET_DELEGATE 0x00000001
#define ISC_RET_MUTUAL_AUTH 0x00000002
#define ISC_RET_REPLAY_DETECT 0x00000004
#define ISC_RET_SEQUENCE_DETECT 0x00000008
#define ISC_RET_CONFIDENTIALITY 0x00000010
#define ISC_RET_USE_SESSION_KEY 0x00000020
#define ISC_RET_USED_COLLECTED_CREDS 0x00000040
#define ISC_RET_USED_SUPPLIED_CREDS 0x00000080
#define ISC_RET_ALLOCATED_MEMORY 0x00000100
#define ISC_RET_USED_DCE_STYLE 0x00000200
#define ISC_RET_DATAGRAM 0x00000400
#define ISC_RET_CONNECTION 0x00000800
#define ISC_RET_EXTENDED_ERROR 0x00004000
#define ISC_RET_STREAM 0x00008000
#define ISC_RET_INTEGRITY 0x00010000
#define ISC_RET_MANUAL_CRED_VALIDATION 0x00080000

#define SECPKG_ATTR_SIZES 0
#define SECPKG_ATTR_NAMES 1
#define SECPKG_ATTR_LIFESPAN 2
#define SECPKG_ATTR_DCE_INFO 3
#define SECPKG_ATTR_STREAM_SIZES 4

typedef struct _SecPkgContext_StreamSizes {
  ULONG cbHeader;
  ULONG cbTrailer;
  ULONG cbMaximumMessage;
  ULONG cBuffers;
  ULONG cbBlockSize;
} SecPkgContext_StreamSizes, *PSecPkgContext_StreamSizes;

// Results. The informational ones (SEC_I_) are successes.
#define SEC_E_OK ((SECURITY_STATUS)0x00000000)
#define SEC_E_INSUFFICIENT_MEMORY ((SECURITY_STATUS)0x80090300)
#define SEC_E_INVALID_HANDLE ((SECURITY_STATUS)0x80090301)
#define SEC_E_UNSUPPORTED_FUNCTION ((SECURITY_STATUS)0x80090302)
#define SEC_E_TARGET_UNKNOWN ((SECURITY_STATUS)0x80090303)
#define SEC_E_INTERNAL_ERROR ((SECURITY_STATUS)0x80090304)
#define SEC_E_SECPKG_NOT_FOUND ((SECURITY_STATUS)0x80090305)
#define SEC_E_NOT_OWNER ((SECURITY_STATUS)0x80090306)
#define SEC_E_INVALID_TOKEN ((SECURITY_STATUS)0x80090308)
#define SEC_E_UNKNOWN_CREDENTIALS ((SECURITY_STATUS)0x8009030D)
#define SEC_E_NO_CREDENTIALS ((SECURITY_STATUS)0x8009030E)
#define SEC_E_MESSAGE_ALTERED ((SECURITY_STATUS)0x8009030F)
#define SEC_E_OUT_OF_SEQUENCE ((SECURITY_STATUS)0x80090310)
#define SEC_I_CONTINUE_NEEDED ((SECURITY_STATUS)0x00090312)
#define SEC_E_CONTEXT_EXPIRED ((SECURITY_STATUS)0x80090317)
#define SEC_I_CONTEXT_EXPIRED ((SECURITY_STATUS)0x00090317)
#define SEC_E_INCOMPLETE_MESSAGE ((SECURITY_STATUS)0x80090318)
#define SEC_I_INCOMPLETE_CREDENTIALS ((SECURITY_STATUS)0x00090320)
#define SEC_E_BUFFER_TOO_SMALL ((SECURITY_STATUS)0x80090321)
#define SEC_I_RENEGOTIATE ((SECURITY_STATUS)0x00090321)
#define SEC_E_WRONG_PRINCIPAL ((SECURITY_STATUS)0x80090322)
#define SEC_E_UNTRUSTED_ROOT ((SECURITY_STATUS)0x80090325)
#define SEC_E_ILLEGAL_MESSAGE ((SECURITY_STATUS)0x80090326)
#define SEC_E_CERT_UNKNOWN ((SECURITY_STATUS)0x80090327)
#define SEC_E_CERT_EXPIRED ((SECURITY_STATUS)0x80090328)
#define SEC_E_ENCRYPT_FAILURE ((SECURITY_STATUS)0x80090329)
#define SEC_E_DECRYPT_FAILURE ((SECURITY_STATUS)0x80090330)
#define SEC_E_ALGORITHM_MISMATCH ((SECURITY_STATUS)0x80090331)
#define SEC_E_UNFINISHED_CONTEXT_DELETED ((SECURITY_STATUS)0x80090333)
#define SEC_E_INVALID_PARAMETER ((SECURITY_STATUS)0x8009035D)

typedef void(WINAPI* SEC_GET_KEY_FN)(void* Arg, void* Principal, ULONG KeyVer, void** Key,
                                     SECURITY_STATUS* Status);

#ifdef __cplusplus
extern "C" {
#endif

// Credentials for outbound use of the secure channel package; pAuthData is
// a SCHANNEL_CRED or null for the defaults (TLS 1.2 or newer).
SECURITY_STATUS WINAPI AcquireCredentialsHandleA(SEC_CHAR* pszPrincipal, SEC_CHAR* pszPackage, ULONG fCredentialUse,
                                                 void* pvLogonId, void* pAuthData, SEC_GET_KEY_FN pGetKeyFn,
                                                 void* pvGetKeyArgument, PCredHandle phCredential,
                                                 PTimeStamp ptsExpiry);
SECURITY_STATUS WINAPI FreeCredentialsHandle(PCredHandle phCredential);

// One step of the client's handshake: the peer's bytes in (SECBUFFER_TOKEN,
// with a SECBUFFER_EMPTY after it that comes back as SECBUFFER_EXTRA for
// bytes left unread), the bytes to send out. pszTargetName is the host: it
// travels as the server name and the certificate must be for it.
SECURITY_STATUS WINAPI InitializeSecurityContextA(PCredHandle phCredential, PCtxtHandle phContext,
                                                  SEC_CHAR* pszTargetName, ULONG fContextReq, ULONG Reserved1,
                                                  ULONG TargetDataRep, PSecBufferDesc pInput, ULONG Reserved2,
                                                  PCtxtHandle phNewContext, PSecBufferDesc pOutput,
                                                  ULONG* pfContextAttr, PTimeStamp ptsExpiry);
SECURITY_STATUS WINAPI DeleteSecurityContext(PCtxtHandle phContext);
SECURITY_STATUS WINAPI ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput);
SECURITY_STATUS WINAPI QueryContextAttributesA(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer);
SECURITY_STATUS WINAPI FreeContextBuffer(void* pvContextBuffer);

// One record each way. EncryptMessage fills SECBUFFER_STREAM_HEADER,
// SECBUFFER_DATA and SECBUFFER_STREAM_TRAILER in place; DecryptMessage takes
// the received bytes as SECBUFFER_DATA and turns its buffers into header,
// plaintext, trailer and SECBUFFER_EXTRA for bytes past the record. A
// record that carries no application data (a session ticket) decrypts to
// SEC_E_OK with an empty SECBUFFER_DATA; SEC_I_RENEGOTIATE never comes.
SECURITY_STATUS WINAPI EncryptMessage(PCtxtHandle phContext, ULONG fQOP, PSecBufferDesc pMessage, ULONG MessageSeqNo);
SECURITY_STATUS WINAPI DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG MessageSeqNo,
                                      ULONG* pfQOP);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // SKERROW_PLATFORM_SSPI_H
