// TLS for https:// addresses, on the same socket events as plain HTTP: the
// proxy's tunnel (CONNECT), the handshake tokens, then records both ways.
// Nothing here blocks or ends the transfer: a read that finds too little
// asks for the next FD_READ, and a failure is a verdict for the owner.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app_constants.h"
#include "fetch_globals.h"
#include "http_response.h"
#include "http_transfer.h"

namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
constexpr char kProxyRefusedText[] = "The proxy refused the connection: ";

const char* HandshakeFailureText(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_CERT_EXPIRED: return kCertificateExpiredText;
    case SEC_E_WRONG_PRINCIPAL: return kCertificateNameText;
    case SEC_E_UNTRUSTED_ROOT:
    case SEC_E_CERT_UNKNOWN: return kCertificateUntrustedText;
    default: break;
  }
  // The certificate trust codes (CERT_E_...) of the chain check.
  if ((static_cast<unsigned long>(status) & 0xffff0000ul) == 0x800b0000ul) return kCertificateUntrustedText;
  return kSecureFailedText;
}

constexpr TlsVerdict kFailed = {TlsStep::Failed, kSecureFailedText};

}  // namespace

bool SendAll(SOCKET socket, const char* data, int length) {
  for (int sent = 0; sent < length;) {
    int n = send(socket, data + sent, length - sent, 0);
    if (n <= 0) return false;
    sent += n;
  }
  return true;
}

// Handles not held are the invalid pair, so closing knows what to free.
void ResetSecureState(SecureState& tls) {
  SecInvalidateHandle(&tls.context);
  SecInvalidateHandle(&tls.credentials);
  tls.input_length = 0;
}

void CloseSecureState(SecureState& tls) {
  if (SecIsValidHandle(&tls.context)) DeleteSecurityContext(&tls.context);
  if (SecIsValidHandle(&tls.credentials)) FreeCredentialsHandle(&tls.credentials);
  ResetSecureState(tls);
}

// Never more than is held: a count from elsewhere must not move memory
// that is not there.
void ConsumeSecureInput(SecureState& tls, int used) {
  if (used <= 0) return;
  if (used > tls.input_length) used = tls.input_length;
  std::memmove(tls.input, tls.input + used, static_cast<std::size_t>(tls.input_length - used));
  tls.input_length -= used;
}

TlsVerdict ReadTunnelAnswer(SecureState& tls, char* text, std::size_t capacity) {
  std::string_view received(tls.input, static_cast<std::size_t>(tls.input_length));
  std::size_t end = received.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (tls.input_length >= kHeaderCapacity) return {TlsStep::Failed, kHeaderTooLongText};
    return {TlsStep::Wait, nullptr};
  }
  std::optional<StatusLine> status = ParseStatusLine(received);
  if (!status) return {TlsStep::Failed, kProxyNotHttpText};
  if (!IsSuccessStatus(status->code)) {
    FormatStatusText(kProxyRefusedText, *status, text, capacity);
    return {TlsStep::Failed, text};
  }
  ConsumeSecureInput(tls, static_cast<int>(end + 4));
  return {TlsStep::Open, nullptr};
}

// One or more handshake steps over what has arrived; the first call has no
// input and produces the client's hello.
TlsVerdict ContinueHandshake(SecureState& tls, SOCKET socket, const char* host) {
  for (;;) {
    SecBuffer in_buffers[2] = {{static_cast<ULONG>(tls.input_length), SECBUFFER_TOKEN, tls.input},
                               {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input = {SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output = {SECBUFFER_VERSION, 1, &out_buffer};
    ULONG attributes = 0;
    bool first = !SecIsValidHandle(&tls.context);
    SECURITY_STATUS status =
        InitializeSecurityContextA(&tls.credentials, first ? nullptr : &tls.context, const_cast<char*>(host),
                                   kContextFlags, 0, 0, first ? nullptr : &input, 0, &tls.context, &output,
                                   &attributes, nullptr);
    if (first && status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      SecInvalidateHandle(&tls.context);  // nothing was created
    }
    bool sent = true;
    if (out_buffer.pvBuffer != nullptr) {
      if (out_buffer.cbBuffer > 0)
        sent = SendAll(socket, static_cast<const char*>(out_buffer.pvBuffer), static_cast<int>(out_buffer.cbBuffer));
      FreeContextBuffer(out_buffer.pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) return {TlsStep::Wait, nullptr};
    if (!sent || (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED))
      return {TlsStep::Failed, sent ? HandshakeFailureText(status) : kSecureFailedText};
    int extra = in_buffers[1].BufferType == SECBUFFER_EXTRA ? static_cast<int>(in_buffers[1].cbBuffer) : 0;
    ConsumeSecureInput(tls, tls.input_length - extra);
    if (status == SEC_E_OK) {
      if (QueryContextAttributesA(&tls.context, SECPKG_ATTR_STREAM_SIZES, &tls.sizes) != SEC_E_OK) return kFailed;
      return {TlsStep::Open, nullptr};
    }
    if (tls.input_length == 0) return {TlsStep::Wait, nullptr};  // the server's next flight
  }
}

TlsVerdict BeginHandshake(SecureState& tls, SOCKET socket, const char* host) {
  SCHANNEL_CRED settings{};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  settings.dwFlags = SCH_CRED_AUTO_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  char package[] = UNISP_NAME_A;
  if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr, nullptr,
                                &tls.credentials, nullptr) != SEC_E_OK) {
    SecInvalidateHandle(&tls.credentials);
    return kFailed;
  }
  return ContinueHandshake(tls, socket, host);
}

TlsVerdict DecryptRecord(SecureState& tls, const char** data, int* length, int* used) {
  *data = nullptr;
  *length = 0;
  *used = 0;
  SecBuffer buffers[4] = {{static_cast<ULONG>(tls.input_length), SECBUFFER_DATA, tls.input},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = DecryptMessage(&tls.context, &message, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return {TlsStep::Wait, nullptr};
  if (status == SEC_I_CONTEXT_EXPIRED) return {TlsStep::Ended, nullptr};  // the server's close_notify
  if (status != SEC_E_OK) return kFailed;
  int extra = 0;
  for (const SecBuffer& buffer : buffers) {
    if (buffer.BufferType == SECBUFFER_DATA) {
      *data = static_cast<const char*>(buffer.pvBuffer);
      *length = static_cast<int>(buffer.cbBuffer);
    }
    if (buffer.BufferType == SECBUFFER_EXTRA) extra = static_cast<int>(buffer.cbBuffer);
  }
  *used = tls.input_length - extra;
  return {TlsStep::Open, nullptr};
}

bool SendSecure(SecureState& tls, SOCKET socket, const char* data, int length) {
  static char record[kSecureInputCapacity];
  if (static_cast<ULONG>(length) > tls.sizes.cbMaximumMessage ||
      tls.sizes.cbHeader + static_cast<ULONG>(length) + tls.sizes.cbTrailer > sizeof record)
    return false;
  std::memcpy(record + tls.sizes.cbHeader, data, static_cast<std::size_t>(length));
  SecBuffer buffers[4] = {{tls.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                          {static_cast<ULONG>(length), SECBUFFER_DATA, record + tls.sizes.cbHeader},
                          {tls.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + tls.sizes.cbHeader + length},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
  if (EncryptMessage(&tls.context, 0, &message, 0) != SEC_E_OK) return false;
  return SendAll(socket, record, static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer));
}
