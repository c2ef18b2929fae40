// The secure channel package driven as a Windows program drives it: a
// non-blocking socket whose bytes arrive as window messages, handshake
// tokens, then records, against the loopback TLS server.
#include <windows.h>

#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_peer_helpers.h"
#include "message_log_helpers.h"
#include "message_pump.h"
#include "scripted_server.h"

namespace {

using testsupport::ServerCertificate;

constexpr UINT kSocketMessage = WM_USER + 1;
constexpr int kWaitMs = 5000;
constexpr ULONG kRequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;

// One TLS client connection. Received bytes are offered to the package
// `feed` bytes more at a time, so a small feed cuts every record short.
class Client {
 public:
  Client(HWND window, int port, const char* target, DWORD protocols = 0, int wait_ms = kWaitMs)
      : target_(target), wait_ms_(wait_ms) {
    socket_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(WSAAsyncSelect(socket_, window, kSocketMessage, FD_READ | FD_CLOSE), 0);
    platformtest::SetHandler([this](HWND, UINT message, WPARAM, LPARAM lparam) -> std::optional<LRESULT> {
      if (message != kSocketMessage) return std::nullopt;
      if (WSAGETSELECTEVENT(lparam) == FD_CLOSE) closed_ = true;
      char chunk[4096];
      int n;
      while ((n = recv(socket_, chunk, sizeof chunk, 0)) > 0) received_.append(chunk, static_cast<size_t>(n));
      return 0;
    });
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = protocols;
    settings.dwFlags = SCH_CRED_NO_DEFAULT_CREDS;
    acquired_ = AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                          &settings, nullptr, nullptr, &credentials_, nullptr);
  }

  ~Client() {
    platformtest::SetHandler(nullptr);
    if (has_context_) DeleteSecurityContext(&context_);
    if (acquired_ == SEC_E_OK) FreeCredentialsHandle(&credentials_);
    closesocket(socket_);
  }

  SECURITY_STATUS acquired() const { return acquired_; }

