// Downloads in-process against a scripted server on loopback: connection
// set-up and its failures, the request byte for byte, the response cut into
// chunks, and what is left on disk, in the wallpaper and in the timer.
#include <windows.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_server_helpers.h"
#include "http_transfer.h"
#include "layer_control.h"
#include "layer_view.h"
#include "message_pump.h"
#include "test_support.h"
#include "scripted_server.h"

namespace {

using fetchtest::Pieces;
using fetchtest::Reply;
using fetchtest::Response;
using testsupport::ReadFile;

constexpr char kAgentLine[] = "User-Agent: TEST Program(Make qelo Vresion 0)\r\n";
constexpr char kAcceptLine[] = "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";

// A picture made by Pillow, shaded so that a JPEG of it can be cut
// mid-scan.
std::string Drawn(const std::string& format, int width, int height) {
  testsupport::TempDir dir;
  auto result = testsupport::RunPython(
      "import sys\nfrom PIL import Image\nw, h = int(sys.argv[3]), int(sys.argv[4])\nim = Image.new('RGB', (w, h))\n"
      "im.putdata([(x, y, (x * y) % 256) for y in range(h) for x in range(w)])\nim.save(sys.argv[1], sys.argv[2])",
      {dir / "p", format, std::to_string(width), std::to_string(height)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  return ReadFile(dir / "p");
}

// The picture most rows serve.
const std::string& Bitmap() {
  static const std::string bytes = Drawn("BMP", 5, 3);
  return bytes;
}

// What the lines of `said` about `url` say of it.
std::vector<std::string> LinesAbout(const std::string& said, const std::string& url) {
  std::vector<std::string> lines;
  std::istringstream in(said);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(url + ": ")) lines.push_back(line.substr(url.size() + 2));
  return lines;
}

// A desktop with one screen, where a person can bring the window back.
class OneScreenView : public layer::View {
 public:
  int ShowMessageBox(HWND, std::string_view, std::string_view, UINT, int answer) override { return answer; }
  void WallpaperChanged(std::string_view, const std::string&) override {}
  int MonitorCount() const override { return 1; }
};

// Dispatches what is due on the fake clock and what the sockets bring for
// `ms` of real time, or until `done`.
bool PumpRealTimeUntil(const std::function<bool()>& done, int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MSG msg;
  while (!done() && std::chrono::steady_clock::now() < until) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    usleep(500);
  }
  return done();
}

void PumpRealTime(int ms) { PumpRealTimeUntil([] { return false; }, ms); }

class HttpTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cwd_ = std::filesystem::current_path();
    std::filesystem::create_directories(dir_ / "temp");
    std::filesystem::create_directories(dir_ / "state");
    std::filesystem::current_path(dir_.path());
    setenv("TEMP", (dir_ / "temp").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    LayerReset();
    ProxyMode = 0;
    IntervalMs = kDefaultIntervalMs;
    TransferSocket = INVALID_SOCKET;
    DownloadFile = nullptr;
    Transfer.phase = TransferPhase::Idle;
    ASSERT_NE(RegisterMainClass(LayerProgramInstance()), 0);
    ASSERT_EQ(InitMainWindow(LayerProgramInstance(), SW_SHOWNORMAL), 1);
    // Downloads land in the program's private folder inside TEMP.
    temp_ = WorkDir;
    ASSERT_EQ(temp_.rfind(dir_ / "temp/skerrow-", 0), 0u);
    temp_.pop_back();
  }
  void TearDown() override {
    if (TransferSocket != INVALID_SOCKET) closesocket(TransferSocket);
    if (DownloadFile != nullptr) std::fclose(DownloadFile);
    TransferSocket = INVALID_SOCKET;
    DownloadFile = nullptr;
    if (MainWindow != nullptr) DestroyWindow(MainWindow);
    layer::AttachView(nullptr);
    LayerReset();
    std::filesystem::current_path(saved_cwd_);
  }

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(server_.port()) + path; }

  void Fetch(const std::string& url, int command = RotateCommandId) {
    ASSERT_LT(url.size(), sizeof CurrentUrl);
    std::strcpy(CurrentUrl, url.c_str());
    FetchHttpUrl(MainWindow, command);
  }

  // Over, and its box, if any, shown.
  static bool Idle() {
    return Transfer.phase == TransferPhase::Idle && TransferSocket == INVALID_SOCKET && DownloadFile == nullptr &&
           PendingBoxes.empty();
  }

  // Runs the real loop until `done` or `ms` have passed.
  bool PumpUntil(const std::function<bool()>& done, int ms = 5000) { return testsupport::PumpUntil(done, ms); }
  void PumpFor(int ms) { testsupport::PumpFor(ms); }

  // Serves `reply` for /pics/`name` and fetches it to the end of the transfer.
  void Download(const std::string& name, Reply reply, int command = RotateCommandId, int ms = 5000) {
    server_.Route("/pics/" + name, std::move(reply));
    Fetch(Url("/pics/" + name), command);
    bool ended = PumpUntil(Idle, ms);
    if (!ended) SendMessageA(MainWindow, WM_COMMAND, AbortCommandId, 0);
    ASSERT_TRUE(ended) << "transfer did not end";
  }

  std::string Wallpaper() const { return ReadFile(LayerWallpaperStorePath()); }
  bool RotationTimerRunning() const { return KillTimer(MainWindow, RotationTimer) != FALSE; }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : LayerMessageBoxes()) texts.push_back(box.text + " | " + box.caption);
    return texts;
  }

  testsupport::TempDir dir_;
  std::string temp_;
  std::filesystem::path saved_cwd_;
  fetchtest::ScriptedServer server_;
};

