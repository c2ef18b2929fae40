// The secure channel package of the security provider interface, for TLS
// clients, over OpenSSL. OpenSSL works behind two memory buffers: the
// caller's received bytes go in one whole record at a time, so that what a
// call did not use can be handed back exactly (SECBUFFER_EXTRA), and what
// OpenSSL writes comes out as the tokens and records the caller sends.
#include <windows.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>

namespace {

// The high half of a handle tells credentials from contexts, so that one
// passed for the other is refused rather than looked up in the wrong table.
constexpr ULONG_PTR kCredentialTag = 0x5343726564;  // "SCred"
constexpr ULONG_PTR kContextTag = 0x5343747874;     // "SCtxt"

constexpr size_t kHeaderSize = 5;
// The largest record body TLS 1.2 allows (2^14 plus 2048 of expansion); a
// length above it is a broken stream, not a reason to wait for more.
constexpr size_t kMaxRecordBody = 16384 + 2048;
constexpr ULONG kMaxMessage = 16384;
// Room for what a record adds after its data with any suite OpenSSL offers
// (tag or MAC, padding), and for a short record OpenSSL may have queued to
// go out ahead of the data (an answer to a key update or a renegotiation).
constexpr ULONG kTrailerSize = 512;

using SslPointer = std::unique_ptr<SSL, decltype(&SSL_free)>;
using SslContextPointer = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

struct Credential {
  SslContextPointer ssl_context{nullptr, &SSL_CTX_free};
};

enum class Phase { kHandshake, kOpen, kClosed, kFailed };

struct Context {
  SslPointer ssl{nullptr, &SSL_free};
  BIO* incoming = nullptr;  // owned by ssl
  BIO* outgoing = nullptr;  // owned by ssl
  ULONG requested = 0;
  Phase phase = Phase::kHandshake;
  SECURITY_STATUS failure = SEC_E_OK;  // what every later call answers once failed
  bool shutdown_requested = false;
};

struct Tables {
  std::map<ULONG_PTR, Credential> credentials;
  std::map<ULONG_PTR, Context> contexts;
  ULONG_PTR next_id = 1;
  std::set<void*> allocations;  // output tokens handed out, for FreeContextBuffer
};

// Never destroyed: OpenSSL cleans up at exit before objects of static
// storage go, and a handle still open then must not be freed after it.
Tables& State() {
  static Tables* tables = new Tables;
  return *tables;
}

// Runs one call of the C surface: no exception crosses it, and the error
// queue is left empty for whichever call uses OpenSSL next.
template <typename Body>
SECURITY_STATUS Guarded(Body body) {
  SECURITY_STATUS status;
  try {
    status = body();
  } catch (const std::bad_alloc&) {
    status = SEC_E_INSUFFICIENT_MEMORY;
  } catch (...) {
    status = SEC_E_INTERNAL_ERROR;
  }
  ERR_clear_error();
  return status;
}

Credential* FindCredential(const CredHandle* handle) {
  if (handle == nullptr || handle->dwUpper != kCredentialTag) return nullptr;
  auto found = State().credentials.find(handle->dwLower);
  return found == State().credentials.end() ? nullptr : &found->second;
}

Context* FindContext(const CtxtHandle* handle) {
  if (handle == nullptr || handle->dwUpper != kContextTag) return nullptr;
  auto found = State().contexts.find(handle->dwLower);
  return found == State().contexts.end() ? nullptr : &found->second;
}

SecBuffer* FindBuffer(PSecBufferDesc description, ULONG type) {
  if (description == nullptr || description->pBuffers == nullptr) return nullptr;
  for (ULONG i = 0; i < description->cBuffers; ++i)
    if (description->pBuffers[i].BufferType == type) return &description->pBuffers[i];
  return nullptr;
}

void NeverExpires(PTimeStamp expiry) {
  if (expiry == nullptr) return;
  expiry->LowPart = 0xffffffffu;
  expiry->HighPart = 0x7fffffff;
}

// The length of the whole record at the start of `bytes`; 0 when more bytes
// are needed to tell or to hold it; -1 when they cannot start a record.
long RecordLength(std::string_view bytes, size_t* missing = nullptr) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (!bytes.empty() && (byte(0) < 20 || byte(0) > 24)) return -1;  // no content type
  if (bytes.size() > 1 && byte(1) != 3) return -1;                  // no TLS version
  if (bytes.size() < kHeaderSize) {
    if (missing) *missing = kHeaderSize - bytes.size();
    return 0;
  }
  size_t body = static_cast<size_t>(byte(3)) << 8 | byte(4);
  if (body > kMaxRecordBody) return -1;
  if (bytes.size() < kHeaderSize + body) {
    if (missing) *missing = kHeaderSize + body - bytes.size();
    return 0;
  }
  return static_cast<long>(kHeaderSize + body);
}

