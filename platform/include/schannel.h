// The secure channel package: its names and the credential record a TLS
// client passes to AcquireCredentialsHandleA.
#ifndef SKERROW_PLATFORM_SCHANNEL_H
#define SKERROW_PLATFORM_SCHANNEL_H

#include <sspi.h>

#define UNISP_NAME_A "Microsoft Unified Security Protocol Provider"
#define SCHANNEL_NAME_A "Schannel"

// Certificates and stores stay opaque: this layer takes no client
// certificate and its own trust store is the system's.
typedef unsigned int ALG_ID;
typedef void* HCERTSTORE;
typedef struct _CERT_CONTEXT CERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

#define SCHANNEL_CRED_VERSION 0x00000004

typedef struct _SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  DWORD cMappers;
  struct _HMAPPER** aphMappers;
  DWORD cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;  // SP_PROT_*_CLIENT bits; 0 for the defaults
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;  // SCH_CRED_*
  DWORD dwCredFormat;
} SCHANNEL_CRED, *PSCHANNEL_CRED;

#define SP_PROT_NONE 0
#define SP_PROT_SSL2_CLIENT 0x00000008
#define SP_PROT_SSL3_CLIENT 0x00000020
#define SP_PROT_TLS1_CLIENT 0x00000080
#define SP_PROT_TLS1_0_CLIENT SP_PROT_TLS1_CLIENT
#define SP_PROT_TLS1_1_CLIENT 0x00000200
#define SP_PROT_TLS1_2_CLIENT 0x00000800
#define SP_PROT_TLS1_3_CLIENT 0x00002000
#define SP_PROT_TLS1_1PLUS_CLIENT (SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)
#define SP_PROT_TLS1_3PLUS_CLIENT SP_PROT_TLS1_3_CLIENT

// The certificate is always verified against the system's trust store and
// the target name, whatever SCH_CRED_MANUAL_CRED_VALIDATION or
// SCH_CRED_NO_SERVERNAME_CHECK ask: nothing else here could verify it.
#define SCH_CRED_NO_SYSTEM_MAPPER 0x00000002
#define SCH_CRED_NO_SERVERNAME_CHECK 0x00000004
#define SCH_CRED_MANUAL_CRED_VALIDATION 0x00000008
#define SCH_CRED_NO_DEFAULT_CREDS 0x00000010
#define SCH_CRED_AUTO_CRED_VALIDATION 0x00000020
#define SCH_CRED_USE_DEFAULT_CREDS 0x00000040
#define SCH_CRED_REVOCATION_CHECK_END_CERT 0x00000100
#define SCH_CRED_REVOCATION_CHECK_CHAIN 0x00000200
#define SCH_CRED_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT 0x00000400
#define SCH_CRED_IGNORE_NO_REVOCATION_CHECK 0x00000800
#define SCH_CRED_IGNORE_REVOCATION_OFFLINE 0x00001000
#define SCH_USE_STRONG_CRYPTO 0x00400000

// Control tokens for ApplyControlToken: the first DWORD of the buffer.
#define SCHANNEL_RENEGOTIATE 0
#define SCHANNEL_SHUTDOWN 1
#define SCHANNEL_ALERT 2
#define SCHANNEL_SESSION 3

#endif  // SKERROW_PLATFORM_SCHANNEL_H