std::string DirectRequest(const std::string& path, const std::string& host) {
  return "GET " + path + " HTTP/1.0\r\nConnection: Keep-Alive\r\n" + kAgentLine + "Host: " + host + "\r\n" +
         kAcceptLine + "\r\n";
}

TEST_F(HttpTransferTest, RequestIsExactDirectAndThroughAProxy) {
  Download("a.bmp", Reply{{Response(Bitmap())}});
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0], DirectRequest("/pics/a.bmp", "127.0.0.1"));

  // Through a proxy the whole address goes in the request line and the
  // proxy's own host in the Host line; a port in the address is not used.
  ProxyMode = 1;
  SetWindowTextA(GetDlgItem(MainWindow, ProxyHostField), "localhost");
  SetWindowTextA(GetDlgItem(MainWindow, ProxyPortField), std::to_string(server_.port()).c_str());
  server_.Route("/pics/b.bmp?size=2", Reply{{Response(Bitmap())}});
  std::string address = "http://example.invalid:9/pics/b.bmp?size=2";
  Fetch(address);
  ASSERT_TRUE(PumpUntil(Idle));
  ASSERT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(server_.Requests()[1], "GET " + address + " HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n" + kAgentLine +
                                       "Host: localhost\r\n" + kAcceptLine + "\r\n");
  // A name that matches no stage is made safe and given the content's.
  EXPECT_STREQ(LocalName, "b.bmp_size_2.bmp");
  EXPECT_EQ(Wallpaper(), Bitmap());

  // The longest address the list holds goes out whole.
  ProxyMode = 0;
  std::string path = "/pics/" + std::string(sizeof CurrentUrl - 1 - Url("/pics/").size() - 6, 'x') + "/c.bmp";
  server_.Route(path, Reply{{Response(Bitmap())}});
  Fetch(Url(path));
  ASSERT_TRUE(PumpUntil(Idle));
  ASSERT_EQ(server_.Requests().size(), 3u);
  EXPECT_EQ(server_.Requests()[2], DirectRequest(path, "127.0.0.1"));
  EXPECT_TRUE(LayerMessageBoxes().empty());
}

TEST_F(HttpTransferTest, AddressesWithoutPathOrPortAndWithQueries) {
  struct Case {
    std::string address;  // after "http://"
    std::string path, port, local;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "/", "80", "index.html"},
      {"127.0.0.1:" + std::to_string(server_.port()), "/", std::to_string(server_.port()), "index.html"},
      {"127.0.0.1:" + std::to_string(server_.port()) + "/dir/", "/dir/", std::to_string(server_.port()),
       "index.html"},
      {"127.0.0.1:/", "/", "80", "index.html"},  // no port token: the default port
      {"127.0.0.1:", "/", "80", "index.html"},
      {"127.0.0.1:/a.gif", "/a.gif", "a.gif", "a.gif"},  // slashes before the token are skipped
      {"127.0.0.1/x:7/a.gif?q=1", "/x:7/a.gif?q=1", "7", "a.gif?q=1"},  // a ':' in the path is the port
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    LayerClearMessageBoxes();
    Fetch("http://" + c.address);
    PumpUntil(Idle, 2000);
    EXPECT_STREQ(Transfer.host, "127.0.0.1");
    EXPECT_EQ(Transfer.request_path, c.path);
    EXPECT_EQ(Transfer.port_text, c.port);
    EXPECT_EQ(LocalName, c.local);
  }
}

TEST_F(HttpTransferTest, SetUpFailuresShowTheirBoxAndLeaveNothingOpen) {
  const std::string unused = std::to_string(fetchtest::UnusedPort());
  const std::string host_text = "\x83\x7a\x83\x58\x83\x67\x96\xbc\x82\xaa\x95\x73\x96\xbe\x82\xc5\x82\xb7\x81\x42";
  const std::string port_text = "\x83\x7c\x81\x5b\x83\x67\x96\xbc\x82\xaa\x95\x73\x96\xbe\x82\xc5\x82\xb7\x81\x42";
  struct Case {
    std::string url;
    std::string box;  // text | caption
  };
  const std::vector<Case> cases = {
      {"http://no-such-host.invalid/a.gif", host_text + " | no-such-host.invalid"},
      {"http://300.0.0.1/a.gif", host_text + " | 300.0.0.1"},
      {"http://3dpics/a.gif", host_text + " | 3dpics"},
      {"http://127.0.0.1.5/a.gif", host_text + " | 127.0.0.1.5"},
      {"http://no-such-host.invalid:nosuchport/a.gif", host_text + " | no-such-host.invalid"},
      {"http://127.0.0.1:nosuchport/a.gif", port_text + " | getservbyname(sock) failed"},
      {"http://127.0.0.1:0/a.gif", port_text + " | getservbyname(sock) failed"},
      {"http://127.0.0.1:65536/a.gif", port_text + " | getservbyname(sock) failed"},
      {"http://127.0.0.1:" + unused + "/a.gif", "connect() failed | Error"},
  };
  // Without a display nobody can hide the window to restart the rotation,
  // so a failed set-up restarts it; with one, it waits for the window.
  OneScreenView one_screen;
  for (layer::View* view : {static_cast<layer::View*>(nullptr), static_cast<layer::View*>(&one_screen)}) {
    layer::AttachView(view);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.url + (view != nullptr ? " with a display" : " headless"));
      LayerClearMessageBoxes();
      SetTimer(MainWindow, RotationTimer, 60000, nullptr);
      Fetch(c.url);
      PumpUntil(Idle);
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
      EXPECT_TRUE(Idle());
      EXPECT_EQ(RotationTimerRunning(), view == nullptr);
    }
  }
  layer::AttachView(nullptr);
  EXPECT_TRUE(testsupport::ListDir(temp_).empty());
  EXPECT_TRUE(server_.Requests().empty());

  // The output file cannot be created: the connection is given up.
  server_.Route("/pics/a.gif", Reply{{Response("GIF89a")}});
  std::strcpy(WorkDir, (temp_ + "/missing/").c_str());
  LayerClearMessageBoxes();
  Fetch(Url("/pics/a.gif"));
  PumpUntil(Idle);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Error on file open() | err"});
  EXPECT_TRUE(Idle());
  SetWorkDirFromTemp();

  // Without Windows Sockets not even a socket can be made.
  ASSERT_EQ(WSACleanup(), 0);
  LayerClearMessageBoxes();
  Fetch(Url("/pics/a.gif"));
  PumpUntil(Idle);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"socket() failed | Error"});
  EXPECT_TRUE(Idle());
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
}