  // Runs the handshake to its end; the result of its last step.
  SECURITY_STATUS Handshake(size_t feed) {
    SECURITY_STATUS status = Step(nullptr, 0);
    size_t offered = 0;
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (offered == received_.size() && !WaitForBytes(offered)) return status;
      offered = std::min(received_.size(), offered + feed);
      ULONG extra = 0;
      status = Step(&extra, offered);
      if (status != SEC_E_INCOMPLETE_MESSAGE && status >= 0) {
        received_.erase(0, offered - extra);
        offered = extra;
      }
    }
    return status;
  }

  void Send(const std::string& plain) {
    SecPkgContext_StreamSizes sizes{};
    ASSERT_EQ(QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
    std::string record(sizes.cbHeader + plain.size() + sizes.cbTrailer, '\0');
    std::copy(plain.begin(), plain.end(), record.begin() + sizes.cbHeader);
    SecBuffer parts[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                          {static_cast<ULONG>(plain.size()), SECBUFFER_DATA, record.data() + sizes.cbHeader},
                          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + plain.size()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, parts};
    ASSERT_EQ(EncryptMessage(&context_, 0, &message, 0), SEC_E_OK);
    SendAll(record.substr(0, parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer));
  }

  // Waits for the server to close, then decrypts everything it sent; the
  // result of the last DecryptMessage.
  SECURITY_STATUS ReceiveAll(size_t feed, std::string* plain, const std::function<void(std::string&)>& spoil = {}) {
    EXPECT_TRUE(testsupport::PumpUntil([this] { return closed_; }, kWaitMs));
    if (spoil) spoil(received_);
    SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
    size_t offered = 0;
    while (offered < received_.size() || (status == SEC_E_OK && !received_.empty())) {
      if (status == SEC_E_INCOMPLETE_MESSAGE) offered = std::min(received_.size(), offered + feed);
      SecBuffer parts[4] = {{static_cast<ULONG>(offered), SECBUFFER_DATA, received_.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc message{SECBUFFER_VERSION, 4, parts};
      status = DecryptMessage(&context_, &message, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
      if (status != SEC_E_OK) return status;
      EXPECT_EQ(parts[1].BufferType, static_cast<ULONG>(SECBUFFER_DATA));
      plain->append(static_cast<const char*>(parts[1].pvBuffer), parts[1].cbBuffer);
      size_t extra = parts[3].BufferType == SECBUFFER_EXTRA ? parts[3].cbBuffer : 0;
      EXPECT_TRUE(extra == 0 || parts[3].pvBuffer == received_.data() + offered - extra);
      received_.erase(0, offered - extra);
      offered = extra;
    }
    return status;
  }

  CtxtHandle* context() { return &context_; }

 private:
  // One InitializeSecurityContextA call over the first `offered` received
  // bytes; its token is sent at once.
  SECURITY_STATUS Step(ULONG* extra, size_t offered) {
    SecBuffer in[2] = {{static_cast<ULONG>(offered), SECBUFFER_TOKEN, received_.data()}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, in}, output{SECBUFFER_VERSION, 1, out};
    ULONG granted = 0;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials_, has_context_ ? &context_ : nullptr, const_cast<SEC_CHAR*>(target_), kRequestFlags, 0, 0,
        has_context_ ? &input : nullptr, 0, &context_, &output, &granted, nullptr);
    has_context_ = has_context_ || status == SEC_I_CONTINUE_NEEDED;
    if (out[0].pvBuffer != nullptr) {
      if (status >= 0) SendAll(std::string(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer));
      EXPECT_EQ(FreeContextBuffer(out[0].pvBuffer), SEC_E_OK);
    }
    if (extra != nullptr && in[1].BufferType == SECBUFFER_EXTRA) *extra = in[1].cbBuffer;
    return status;
  }

  bool WaitForBytes(size_t have) {
    return testsupport::PumpUntil([&] { return received_.size() > have || closed_; }, wait_ms_) &&
           received_.size() > have;
  }

  void SendAll(const std::string& bytes) {
    size_t at = 0;
    testsupport::PumpUntil(
        [&] {
          int n = send(socket_, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
          if (n > 0) at += static_cast<size_t>(n);
          return at == bytes.size() || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
        },
        kWaitMs);
    EXPECT_EQ(at, bytes.size());
  }

  const char* target_;
  int wait_ms_;
  SOCKET socket_ = INVALID_SOCKET;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool has_context_ = false;
  SECURITY_STATUS acquired_ = SEC_E_INTERNAL_ERROR;
  std::string received_;
  bool closed_ = false;
};

class SchannelTest : public platformtest::LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    window_ = platformtest::CreateLogged();
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    WSACleanup();
    LayerTest::TearDown();
  }

  HWND window_ = nullptr;
};

std::string Body(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return body;
}

TEST_F(SchannelTest, RequestAndResponseSurviveAnyCutOfTheBytes) {
  struct Case {
    const char* name;
    size_t feed;         // bytes added to what the package is offered per call
    size_t record_size;  // the server's records
    size_t body_size;
    DWORD protocols;  // 0 for the defaults
  };
  const Case cases[] = {
      {"one byte at a time, small records", 1, 700, 3000, 0},
      {"everything at once, many records together", 1 << 20, 1000, 20000, 0},
      {"everything at once, full records", 1 << 20, 16384, 70000, 0},
      {"TLS 1.2 records, one byte at a time", 1, 5000, 12000, SP_PROT_TLS1_2_CLIENT},
  };
  testsupport::TrustTestAuthority trust;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::ScriptedServer server(testsupport::kTls);
    std::string response = testsupport::Response(Body(c.body_size));
    server.Route("/picture.jpg", testsupport::Reply{testsupport::Pieces(response, c.record_size), 0});
    Client client(window_, server.port(), "localhost", c.protocols);
    ASSERT_EQ(client.acquired(), SEC_E_OK);
    ASSERT_EQ(client.Handshake(c.feed), SEC_E_OK);
    const std::string request = "GET /picture.jpg HTTP/1.0\r\nHost: localhost\r\n\r\n";
    client.Send(request);
    std::string plain;
    EXPECT_EQ(client.ReceiveAll(c.feed, &plain), SEC_I_CONTEXT_EXPIRED);  // the server's close_notify
    EXPECT_TRUE(plain == response) << plain.size() << " bytes instead of " << response.size();
    EXPECT_EQ(server.Requests(), std::vector<std::string>{request});
    EXPECT_EQ(server.ServerNames(), std::vector<std::string>{"localhost"});

    // Our own close_notify comes out as a token; nothing is sent after it.
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controls{SECBUFFER_VERSION, 1, &control};
    ASSERT_EQ(ApplyControlToken(client.context(), &controls), SEC_E_OK);
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &out};
    ULONG granted = 0;
    EXPECT_EQ(InitializeSecurityContextA(nullptr, client.context(), nullptr, kRequestFlags, 0, 0, nullptr, 0, nullptr,
                                         &output, &granted, nullptr),
              SEC_E_OK);
    EXPECT_GT(out.cbBuffer, 0u);
    FreeContextBuffer(out.pvBuffer);
    SecBuffer nothing[3] = {{5, SECBUFFER_STREAM_HEADER, nullptr}, {0, SECBUFFER_DATA, nullptr}, {0, SECBUFFER_STREAM_TRAILER, nullptr}};
    char room[64];
    nothing[0].pvBuffer = room;
    SecBufferDesc message{SECBUFFER_VERSION, 3, nothing};
    EXPECT_EQ(EncryptMessage(client.context(), 0, &message, 0), SEC_E_CONTEXT_EXPIRED);
  }
}

