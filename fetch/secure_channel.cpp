// TLS for https:// addresses, on the same socket events as plain HTTP: the
// proxy's tunnel (CONNECT), the handshake tokens, then records both ways.
// Nothing here blocks: a read that finds too little waits for the next
// FD_READ, whatever state the channel is in.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_response.h"
#include "http_transfer.h"

// Handles not held are the invalid pair, so closing knows what to free.
CredHandle SecureCredentials = {static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
CtxtHandle SecureContext = {static_cast<ULONG_PTR>(-1), static_cast<ULONG_PTR>(-1)};
int SecurePhase = kSecureIdle;
SecPkgContext_StreamSizes SecureSizes;
char SecureInput[kSecureInputCapacity];
int SecureInputLength = 0;

namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
constexpr char kConnectFormat[] = "CONNECT %s:%u HTTP/1.0\r\nHost: %s:%u\r\n\r\n";
constexpr char kProxyRefusedText[] = "The proxy refused the connection: ";

// Sends all of it; a socket too full for a handshake token or a request
// counts as a failed connection.
bool SendAll(const char* data, int length) {
  for (int sent = 0; sent < length;) {
    int n = send(TransferSocket, data + sent, length - sent, 0);
    if (n <= 0) return false;
    sent += n;
  }
  return true;
}

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

void Fail(HWND window, const char* text) { DiscardTransfer(window, text, kErrorCaption); }

void ConsumeInput(int used) {
  std::memmove(SecureInput, SecureInput + used, static_cast<std::size_t>(SecureInputLength - used));
  SecureInputLength -= used;
}

// Decrypts every whole record received so far and hands its bytes to the
// response handling; stops when the transfer has ended.
void DecryptReceived(HWND window) {
  while (SecureInputLength > 0 && SecurePhase == kSecureOpen) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(SecureInputLength), SECBUFFER_DATA, SecureInput},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&SecureContext, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return;
    if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close_notify
      ConnectionEnded(window, true);
      return;
    }
    if (status != SEC_E_OK) {
      Fail(window, kSecureFailedText);
      return;
    }
    const SecBuffer* data = nullptr;
    int extra = 0;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA) data = &buffer;
      if (buffer.BufferType == SECBUFFER_EXTRA) extra = static_cast<int>(buffer.cbBuffer);
    }
    int used = SecureInputLength - extra;
    if (data != nullptr && data->cbBuffer > 0) {
      ReceiveResponseBytes(window, static_cast<const char*>(data->pvBuffer), static_cast<int>(data->cbBuffer));
      if (SecurePhase != kSecureOpen) return;  // completed or given up in there
    }
    ConsumeInput(used);
  }
}

void OpenChannel(HWND window) {
  if (QueryContextAttributesA(&SecureContext, SECPKG_ATTR_STREAM_SIZES, &SecureSizes) != SEC_E_OK) {
    Fail(window, kSecureFailedText);
    return;
  }
  SecurePhase = kSecureOpen;
  SendRequestCommand(window);
  DecryptReceived(window);
}

// One or more handshake steps over what has arrived; the first call has no
// input and produces the client's hello.
void ContinueHandshake(HWND window) {
  for (;;) {
    SecBuffer in_buffers[2] = {{static_cast<ULONG>(SecureInputLength), SECBUFFER_TOKEN, SecureInput},
                               {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input = {SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output = {SECBUFFER_VERSION, 1, &out_buffer};
    ULONG attributes = 0;
    bool first = !SecIsValidHandle(&SecureContext);
    SECURITY_STATUS status =
        InitializeSecurityContextA(&SecureCredentials, first ? nullptr : &SecureContext, TargetHost, kContextFlags,
                                   0, 0, first ? nullptr : &input, 0, &SecureContext, &output, &attributes, nullptr);
    if (first && status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      SecInvalidateHandle(&SecureContext);  // nothing was created
    }
    bool sent = true;
    if (out_buffer.pvBuffer != nullptr) {
      if (out_buffer.cbBuffer > 0) sent = SendAll(static_cast<const char*>(out_buffer.pvBuffer),
                                                 static_cast<int>(out_buffer.cbBuffer));
      FreeContextBuffer(out_buffer.pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) return;
    if (!sent || (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)) {
      Fail(window, sent ? HandshakeFailureText(status) : kSecureFailedText);
      return;
    }
    int extra = in_buffers[1].BufferType == SECBUFFER_EXTRA ? static_cast<int>(in_buffers[1].cbBuffer) : 0;
    ConsumeInput(SecureInputLength - extra);
    if (status == SEC_E_OK) {
      OpenChannel(window);
      return;
    }
    if (SecureInputLength == 0) return;  // the server's next flight
  }
}

void BeginHandshake(HWND window) {
  SCHANNEL_CRED settings{};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  settings.dwFlags = SCH_CRED_AUTO_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  char package[] = UNISP_NAME_A;
  if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr, nullptr,
                                &SecureCredentials, nullptr) != SEC_E_OK) {
    SecInvalidateHandle(&SecureCredentials);
    Fail(window, kSecureFailedText);
    return;
  }
  SecurePhase = kSecureHandshake;
  ContinueHandshake(window);
}

// The proxy's answer to CONNECT: its header, and then the tunnel is ours.
void ReadProxyAnswer(HWND window) {
  std::string_view received(SecureInput, static_cast<std::size_t>(SecureInputLength));
  std::size_t end = received.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (SecureInputLength >= kHeaderCapacity) Fail(window, kHeaderTooLongText);
    return;
  }
  std::optional<StatusLine> status = ParseStatusLine(received);
  if (!status) {
    Fail(window, kProxyNotHttpText);
    return;
  }
  if (!IsSuccessStatus(status->code)) {
    char text[kHeaderCapacity];
    FormatStatusText(kProxyRefusedText, *status, text, sizeof text);
    Fail(window, text);
    return;
  }
  ConsumeInput(static_cast<int>(end + 4));
  BeginHandshake(window);
}

}  // namespace