TEST_F(HttpTransferTest, NameTooLongForItsBufferIsRefusedBeforeAnythingOpens) {
  SetTimer(MainWindow, RotationTimer, 60000, nullptr);
  Fetch(Url("/pics/" + std::string(sizeof LocalName, 'n') + ".gif"));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The address is too long | Error"});
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(RotationTimerRunning());
  PumpFor(50);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(testsupport::ListDir(temp_).empty());
}

TEST_F(HttpTransferTest, RotationTimerRestartsOnlyForRotations) {
  server_.Route("/pics/slow.bin", Reply{{Response("data")}, 20, false});
  Fetch(Url("/pics/slow.bin"), RotateCommandId);
  ASSERT_TRUE(PumpUntil([] { return Transfer.request_sent != 0; }));
  EXPECT_TRUE(RotationTimerRunning());
  EXPECT_FALSE(Idle());
  ASSERT_TRUE(PumpUntil(Idle));

  SetTimer(MainWindow, RotationTimer, 60000, nullptr);
  Fetch(Url("/pics/slow.bin"), FetchCommandId);
  ASSERT_TRUE(PumpUntil([] { return Transfer.request_sent != 0; }));
  EXPECT_FALSE(RotationTimerRunning());
  ASSERT_TRUE(PumpUntil(Idle));
}

// Each row: the chunks the server sends, then what the transfer leaves.
struct Row {
  const char* name;
  std::vector<std::string> chunks;
  bool close;               // the server closes after the last chunk
  bool wallpaper;           // the picture became the wallpaper (and its file went)
  const char* kept;         // the file left in TEMP, or null when none is
  std::string kept_bytes;   // its content
  const char* box;          // the one message box shown, or null
};