TEST_F(SchannelTest, CertificateChecksEndTheHandshakeWithTheirOwnError) {
  struct Case {
    const char* name;
    ServerCertificate certificate;
    const char* target;
    bool trusted;  // the test authority is the one trusted
    SECURITY_STATUS expected;
    const char* server_name;  // what the hello carried
  };
  const Case cases[] = {
      {"good, by name", ServerCertificate::kValid, "localhost", true, SEC_E_OK, "localhost"},
      {"good, by address, which is never sent as a name", ServerCertificate::kValid, "127.0.0.1", true, SEC_E_OK, ""},
      {"expired", ServerCertificate::kExpired, "localhost", true, SEC_E_CERT_EXPIRED, "localhost"},
      {"for another name", ServerCertificate::kOtherName, "localhost", true, SEC_E_WRONG_PRINCIPAL, "localhost"},
      {"for another address", ServerCertificate::kValid, "127.0.0.2", true, SEC_E_WRONG_PRINCIPAL, ""},
      {"self-signed", ServerCertificate::kSelfSigned, "localhost", true, SEC_E_UNTRUSTED_ROOT, "localhost"},
      {"authority not trusted", ServerCertificate::kValid, "localhost", false, SEC_E_UNTRUSTED_ROOT, "localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<testsupport::TrustTestAuthority> trust;
    if (c.trusted) trust.emplace();  // else only the system's authorities count
    testsupport::ScriptedServer server({c.certificate});
    {
      Client client(window_, server.port(), c.target);
      EXPECT_EQ(client.Handshake(1 << 20), c.expected);
      // Once failed, the context stays failed and carries no data.
      if (c.expected != SEC_E_OK) {
        SecBuffer nothing[4] = {};
        SecBufferDesc message{SECBUFFER_VERSION, 4, nothing};
        EXPECT_EQ(DecryptMessage(client.context(), &message, 0, nullptr), c.expected);
      }
    }
    EXPECT_TRUE(testsupport::PumpUntil([&] { return server.Finished() == 1; }, kWaitMs));
    EXPECT_EQ(server.ServerNames(), std::vector<std::string>{c.server_name});
  }
}

TEST_F(SchannelTest, NothingOlderThanTls12IsSpoken) {
  testsupport::TrustTestAuthority trust;
  {
    testsupport::ScriptedServer server({ServerCertificate::kValid, /*tls11_only=*/true});
    Client client(window_, server.port(), "localhost");
    EXPECT_EQ(client.Handshake(1 << 20), SEC_E_ALGORITHM_MISMATCH);
  }
  {
    testsupport::ScriptedServer server(testsupport::kTls);
    Client client(window_, server.port(), "localhost", SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT);
    EXPECT_EQ(client.acquired(), SEC_E_ALGORITHM_MISMATCH);
  }
}

TEST_F(SchannelTest, AStalledHandshakeWaitsWithoutFailing) {
  testsupport::TrustTestAuthority trust;
  testsupport::ServerOptions stalling;
  stalling.stall_handshake = true;
  testsupport::ScriptedServer server(stalling);
  Client client(window_, server.port(), "localhost", 0, /*wait_ms=*/300);
  EXPECT_EQ(client.Handshake(1 << 20), SEC_I_CONTINUE_NEEDED);  // the caller's clock decides
  EXPECT_EQ(server.Finished(), 0);
}

TEST_F(SchannelTest, BytesThatAreNotTlsFailAtOnceInsteadOfWaiting) {
  testsupport::TrustTestAuthority trust;
  {
    // A plain HTTP server answers the hello with text.
    peertest::Listener listener;
    Client client(window_, listener.port(), "localhost");
    int peer = listener.Accept();
    peertest::SendAll(peer, "HTTP/1.0 400 Bad Request\r\n\r\n");
    EXPECT_EQ(client.Handshake(1 << 20), SEC_E_ILLEGAL_MESSAGE);
    peertest::Close(peer);
  }
  struct Case {
    const char* name;
    size_t at;  // byte of the received records to change
    SECURITY_STATUS expected;
  };
  const Case cases[] = {
      {"record length beyond any record", 3, SEC_E_ILLEGAL_MESSAGE},
      {"record body altered", 40, SEC_E_DECRYPT_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::ScriptedServer server(testsupport::kTls);
    server.Route("*", testsupport::Reply{{testsupport::Response(Body(5000))}});
    Client client(window_, server.port(), "localhost");
    ASSERT_EQ(client.Handshake(1 << 20), SEC_E_OK);
    client.Send("GET / HTTP/1.0\r\n\r\n");
    std::string plain;
    EXPECT_EQ(client.ReceiveAll(1 << 20, &plain, [&](std::string& bytes) { bytes[c.at] ^= 0x7f; }), c.expected);
    EXPECT_EQ(plain, "");
  }
}

TEST_F(SchannelTest, HandlesAreCheckedBeforeUse) {
  testsupport::TrustTestAuthority trust;
  CredHandle credentials{};
  ASSERT_EQ(AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                      nullptr, nullptr, nullptr, &credentials, nullptr),
            SEC_E_OK);
  CredHandle freed = credentials;
  ASSERT_EQ(FreeCredentialsHandle(&credentials), SEC_E_OK);
  SecPkgContext_StreamSizes sizes;
  char not_ours[16];
  EXPECT_EQ(FreeCredentialsHandle(&freed), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(QueryContextAttributesA(&freed, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(DeleteSecurityContext(&freed), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(FreeContextBuffer(not_ours), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>("Kerberos"), SECPKG_CRED_OUTBOUND, nullptr,
                                      nullptr, nullptr, nullptr, &credentials, nullptr),
            SEC_E_SECPKG_NOT_FOUND);
}

}  // namespace