void StartSecureChannel(HWND window) {
  SecureInputLength = 0;
  // Set-up is over: what follows is driven by socket events, so the
  // rotation goes on whatever the server does.
  if (TransferCommand == RotateCommandId) SetTimer(window, RotationTimer, static_cast<UINT>(IntervalMs), nullptr);
  if (ProxyMode == 0) {
    BeginHandshake(window);
    return;
  }
  char request[sizeof kConnectFormat + 2 * kUrlCapacity + 16];
  int length = std::snprintf(request, sizeof request, kConnectFormat, TargetHost, TargetPort, TargetHost, TargetPort);
  SecurePhase = kSecureProxyAnswer;
  if (!SendAll(request, length)) Fail(window, kSecureFailedText);
}

void ReceiveSecureEvent(HWND window) {
  if (SecureInputLength >= kSecureInputCapacity) {
    Fail(window, kSecureFailedText);  // no record is this large
    return;
  }
  int n = recv(TransferSocket, SecureInput + SecureInputLength, kSecureInputCapacity - SecureInputLength, 0);
  if (n < 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) SecureConnectionEnded(window, false);
    return;
  }
  if (n == 0) {
    SecureConnectionEnded(window, true);
    return;
  }
  SecureInputLength += n;
  // Once the channel is open the response handling counts what it gets;
  // until then the tunnel's answer and the handshake are the server's
  // progress, held to the same low-speed limit.
  if (SecurePhase != kSecureOpen) CountReceivedBytes(window, n);
  switch (SecurePhase) {
    case kSecureProxyAnswer: ReadProxyAnswer(window); break;
    case kSecureHandshake: ContinueHandshake(window); break;
    case kSecureOpen: DecryptReceived(window); break;
    default: break;
  }
}

void SecureConnectionEnded(HWND window, bool orderly) {
  if (SecurePhase == kSecureOpen) {
    ConnectionEnded(window, orderly);
  } else {
    // Before the tunnel or the handshake was done nothing can be kept.
    Fail(window, kSecureFailedText);
  }
}

bool SendSecure(const char* data, int length) {
  if (SecurePhase != kSecureOpen) return false;
  static char record[kSecureInputCapacity];
  if (static_cast<ULONG>(length) > SecureSizes.cbMaximumMessage ||
      SecureSizes.cbHeader + static_cast<ULONG>(length) + SecureSizes.cbTrailer > sizeof record)
    return false;
  std::memcpy(record + SecureSizes.cbHeader, data, static_cast<std::size_t>(length));
  SecBuffer buffers[4] = {{SecureSizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                          {static_cast<ULONG>(length), SECBUFFER_DATA, record + SecureSizes.cbHeader},
                          {SecureSizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + SecureSizes.cbHeader + length},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
  if (EncryptMessage(&SecureContext, 0, &message, 0) != SEC_E_OK) return false;
  return SendAll(record, static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer));
}

void CloseSecureChannel() {
  if (SecIsValidHandle(&SecureContext)) DeleteSecurityContext(&SecureContext);
  if (SecIsValidHandle(&SecureCredentials)) FreeCredentialsHandle(&SecureCredentials);
  SecInvalidateHandle(&SecureContext);
  SecInvalidateHandle(&SecureCredentials);
  SecurePhase = kSecureIdle;
  SecureInputLength = 0;
}