TEST_F(HttpTransferTest, ResponsesCutIntoChunksEndAsTheyShould) {
  const std::string bmp = Bitmap();
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(bmp.size()) + "\r\n";
  const std::string full = head + "\r\n" + bmp;
  const std::vector<Row> rows = {
      {"split.bin", {head + "\r", "\n" + bmp}, false, true, nullptr, "", nullptr},
      {"split.bmp", {head + "\r", "\n" + bmp}, false, true, nullptr, "", nullptr},
      {"bytewise.bmp", Pieces(head + "\r\n", 1), true, false, "bytewise.bmp", "", nullptr},
      {"headbody.bmp", {head + "\r\n" + bmp.substr(0, 10), bmp.substr(10)}, false, true, nullptr, "", nullptr},
      {"onechunk.bmp", {full}, false, true, nullptr, "", nullptr},
      {"upper.bmp", {"HTTP/1.0 200 OK\r\nCONTENT-LENGTH: " + std::to_string(bmp.size()) + "\r\n\r\n" + bmp}, false,
       true, nullptr, "", nullptr},
      {"longer.bin", {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n", "abcdefgh"}, false, false, nullptr, "", nullptr},
      {"shorter.bmp", {head + "\r\n" + bmp.substr(0, 20)}, true, false, "shorter.bmp", bmp.substr(0, 20), nullptr},
      {"nolength.bmp", {"HTTP/1.0 200 OK\r\n\r\n", bmp.substr(0, 30), bmp.substr(30)}, true, true, nullptr, "",
       nullptr},
      {"noblank.bin", {"HTTP/1.0 200 OK\r\nContent-Length:3\r\n\r\n", "abcdef"}, true, false, nullptr, "",
       nullptr},
      // Lengths that lie: one that is no plain number counts as none, two
      // that disagree refuse the response.
      {"minus.bmp", {"HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n" + bmp.substr(0, 30), bmp.substr(30)}, true,
       true, nullptr, "", nullptr},
      {"plus.bmp", {"HTTP/1.0 200 OK\r\nContent-Length: +" + std::to_string(bmp.size()) + "\r\n\r\n" +
                    bmp.substr(0, 30), bmp.substr(30)}, true, true, nullptr, "", nullptr},
      {"same.bin", {"HTTP/1.0 200 OK\r\ncontent-length: 6\r\nContent-Length:  6 \r\n\r\n", "abc", "def"}, false,
       false, nullptr, "", nullptr},
      {"disagree.bmp", {head + "Content-Length: 10\r\n\r\n" + bmp}, false, false, nullptr, "",
       "The response announces two different lengths | Error"},
      {"empty.bin", {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"}, true, false, "empty.bin", "", nullptr},
      {"closed.bmp", {}, true, false, "closed.bmp", "", nullptr},
      {"headonly.bmp", {"HTTP/1.0 200 OK\r\nContent-Le"}, true, false, "headonly.bmp", "", nullptr},
      {"lfonly.bin", {"HTTP/1.0 200 OK\nContent-Length: 2\n\nab"}, true, false, "lfonly.bin", "", nullptr},
      {"toolong.bmp", {"HTTP/1.0 200 OK\r\nX: " + std::string(1000, 'x') + "\r\n\r\n" + bmp}, false, false, nullptr,
       "", "The response header is too long | Error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LayerClearMessageBoxes();
    std::filesystem::remove(LayerWallpaperStorePath());
    // Held open, a complete transfer can end only by the program's close.
    Download(row.name, Reply{row.chunks, 15, row.close});
    EXPECT_EQ(Wallpaper(), row.wallpaper ? bmp : "");
    std::vector<std::string> kept;
    if (row.kept != nullptr) kept.push_back(row.kept);
    EXPECT_EQ(testsupport::ListDir(temp_), kept);
    if (row.kept != nullptr) {
      EXPECT_EQ(ReadFile(temp_ + "/" + row.kept), row.kept_bytes);
    }
    std::vector<std::string> boxes;
    if (row.box != nullptr) boxes.push_back(row.box);
    EXPECT_EQ(BoxTexts(), boxes);
    for (const std::string& file : testsupport::ListDir(temp_)) std::filesystem::remove(temp_ + "/" + file);
  }
}

TEST_F(HttpTransferTest, HeaderFillsItsBufferExactlyOrNotAtAll) {
  // 1023 bytes with the blank line fit with their NUL; one more does not.
  for (int size : {1023, 1024}) {
    SCOPED_TRACE(size);
    LayerClearMessageBoxes();
    // The body is a picture, so that its arrival shows as the wallpaper.
    std::string start = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Bitmap().size()) + "\r\nX: ";
    std::string head = start + std::string(static_cast<size_t>(size) - start.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(head.size(), static_cast<size_t>(size));
    Download("edge.bin", Reply{{head + Bitmap()}, 0, false});
    if (size == 1023) {
      EXPECT_TRUE(LayerMessageBoxes().empty());
      EXPECT_EQ(Wallpaper(), Bitmap());
    } else {
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The response header is too long | Error"});
      EXPECT_FALSE(testsupport::FileExists(temp_ + "/edge.bin"));
    }
  }
  // A header of megabytes ends the transfer as soon as it overflows.
  LayerClearMessageBoxes();
  Download("huge.bin", Reply{{"HTTP/1.0 200 OK\r\n", std::string(10 << 20, 'h')}, 0, false});
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The response header is too long | Error"});
  EXPECT_TRUE(testsupport::ListDir(temp_).empty());
}

TEST_F(HttpTransferTest, AnswersOtherThanSuccessEndWithOneBoxAndNoFile) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Response("<html>gone</html>", "404 Not Found", "text/html"), "The server answered 404 Not Found"},
      {Response("oops", "500 Internal Server Error", "text/html"), "The server answered 500 Internal Server Error"},
      {Response("", "302 Found"), "The server answered 302 Found"},  // a redirect without a Location
      {fetchtest::RedirectResponse("301 Moved", "ftp://127.0.0.1/a.bmp"),
       "The server redirected to an address that cannot be fetched"},
      {"HTTP/1.0 404 \x01\x82\xa0\r\n\r\nx", "The server answered 404 ?\x82\xa0"},
      {"ICY 200 OK\r\n\r\n" + Bitmap(), "The server's answer is not an HTTP response"},
  };
  for (const auto& [response, text] : cases) {
    SCOPED_TRACE(text);
    LayerClearMessageBoxes();
    // Under a picture's name, so only the status keeps it from the converters.
    Download("page.bmp", Reply{{response}, 0, false});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{text + " | Error"});
    EXPECT_TRUE(testsupport::ListDir(temp_).empty());
    EXPECT_EQ(Wallpaper(), "");
  }
}

TEST_F(HttpTransferTest, RedirectsAreFollowedOnNewConnectionsToTheFinalPicture) {
  // Every redirect status and every form of Location, direct and through a
  // proxy (the server itself answers the proxy's absolute requests).
  server_.Route("/start", Reply{{fetchtest::RedirectResponse("301 Moved Permanently", Url("/one/"))}});
  server_.Route("/one/", Reply{{fetchtest::RedirectResponse("302 Found", "//127.0.0.1:" +
                                                                             std::to_string(server_.port()) + "/two")}});
  server_.Route("/two", Reply{{fetchtest::RedirectResponse("303 See Other", "/three/x")}});
  server_.Route("/three/x", Reply{{fetchtest::RedirectResponse("307 Temporary Redirect", "../four?id=42")}});
  server_.Route("/four?id=42", Reply{{fetchtest::RedirectResponse("308 Permanent Redirect", "pics/final.bmp#f")}});
  server_.Route("/pics/final.bmp", Reply{{Response(Bitmap())}});
  for (int proxy : {0, 1}) {
    SCOPED_TRACE(proxy);
    ProxyMode = proxy;
    SetWindowTextA(GetDlgItem(MainWindow, ProxyHostField), "127.0.0.1");
    SetWindowTextA(GetDlgItem(MainWindow, ProxyPortField), std::to_string(server_.port()).c_str());
    size_t before = server_.Requests().size();
    Fetch(Url("/start"));
    ASSERT_TRUE(PumpUntil([&] { return server_.Requests().size() == before + 6 && Idle(); }));
    EXPECT_EQ(Wallpaper(), Bitmap());
    EXPECT_STREQ(LocalName, "final.bmp");
    std::string last = server_.Requests().back();
    EXPECT_EQ(last.substr(0, last.find("\r\n")),
              proxy != 0 ? "GET " + Url("/pics/final.bmp") + " HTTP/1.0" : "GET /pics/final.bmp HTTP/1.0");
    EXPECT_EQ(server_.Finished(), static_cast<int>(before) + 6);  // one connection each
    EXPECT_TRUE(testsupport::ListDir(temp_).empty());
    EXPECT_TRUE(RotationTimerRunning());
    std::filesystem::remove(LayerWallpaperStorePath());
  }
  EXPECT_TRUE(LayerMessageBoxes().empty());
}

TEST_F(HttpTransferTest, RedirectLoopsAndLongChainsEndWithTheirBox) {
  for (int i = 0; i < 7; ++i)
    server_.Route("/hop" + std::to_string(i),
                  Reply{{fetchtest::RedirectResponse("302 Found", i < 6 ? "/hop" + std::to_string(i + 1) : "/end.bmp")}});
  server_.Route("/end.bmp", Reply{{Response(Bitmap())}});
  server_.Route("/loop/a", Reply{{fetchtest::RedirectResponse("301 Moved", "b")}});
  server_.Route("/loop/b", Reply{{fetchtest::RedirectResponse("301 Moved", Url("/loop/a"))}});
  struct Case {
    std::string start;
    size_t requests;
    std::string box;
  };
  const std::vector<Case> cases = {
      {"/hop2", 6, ""},  // five redirects in a row are followed
      {"/hop1", 6, "The server redirected more than 5 times in a row | Error"},
      {"/loop/a", 2, "The server's redirects lead back to an address already asked for | Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    LayerClearMessageBoxes();
    std::filesystem::remove(LayerWallpaperStorePath());
    size_t before = server_.Requests().size();
    Fetch(Url(c.start));
    ASSERT_TRUE(PumpUntil([&] { return server_.Requests().size() == before + c.requests && Idle(); }));
    PumpFor(50);  // nothing more follows
    EXPECT_EQ(server_.Requests().size(), before + c.requests);
    EXPECT_EQ(BoxTexts(), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
    EXPECT_EQ(Wallpaper() == Bitmap(), c.box.empty());
    EXPECT_TRUE(testsupport::ListDir(temp_).empty());
  }
}

TEST_F(HttpTransferTest, DrippingServerIsGivenUpByTheLowSpeedLimit) {
  // A byte every 3 seconds: never silent for long, never fast enough.
  server_.Route("/pics/drip.bmp", Reply{{"HTTP/1.0 200 OK\r\n\r\n"}, 0, false, false, "x", -1, 3000});
  Fetch(Url("/pics/drip.bmp"));
  PumpFor(300);
  EXPECT_FALSE(Idle());
  // Another address while the download runs is not started.
  server_.Route("/pics/other.gif", Reply{{Response("x")}});
  Fetch(Url("/pics/other.gif"));
  // An event for some other socket, or a read that finds nothing, changes
  // nothing.
  ReceiveSocketEvent(MainWindow, TransferSocket + 1, WSAMAKESELECTREPLY(FD_CLOSE, 0));
  ReceiveSocketEvent(MainWindow, TransferSocket, WSAMAKESELECTREPLY(FD_READ, 0));
  EXPECT_FALSE(Idle());
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil(Idle, 20000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(14000));
  EXPECT_TRUE(LayerMessageBoxes().empty());
  EXPECT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(Wallpaper(), "");
  EXPECT_TRUE(RotationTimerRunning());
}

TEST_F(HttpTransferTest, FastTransferStillEndsAtTheOverallDeadline) {
  LayerUseFakeClock(1000);
  server_.Route("/pics/endless.bmp",
                Reply{{"HTTP/1.0 200 OK\r\n\r\n"}, 0, false, false, std::string(4096, 'e'), -1, 2});
  // The redirect comes late on the program's clock; the deadline covers the
  // whole chain, so that time is the next hop's loss.
  server_.Route("/late", Reply{{"", fetchtest::RedirectResponse("302 Found", "/pics/endless.bmp")}, 500});
  struct Case {
    const char* path;
    int redirects;
    int late_ms;  // program time spent before the first answer
    int steps;    // of 5 seconds, until the transfer ends
  };
  const std::vector<Case> cases = {{"/pics/endless.bmp", 0, 0, 120}, {"/late", 1, 10000, 118}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    testsupport::StderrCapture capture;
    Fetch(Url(c.path));
    ASSERT_TRUE(PumpRealTimeUntil([] { return Transfer.request_sent != 0; }));
    LayerAdvanceClock(c.late_ms);
    ASSERT_TRUE(PumpRealTimeUntil([&] { return RedirectCount == c.redirects && Transfer.response.body_length > 0; }));
    // Each step is 5 seconds on the program's clock with more than 1024
    // bytes received in it, well above the low-speed limit.
    int steps = 0;
    while (!Idle() && steps < 200) {
      ++steps;
      LayerAdvanceClock(5000);
      int before = Transfer.response.body_length;
      PumpRealTimeUntil([&] { return Idle() || Transfer.response.body_length >= before + 2048; });
    }
    EXPECT_TRUE(Idle());
    EXPECT_EQ(steps, c.steps);
    EXPECT_EQ(LinesAbout(capture.Finish(), Url(c.path)), std::vector<std::string>{kDeadlineLine});
    EXPECT_EQ(Wallpaper(), "");
    EXPECT_TRUE(LayerMessageBoxes().empty());
  }
}

TEST_F(HttpTransferTest, TransfersThatBringNoPictureSayWhyInOneLineNamingTheAddress) {
  LayerUseFakeClock(1000);
  const std::string jpeg = Drawn("JPEG", 160, 120);
  const std::string half = jpeg.substr(0, jpeg.size() / 2);
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  const std::string owed = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc";
  const std::string lying = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(half.size()) + "\r\n\r\n" + jpeg;
  const char* damaged = "the picture's data ends early or is damaged; the wallpaper stays";
  struct Case {
    const char* name;
    Reply reply;
    bool stalls;  // ends once the low-speed window has passed on the program's clock
    const char* said;
  };
  const std::vector<Case> cases = {
      {"silent.jpg", Reply{{}, 0, false}, true, kStalledLine},
      {"trickle.jpg", Reply{{head}, 0, false, false, "x", -1, 100}, true, kStalledLine},
      {"short.jpg", Reply{{owed}}, false, kClosedEarlyLine},
      {"reset.jpg", Reply{{owed}, 0, true, true}, false, kResetLine},
      // The announced length cuts the picture; so does a close without one.
      {"lying.jpg", Reply{Pieces(lying, 512)}, false, damaged},
      {"unannounced.jpg", Reply{{head + half}}, false, damaged},
      {"page", Reply{{Response("<html>not here</html>")}}, false, "not a GIF, JPEG, BMP, PNG or WebP picture"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string url = Url(std::string("/pics/") + c.name);
    server_.Route(std::string("/pics/") + c.name, c.reply);
    testsupport::StderrCapture capture;
    Fetch(url);
    if (c.stalls) {
      ASSERT_TRUE(PumpRealTimeUntil([] { return Transfer.request_sent != 0; }));
      PumpRealTime(300);
      EXPECT_FALSE(Idle());
      LayerAdvanceClock(kLowSpeedWindowMs);
    }
    EXPECT_TRUE(PumpRealTimeUntil(Idle));
    const std::string said = capture.Finish();
    EXPECT_EQ(LinesAbout(said, url), std::vector<std::string>{c.said}) << said;
    EXPECT_EQ(said.find(temp_), std::string::npos) << said;
    EXPECT_EQ(Wallpaper(), "");
    for (const std::string& file : testsupport::ListDir(temp_)) std::filesystem::remove(temp_ + "/" + file);
  }
}

TEST_F(HttpTransferTest, ConnectionThatIsNeverMadeIsGivenUpAfterTenSeconds) {
  fetchtest::FullListener full;
  LayerUseFakeClock(1000);
  Fetch("http://127.0.0.1:" + std::to_string(full.port()) + "/a.bmp");
  // The window goes on working while the connection is tried.
  PumpRealTime(200);
  EXPECT_FALSE(Idle());
  LayerAdvanceClock(9900);
  PumpRealTime(20);
  EXPECT_FALSE(Idle());
  LayerAdvanceClock(100);
  PumpRealTime(20);
  EXPECT_TRUE(Idle());
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"connect() failed | Error"});
  EXPECT_TRUE(RotationTimerRunning());
}

TEST_F(HttpTransferTest, DownloadsOverTheCapAreEndedAndRemoved) {
  const std::string big = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(1LL << 30) + "\r\n\r\n";
  struct Case {
    const char* name;
    Reply reply;
  };
  const std::vector<Case> cases = {
      {"announced.bmp", Reply{{big}, 0, false, false, std::string(1 << 16, 'g'), 1LL << 30}},
      {"unannounced.bmp", Reply{{"HTTP/1.0 200 OK\r\n\r\n"}, 0, false, false, std::string(1 << 16, 'u'), -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LayerClearMessageBoxes();
    Download(c.name, c.reply, RotateCommandId, 120000);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The download is larger than 256 MiB | Error"});
    EXPECT_FALSE(testsupport::FileExists(std::string(WorkDir) + c.name));
    EXPECT_EQ(Wallpaper(), "");
  }
}

TEST_F(HttpTransferTest, BodyCutByAResetIsNeverHandedOn) {
  for (bool with_length : {true, false}) {
    SCOPED_TRACE(with_length ? "with a length" : "without a length");
    const std::string head = with_length ? "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" : "HTTP/1.0 200 OK\r\n\r\n";
    Download("reset.bmp", Reply{{head + Bitmap().substr(0, 30)}, 0, true, true});
    EXPECT_TRUE(LayerMessageBoxes().empty());
    EXPECT_EQ(Wallpaper(), "");
    EXPECT_TRUE(testsupport::FileExists(std::string(WorkDir) + "reset.bmp"));
  }
}

}  // namespace

namespace {

TEST_F(HttpTransferTest, ReadThatFindsTheEndIsABrokenConnectionUnlessNoLengthWasGiven) {
  struct Case {
    const char* name;
    std::string response;
    bool complete;  // handed to the pipeline, no message
  };
  const std::vector<Case> cases = {
      {"cut.bin", "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc", false},
      {"open.bin", "HTTP/1.0 200 OK\r\n\r\nabc", true},
      {"head.bin", "HTTP/1.0 200 OK\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LayerClearMessageBoxes();
    int finished = server_.Finished();
    server_.Route(std::string("/pics/") + c.name, Reply{{c.response}});
    Fetch(Url(std::string("/pics/") + c.name));
    ASSERT_TRUE(PumpUntil([] { return Transfer.request_sent != 0; }));
    // Read events delivered by hand, without the loop's close event: the
    // first takes the data, the next finds the orderly end.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server_.Finished() == finished && std::chrono::steady_clock::now() < until) usleep(1000);
    SOCKET transfer = TransferSocket;
    for (int i = 0; i < 2 && Transfer.phase != TransferPhase::Idle; ++i)
      SendMessageA(MainWindow, SocketEventMessage, transfer, WSAMAKESELECTREPLY(FD_READ, 0));
    EXPECT_EQ(Transfer.phase, TransferPhase::Idle);
    EXPECT_TRUE(PumpUntil(Idle, 1000));  // the box follows from the loop
    EXPECT_EQ(BoxTexts(), c.complete ? std::vector<std::string>{}
                                     : std::vector<std::string>{"Connection broken | Error"});
    // A complete download of no picture is removed by the pipeline.
    EXPECT_EQ(ReadFile(temp_ + "/" + c.name),
              c.complete || c.response.find("\r\n\r\n") == std::string::npos ? "" : "abc");
  }
}

}  // namespace

// https:// against a loopback TLS server whose authority the test trusts.
class HttpsTransferTest : public HttpTransferTest {
 protected:
  std::string SecureUrl(const testsupport::ScriptedServer& server, const std::string& path) const {
    return "https://localhost:" + std::to_string(server.port()) + path;
  }
  void UseProxy(int port) {
    ProxyMode = 1;
    SetWindowTextA(GetDlgItem(MainWindow, ProxyHostField), "127.0.0.1");
    SetWindowTextA(GetDlgItem(MainWindow, ProxyPortField), std::to_string(port).c_str());
  }
  // Fetches `url` to the end of its transfer, redirects included.
  void FetchToTheEnd(const std::string& url, size_t requests, const std::function<size_t()>& count) {
    Fetch(url);
    ASSERT_TRUE(PumpUntil([&] { return count() >= requests && Idle(); }, 8000)) << "transfer did not end";
    PumpFor(30);  // a redirect's next step would show here
  }

  testsupport::TrustTestAuthority trust_;
};

TEST_F(HttpsTransferTest, PicturesOverTlsDirectlyAndThroughTheProxysTunnel) {
  testsupport::ScriptedServer server(testsupport::kTls);
  server.Route("/pics/a.bmp", Reply{Pieces(Response(Bitmap()), 100), 0});  // many small records
  fetchtest::Tinyproxy proxy(dir_.path());
  ASSERT_NE(proxy.port(), 0) << "tinyproxy did not start";
  for (int through_proxy : {0, 1}) {
    SCOPED_TRACE(through_proxy);
    if (through_proxy != 0) UseProxy(proxy.port());
    std::filesystem::remove(LayerWallpaperStorePath());
    size_t before = server.Requests().size();
    FetchToTheEnd(SecureUrl(server, "/pics/a.bmp"), before + 1, [&] { return server.Requests().size(); });
    EXPECT_EQ(Wallpaper(), Bitmap());
    // Inside the tunnel too, the request is the direct one, naming the server.
    EXPECT_EQ(server.Requests().back(), DirectRequest("/pics/a.bmp", "localhost"));
    EXPECT_EQ(server.ServerNames().back(), "localhost");
    EXPECT_TRUE(RotationTimerRunning());
  }
  EXPECT_TRUE(testsupport::ListDir(temp_).empty());
  EXPECT_TRUE(LayerMessageBoxes().empty());

  // A proxy that will not open the tunnel: the scripted server answers the
  // CONNECT with its 404 page.
  UseProxy(server_.port());
  FetchToTheEnd(SecureUrl(server, "/pics/a.bmp"), 1, [&] { return server_.Requests().size(); });
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0], "CONNECT localhost:" + std::to_string(server.port()) +
                                       " HTTP/1.0\r\nHost: localhost:" + std::to_string(server.port()) + "\r\n\r\n");
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The proxy refused the connection: 404 Not Found | Error"});
}

TEST_F(HttpsTransferTest, CertificateFailuresAndAStalledHandshakeEndWithTheirBox) {
  struct Case {
    testsupport::ServerOptions options;
    std::string box;
    bool stalls = false;  // given up by the low-speed limit, on the program's clock
  };
  const std::vector<Case> cases = {
      {{testsupport::ServerCertificate::kExpired}, "The server's certificate has expired"},
      {{testsupport::ServerCertificate::kOtherName}, "The server's certificate is not for this host"},
      {{testsupport::ServerCertificate::kSelfSigned}, "The server's certificate is not trusted"},
      {{testsupport::ServerCertificate::kValid, true}, "The secure connection to the server failed"},  // TLS 1.1 only
      {{testsupport::ServerCertificate::kValid, false, true},
       "The server did not complete the secure connection in time",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box);
    LayerClearMessageBoxes();
    testsupport::ScriptedServer server(c.options);
    server.Route("*", Reply{{Response(Bitmap())}});
    if (c.stalls) LayerUseFakeClock(1000);
    Fetch(SecureUrl(server, "/a.bmp"));
    if (c.stalls) {
      // Silent after the client's hello: the handshake is held to the same
      // 15 seconds as any other part of the transfer, counted from the
      // connection.
      ASSERT_TRUE(PumpRealTimeUntil([] { return Transfer.phase == TransferPhase::Handshake; }));
      PumpRealTime(100);
      LayerAdvanceClock(14900);
      PumpRealTime(20);
      EXPECT_FALSE(Idle());
      LayerAdvanceClock(100);
      PumpRealTime(20);
      LayerUseRealClock();
    }
    ASSERT_TRUE(PumpUntil(Idle, 5000));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box + " | Error"});
    EXPECT_TRUE(server.Requests().empty());  // not a byte of the request went out
    EXPECT_TRUE(testsupport::ListDir(temp_).empty());
    EXPECT_TRUE(RotationTimerRunning());
  }
  EXPECT_EQ(Wallpaper(), "");
}