std::string DrainOutgoing(Context& context) {
  std::string bytes(static_cast<size_t>(BIO_ctrl_pending(context.outgoing)), '\0');
  if (!bytes.empty()) {
    int got = BIO_read(context.outgoing, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  return bytes;
}

// Hands `bytes` to the caller as the output token: in memory of ours when
// asked to allocate, else in the caller's buffer if they fit.
SECURITY_STATUS PutToken(const Context& context, PSecBufferDesc output, const std::string& bytes) {
  SecBuffer* token = FindBuffer(output, SECBUFFER_TOKEN);
  if (token == nullptr) return bytes.empty() ? SEC_E_OK : SEC_E_INVALID_PARAMETER;
  if ((context.requested & ISC_REQ_ALLOCATE_MEMORY) != 0) {
    token->pvBuffer = nullptr;
    token->cbBuffer = 0;
    if (bytes.empty()) return SEC_E_OK;
    void* memory = std::malloc(bytes.size());
    if (memory == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
    State().allocations.insert(memory);
    std::memcpy(memory, bytes.data(), bytes.size());
    token->pvBuffer = memory;
  } else {
    if (bytes.size() > token->cbBuffer || (token->pvBuffer == nullptr && !bytes.empty())) return SEC_E_BUFFER_TOO_SMALL;
    if (!bytes.empty()) std::memcpy(token->pvBuffer, bytes.data(), bytes.size());
  }
  token->cbBuffer = static_cast<ULONG>(bytes.size());
  return SEC_E_OK;
}

// What a failed handshake means to the caller: the certificate's fault
// first, as that is what a user is told about, then the protocol's.
SECURITY_STATUS HandshakeFailure(const SSL* ssl) {
  switch (SSL_get_verify_result(ssl)) {
    case X509_V_OK: break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return SEC_E_CERT_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return SEC_E_WRONG_PRINCIPAL;
    default: return SEC_E_UNTRUSTED_ROOT;
  }
  switch (ERR_GET_REASON(ERR_peek_last_error())) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_WRONG_SSL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_NO_CIPHERS_AVAILABLE: return SEC_E_ALGORITHM_MISMATCH;
    default: return SEC_E_ILLEGAL_MESSAGE;
  }
}

SECURITY_STATUS Fail(Context& context, SECURITY_STATUS status) {
  context.phase = Phase::kFailed;
  context.failure = status;
  return status;
}

// The versions a SCHANNEL_CRED allows, never below TLS 1.2.
bool ProtocolRange(DWORD enabled, int* lowest, int* highest) {
  if (enabled == 0) enabled = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  *lowest = (enabled & SP_PROT_TLS1_2_CLIENT) != 0 ? TLS1_2_VERSION : TLS1_3_VERSION;
  *highest = (enabled & SP_PROT_TLS1_3_CLIENT) != 0 ? TLS1_3_VERSION : TLS1_2_VERSION;
  return (enabled & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) != 0;
}

SECURITY_STATUS StartContext(Credential& credential, const char* target, ULONG requested, PCtxtHandle new_handle,
                             Context** started) {
  if (target == nullptr || *target == '\0' || std::strlen(target) > 255) return SEC_E_TARGET_UNKNOWN;
  if (new_handle == nullptr) return SEC_E_INVALID_PARAMETER;
  Context context;
  context.requested = requested;
  context.ssl.reset(SSL_new(credential.ssl_context.get()));
  if (!context.ssl) return SEC_E_INSUFFICIENT_MEMORY;
  context.incoming = BIO_new(BIO_s_mem());
  context.outgoing = BIO_new(BIO_s_mem());
  if (context.incoming == nullptr || context.outgoing == nullptr) {
    BIO_free(context.incoming);
    BIO_free(context.outgoing);
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  SSL_set_bio(context.ssl.get(), context.incoming, context.outgoing);
  // A memory buffer that runs dry means "wait for the socket", not the end.
  BIO_set_mem_eof_return(context.incoming, -1);
  SSL_set_connect_state(context.ssl.get());
  X509_VERIFY_PARAM* check = SSL_get0_param(context.ssl.get());
  X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  // A dotted address is checked as an address and never sent as a name.
  if (X509_VERIFY_PARAM_set1_ip_asc(check, target) != 1) {
    if (X509_VERIFY_PARAM_set1_host(check, target, 0) != 1 ||
        SSL_set_tlsext_host_name(context.ssl.get(), target) != 1)
      return SEC_E_TARGET_UNKNOWN;
  }
  ULONG_PTR id = State().next_id++;
  *started = &State().contexts.emplace(id, std::move(context)).first->second;
  new_handle->dwLower = id;
  new_handle->dwUpper = kContextTag;
  return SEC_E_OK;
}

// Feeds whole records from `input` until the handshake is done, fails or
// wants a record that has not fully arrived; `used` counts the bytes taken.
SECURITY_STATUS Handshake(Context& context, std::string_view input, size_t* used) {
  *used = 0;
  for (;;) {
    ERR_clear_error();
    int result = SSL_do_handshake(context.ssl.get());
    if (result == 1) {
      context.phase = Phase::kOpen;
      return SEC_E_OK;
    }
    if (SSL_get_error(context.ssl.get(), result) != SSL_ERROR_WANT_READ) return HandshakeFailure(context.ssl.get());
    long length = RecordLength(input.substr(*used));
    if (length < 0) return SEC_E_ILLEGAL_MESSAGE;
    if (length == 0) return SEC_I_CONTINUE_NEEDED;
    BIO_write(context.incoming, input.data() + *used, static_cast<int>(length));
    *used += static_cast<size_t>(length);
  }
}

SECURITY_STATUS ContinueContext(Context& context, PSecBufferDesc input, PSecBufferDesc output) {
  if (context.shutdown_requested) {
    // The close_notify goes out as the token, also in answer to the
    // server's own; nothing more is read or sent.
    bool connected = context.phase == Phase::kOpen || context.phase == Phase::kClosed;
    if (connected && (SSL_get_shutdown(context.ssl.get()) & SSL_SENT_SHUTDOWN) == 0) SSL_shutdown(context.ssl.get());
    context.phase = Phase::kClosed;
    context.shutdown_requested = false;
    return PutToken(context, output, DrainOutgoing(context));
  }
  if (context.phase == Phase::kFailed) return context.failure;
  if (context.phase != Phase::kHandshake) return SEC_E_OUT_OF_SEQUENCE;

  SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
  std::string_view bytes;
  if (token != nullptr && token->pvBuffer != nullptr) bytes = {static_cast<const char*>(token->pvBuffer), token->cbBuffer};
  size_t used = 0;
  SECURITY_STATUS status = Handshake(context, bytes, &used);
  std::string reply = DrainOutgoing(context);
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    // The alert that tells the server why, for callers that asked for it.
    if ((context.requested & ISC_REQ_EXTENDED_ERROR) != 0) PutToken(context, output, reply);
    return Fail(context, status);
  }
  if (status == SEC_I_CONTINUE_NEEDED && used == 0 && reply.empty() && token != nullptr)
    return SEC_E_INCOMPLETE_MESSAGE;  // the caller keeps its bytes and adds more
  SECURITY_STATUS put = PutToken(context, output, reply);
  if (put != SEC_E_OK) return Fail(context, put);
  // Bytes past the records used are the caller's again, to be given back.
  if (token != nullptr && used < bytes.size() && input->cBuffers > 1) {
    SecBuffer* extra = token + 1 < input->pBuffers + input->cBuffers ? token + 1 : nullptr;
    if (extra != nullptr && extra->BufferType == SECBUFFER_EMPTY) {
      extra->BufferType = SECBUFFER_EXTRA;
      extra->cbBuffer = static_cast<ULONG>(bytes.size() - used);
    }
  }
  return status;
}

}  // namespace

SECURITY_STATUS WINAPI AcquireCredentialsHandleA(SEC_CHAR*, SEC_CHAR* pszPackage, ULONG fCredentialUse, void*,
                                                 void* pAuthData, SEC_GET_KEY_FN, void*, PCredHandle phCredential,
                                                 PTimeStamp ptsExpiry) {
  return Guarded([&]() -> SECURITY_STATUS {
    if (pszPackage == nullptr ||
        (std::strcmp(pszPackage, UNISP_NAME_A) != 0 && strcasecmp(pszPackage, SCHANNEL_NAME_A) != 0))
      return SEC_E_SECPKG_NOT_FOUND;
    if (phCredential == nullptr) return SEC_E_INVALID_PARAMETER;
    if ((fCredentialUse & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_UNSUPPORTED_FUNCTION;  // clients only
    const auto* settings = static_cast<const SCHANNEL_CRED*>(pAuthData);
    if (settings != nullptr && settings->dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_UNKNOWN_CREDENTIALS;
    if (settings != nullptr && settings->cCreds != 0) return SEC_E_UNSUPPORTED_FUNCTION;  // no client certificates
    int lowest, highest;
    if (!ProtocolRange(settings != nullptr ? settings->grbitEnabledProtocols : 0, &lowest, &highest))
      return SEC_E_ALGORITHM_MISMATCH;

    Credential credential;
    credential.ssl_context.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ssl_context = credential.ssl_context.get();
    if (ssl_context == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
    SSL_CTX_set_min_proto_version(ssl_context, lowest);
    SSL_CTX_set_max_proto_version(ssl_context, highest);
    // A renegotiation would need bytes sent from inside DecryptMessage.
    SSL_CTX_set_options(ssl_context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ssl_context, SSL_VERIFY_PEER, nullptr);
    // The system's authorities, or those SSL_CERT_FILE and SSL_CERT_DIR name.
    if (SSL_CTX_set_default_verify_paths(ssl_context) != 1) return SEC_E_NO_CREDENTIALS;

    ULONG_PTR id = State().next_id++;
    State().credentials.emplace(id, std::move(credential));
    phCredential->dwLower = id;
    phCredential->dwUpper = kCredentialTag;
    NeverExpires(ptsExpiry);
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI FreeCredentialsHandle(PCredHandle phCredential) {
  return Guarded([&]() -> SECURITY_STATUS {
    if (FindCredential(phCredential) == nullptr) return SEC_E_INVALID_HANDLE;
    // Contexts made from it keep their own reference to what they need.
    State().credentials.erase(phCredential->dwLower);
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI InitializeSecurityContextA(PCredHandle phCredential, PCtxtHandle phContext,
                                                  SEC_CHAR* pszTargetName, ULONG fContextReq, ULONG, ULONG,
                                                  PSecBufferDesc pInput, ULONG, PCtxtHandle phNewContext,
                                                  PSecBufferDesc pOutput, ULONG* pfContextAttr,
                                                  PTimeStamp ptsExpiry) {
  return Guarded([&]() -> SECURITY_STATUS {
    Context* context = nullptr;
    if (phContext == nullptr) {
      Credential* credential = FindCredential(phCredential);
      if (credential == nullptr) return SEC_E_INVALID_HANDLE;
      SECURITY_STATUS started = StartContext(*credential, pszTargetName, fContextReq, phNewContext, &context);
      if (started != SEC_E_OK) return started;
    } else {
      context = FindContext(phContext);
      if (context == nullptr) return SEC_E_INVALID_HANDLE;
      if (phNewContext != nullptr && phNewContext != phContext) *phNewContext = *phContext;
      context->requested = fContextReq;
    }
    if (pfContextAttr != nullptr) {
      constexpr ULONG kGranted = ISC_RET_REPLAY_DETECT | ISC_RET_SEQUENCE_DETECT | ISC_RET_CONFIDENTIALITY |
                                 ISC_RET_ALLOCATED_MEMORY | ISC_RET_EXTENDED_ERROR | ISC_RET_STREAM;
      *pfContextAttr = fContextReq & kGranted;
    }
    NeverExpires(ptsExpiry);
    return ContinueContext(*context, pInput, pOutput);
  });
}

SECURITY_STATUS WINAPI DeleteSecurityContext(PCtxtHandle phContext) {
  return Guarded([&]() -> SECURITY_STATUS {
    if (FindContext(phContext) == nullptr) return SEC_E_INVALID_HANDLE;
    State().contexts.erase(phContext->dwLower);
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput) {
  return Guarded([&]() -> SECURITY_STATUS {
    Context* context = FindContext(phContext);
    if (context == nullptr) return SEC_E_INVALID_HANDLE;
    SecBuffer* token = FindBuffer(pInput, SECBUFFER_TOKEN);
    DWORD kind;
    if (token == nullptr || token->pvBuffer == nullptr || token->cbBuffer < sizeof kind) return SEC_E_INVALID_TOKEN;
    std::memcpy(&kind, token->pvBuffer, sizeof kind);
    if (kind != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;
    context->shutdown_requested = true;
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI QueryContextAttributesA(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer) {
  return Guarded([&]() -> SECURITY_STATUS {
    Context* context = FindContext(phContext);
    if (context == nullptr) return SEC_E_INVALID_HANDLE;
    if (ulAttribute != SECPKG_ATTR_STREAM_SIZES) return SEC_E_UNSUPPORTED_FUNCTION;
    if (pBuffer == nullptr) return SEC_E_INVALID_PARAMETER;
    if (context->phase == Phase::kHandshake) return SEC_E_OUT_OF_SEQUENCE;
    SecPkgContext_StreamSizes sizes{static_cast<ULONG>(kHeaderSize), kTrailerSize, kMaxMessage, 4, 1};
    std::memcpy(pBuffer, &sizes, sizeof sizes);
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI FreeContextBuffer(void* pvContextBuffer) {
  return Guarded([&]() -> SECURITY_STATUS {
    if (pvContextBuffer == nullptr) return SEC_E_OK;
    // Only what this layer handed out is freed; anything else is refused.
    if (State().allocations.erase(pvContextBuffer) == 0) return SEC_E_INVALID_HANDLE;
    std::free(pvContextBuffer);
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI EncryptMessage(PCtxtHandle phContext, ULONG, PSecBufferDesc pMessage, ULONG) {
  return Guarded([&]() -> SECURITY_STATUS {
    Context* context = FindContext(phContext);
    if (context == nullptr) return SEC_E_INVALID_HANDLE;
    if (context->phase == Phase::kFailed) return context->failure;
    if (context->phase != Phase::kOpen) return SEC_E_CONTEXT_EXPIRED;
    SecBuffer* parts[3] = {FindBuffer(pMessage, SECBUFFER_STREAM_HEADER), FindBuffer(pMessage, SECBUFFER_DATA),
                           FindBuffer(pMessage, SECBUFFER_STREAM_TRAILER)};
    for (SecBuffer* part : parts)
      if (part == nullptr || (part->pvBuffer == nullptr && part->cbBuffer != 0)) return SEC_E_INVALID_PARAMETER;
    ULONG length = parts[1]->cbBuffer;
    if (length > kMaxMessage) return SEC_E_INVALID_PARAMETER;
    if (length > 0 && SSL_write(context->ssl.get(), parts[1]->pvBuffer, static_cast<int>(length)) <= 0)
      return Fail(*context, SEC_E_ENCRYPT_FAILURE);
    std::string record = DrainOutgoing(*context);
    size_t room = static_cast<size_t>(parts[0]->cbBuffer) + parts[1]->cbBuffer + parts[2]->cbBuffer;
    // The record is already counted in the sequence: it cannot be redone.
    if (record.size() > room) return Fail(*context, SEC_E_BUFFER_TOO_SMALL);
    // Laid out in order over the three buffers, as a caller sends them.
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
      size_t take = i == 2 ? record.size() - at : std::min<size_t>(parts[i]->cbBuffer, record.size() - at);
      if (take > 0) std::memcpy(parts[i]->pvBuffer, record.data() + at, take);
      parts[i]->cbBuffer = static_cast<ULONG>(take);
      at += take;
    }
    return SEC_E_OK;
  });
}

SECURITY_STATUS WINAPI DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG, ULONG* pfQOP) {
  return Guarded([&]() -> SECURITY_STATUS {
    Context* context = FindContext(phContext);
    if (context == nullptr) return SEC_E_INVALID_HANDLE;
    if (pfQOP != nullptr) *pfQOP = 0;
    if (context->phase == Phase::kFailed) return context->failure;
    if (context->phase == Phase::kHandshake) return SEC_E_OUT_OF_SEQUENCE;
    if (context->phase == Phase::kClosed) return SEC_I_CONTEXT_EXPIRED;
    if (pMessage == nullptr || pMessage->pBuffers == nullptr || pMessage->cBuffers < 4) return SEC_E_INVALID_PARAMETER;
    SecBuffer* buffers = pMessage->pBuffers;
    SecBuffer* data = FindBuffer(pMessage, SECBUFFER_DATA);
    if (data == nullptr || (data->pvBuffer == nullptr && data->cbBuffer != 0)) return SEC_E_INVALID_PARAMETER;
    char* bytes = static_cast<char*>(data->pvBuffer);
    std::string_view received(bytes, data->cbBuffer);
    size_t missing = 0;
    long length = RecordLength(received, &missing);
    if (length < 0) return Fail(*context, SEC_E_ILLEGAL_MESSAGE);
    if (length == 0) {
      for (ULONG i = 0; i < pMessage->cBuffers; ++i)
        if (buffers[i].BufferType == SECBUFFER_EMPTY) {
          buffers[i].BufferType = SECBUFFER_MISSING;
          buffers[i].cbBuffer = static_cast<ULONG>(missing);
          break;
        }
      return SEC_E_INCOMPLETE_MESSAGE;
    }

    // One record in, its plaintext back over its own body: never longer.
    BIO_write(context->incoming, bytes, static_cast<int>(length));
    ERR_clear_error();
    int body = static_cast<int>(length - static_cast<long>(kHeaderSize));
    int plain = SSL_read(context->ssl.get(), bytes + kHeaderSize, body);
    SECURITY_STATUS status = SEC_E_OK;
    if (plain <= 0) {
      int error = SSL_get_error(context->ssl.get(), plain);
      plain = 0;
      if (error == SSL_ERROR_ZERO_RETURN) {
        context->phase = Phase::kClosed;
        status = SEC_I_CONTEXT_EXPIRED;
      } else if (error != SSL_ERROR_WANT_READ) {
        // A record without application data (a session ticket) is WANT_READ.
        return Fail(*context, ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC
                                  ? SEC_E_DECRYPT_FAILURE
                                  : SEC_E_ILLEGAL_MESSAGE);
      }
    }
    size_t rest = received.size() - static_cast<size_t>(length);
    buffers[0] = SecBuffer{static_cast<ULONG>(kHeaderSize), SECBUFFER_STREAM_HEADER, bytes};
    buffers[1] = SecBuffer{static_cast<ULONG>(plain), SECBUFFER_DATA, bytes + kHeaderSize};
    buffers[2] = SecBuffer{static_cast<ULONG>(body - plain), SECBUFFER_STREAM_TRAILER, bytes + kHeaderSize + plain};
    buffers[3] = rest > 0 ? SecBuffer{static_cast<ULONG>(rest), SECBUFFER_EXTRA, bytes + length}
                          : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    return status;
  });
}