TEST_F(HttpsTransferTest, RedirectsMayRaiseSecurityButNeverLowerIt) {
  testsupport::ScriptedServer server(testsupport::kTls);
  server.Route("/pics/a.bmp", Reply{{Response(Bitmap())}});
  server.Route("/down", Reply{{fetchtest::RedirectResponse("302 Found", Url("/pics/a.bmp"))}});
  server_.Route("/up", Reply{{fetchtest::RedirectResponse("301 Moved", SecureUrl(server, "/pics/a.bmp"))}});
  server_.Route("/pics/a.bmp", Reply{{Response(Bitmap())}});

  FetchToTheEnd(Url("/up"), 1, [&] { return server.Requests().size(); });
  EXPECT_EQ(Wallpaper(), Bitmap());
  EXPECT_TRUE(LayerMessageBoxes().empty());

  FetchToTheEnd(SecureUrl(server, "/down"), 2, [&] { return server.Requests().size(); });
  EXPECT_EQ(BoxTexts(),
            std::vector<std::string>{"The server redirected an https:// address to http://; not followed | Error"});
  EXPECT_EQ(server_.Requests().size(), 1u);  // the plain server was asked only for /up
  EXPECT_TRUE(testsupport::ListDir(temp_).empty());
}

// A failure's box is a modal loop: while it is open the next transfer
// starts and moves on, its own limit may run out, and a second failure
// comes. OK must touch none of it. The program's clock is the fake one, so
// the limits run out only when a row says.
TEST_F(HttpsTransferTest, AnOpenBoxLeavesTheNextTransferAlone) {
  LayerUseFakeClock(1000);
  testsupport::ScriptedServer slow({testsupport::ServerCertificate::kValid, false, false, 300});
  slow.Route("*", Reply{{Response(Bitmap())}});
  testsupport::ScriptedServer expired({testsupport::ServerCertificate::kExpired});
  expired.Route("*", Reply{{Response(Bitmap())}});
  testsupport::ScriptedServer silent({testsupport::ServerCertificate::kValid, false, true});
  testsupport::ScriptedServer cut(testsupport::kTls);
  cut.Route("*", Reply{{"HTTP/1.0 200 OK\r\nContent-Length: 900\r\n\r\nabc"}});
  fetchtest::FullListener full;
  server_.Route("/moved", Reply{{fetchtest::RedirectResponse("302 Found", "ftp://elsewhere/x")}});
  server_.Route("/next/header.bmp", Reply{{"HTTP/1.0 200", " OK\r\n\r\n" + Bitmap()}, 300});
  server_.Route("/next/body.bmp", Reply{{"HTTP/1.0 200 OK\r\n\r\n" + Bitmap().substr(0, 20), Bitmap().substr(20)}, 300});
  struct Failure {
    std::string url, box;
    bool through_proxy = false;  // the scripted server, which refuses CONNECT
    bool stalls = false;         // given up by the low-speed limit in the handshake
  };
  const std::vector<Failure> failures = {
      {SecureUrl(cut, "/cut.bmp"), "Connection broken | Error"},
      {Url("/missing"), "The server answered 404 Not Found | Error"},
      {Url("/moved"), "The server redirected to an address that cannot be fetched | Error"},
      {"http://127.0.0.1:" + std::to_string(fetchtest::UnusedPort()) + "/a.bmp", "connect() failed | Error"},
      {SecureUrl(expired, "/a.bmp"), "The server's certificate has expired | Error"},
      {SecureUrl(slow, "/a.bmp"), "The proxy refused the connection: 404 Not Found | Error", true},
      {SecureUrl(silent, "/a.bmp"), "The server did not complete the secure connection in time | Error", false, true},
  };
  struct Next {
    std::string url;
    std::function<bool()> under_way;  // when OK is pressed, or the clock moved on
    bool gives_up = false;            // its connect limit runs out while the box is open
  };
  const std::vector<Next> nexts = {
      {"http://127.0.0.1:" + std::to_string(full.port()) + "/never.bmp",
       [] { return Transfer.phase == TransferPhase::Connect; }, true},
      {Url("/next/header.bmp"), [] { return Transfer.response.header_length > 0; }},
      {Url("/next/body.bmp"), [] { return Transfer.phase == TransferPhase::Body; }},
      {SecureUrl(slow, "/next/tls.bmp"), [] { return Transfer.phase == TransferPhase::Handshake; }},
  };
  const std::string long_path = "file:///" + std::string(sizeof WorkDir, 'd') + "/x.bmp";
  for (const Failure& failure : failures) {
    for (const Next& next : nexts) {
      SCOPED_TRACE(failure.url + " then " + next.url);
      LayerClearMessageBoxes();
      std::filesystem::remove(LayerWallpaperStorePath());
      int step = 0;
      LayerHoldMessageBoxes([&] {
        if (step == 0) {
          ProxyMode = 0;
          Fetch(next.url);  // as a rotation tick does
          step = 1;
        } else if (step == 1 && next.under_way()) {
          if (next.gives_up) LayerAdvanceClock(kConnectLimitMs);
          step = 2;
        }
        if (step != 2 || (next.gives_up && Transfer.phase != TransferPhase::Idle)) return false;
        std::strcpy(CurrentUrl, long_path.c_str());
        FetchCurrentUrl(MainWindow, RotateCommandId);
        step = 3;
        return true;
      });
      if (failure.through_proxy) UseProxy(server_.port());
      Fetch(failure.url);
      if (failure.stalls) {
        ASSERT_TRUE(PumpRealTimeUntil([] { return Transfer.phase == TransferPhase::Handshake; }));
        LayerAdvanceClock(kLowSpeedWindowMs);
      }
      EXPECT_TRUE(PumpRealTimeUntil([&] { return step == 3; }, 8000));
      LayerHoldMessageBoxes(nullptr);
      std::vector<std::string> boxes = {failure.box, "The file path is too long | Error"};
      if (next.gives_up) boxes.insert(boxes.begin() + 1, "connect() failed | Error");
      EXPECT_TRUE(PumpRealTimeUntil(Idle));
      EXPECT_EQ(BoxTexts(), boxes);
      EXPECT_EQ(Wallpaper(), next.gives_up ? "" : Bitmap());
      EXPECT_TRUE(RotationTimerRunning());
    }
  }
}
