// The whole program downloading: skerrow as a child process in an empty
// folder, no display, its list naming pictures on a loopback server (and
// through tinyproxy), each change of wallpaper read from its log.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http_server_helpers.h"
#include "test_support.h"
#include "scripted_server.h"

namespace {

using fetchtest::Reply;
using fetchtest::Response;
using testsupport::ReadFile;

// A picture of each kind, made by Pillow.
struct Pictures {
  std::string gif, jpg, bmp, local_bmp;
};

const Pictures& MakePictures() {
  static const Pictures pictures = [] {
    testsupport::TempDir dir;
    auto result = testsupport::RunPython(
        "import sys\nfrom PIL import Image\n"
        "def pic(w, h, c):\n"
        "  im = Image.new('RGB', (w, h), c)\n"
        "  for x in range(w): im.putpixel((x, x % h), (255 - c[0], 255 - c[1], 255 - c[2]))\n"
        "  return im\n"
        "pic(40, 30, (250, 10, 10)).convert('P').save(sys.argv[1] + '/a.gif')\n"
        "pic(48, 32, (10, 250, 10)).save(sys.argv[1] + '/b.jpg', quality=95)\n"
        "pic(24, 16, (10, 10, 250)).save(sys.argv[1] + '/c.bmp')\n"
        "pic(20, 12, (200, 200, 0)).save(sys.argv[1] + '/d.bmp')\n",
        {dir.path()});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return Pictures{ReadFile(dir / "a.gif"), ReadFile(dir / "b.jpg"), ReadFile(dir / "c.bmp"),
                    ReadFile(dir / "d.bmp")};
  }();
  return pictures;
}

int BitmapWidth(const std::string& bmp) {
  if (bmp.size() < 26 || bmp.compare(0, 2, "BM") != 0) return -1;
  return static_cast<unsigned char>(bmp[18]) | static_cast<unsigned char>(bmp[19]) << 8;
}

class HttpProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_ / "home";
    temp_ = dir_ / "temp";
    state_ = dir_ / "state";
    for (const auto& folder : {home_, temp_, state_}) std::filesystem::create_directories(folder);
    testsupport::WriteFile(home_ + "/d.bmp", MakePictures().local_bmp);
  }
  void TearDown() override { Stop(); }

  std::string Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + "/pics/" + name;
  }

  void Start(const std::string& configuration) {
    testsupport::WriteFile(home_ + "/skerrow.cnf", configuration);
    log_ = dir_ / "skerrow.log";
    // Emptied here, not in the child, so a second run never reads the first's.
    testsupport::WriteFile(log_, "");
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 2) < 0 || chdir(home_.c_str()) != 0) _exit(127);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      setenv("TEMP", temp_.c_str(), 1);
      setenv("XDG_STATE_HOME", state_.c_str(), 1);
      execl(SKERROW_PROGRAM, "skerrow", static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return false;
  }

  // SIGTERM, then the exit code (-1 when it did not end normally in time).
  int Stop() {
    if (!Running()) return exit_code_;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500 && Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    return exit_code_;
  }

  std::vector<std::string> LogLines(const std::string& prefix) {
    std::vector<std::string> lines;
    std::string log = ReadFile(log_);
    for (size_t at = 0; at < log.size();) {
      size_t end = log.find('\n', at);
      if (end == std::string::npos) break;
      std::string line = log.substr(at, end - at);
      if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
      at = end + 1;
    }
    return lines;
  }

  // Waits for the next wallpaper change and returns the stored bitmap as it
  // was right after it.
  std::string NextWallpaper(size_t count, int timeout_ms = 20000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until && Running()) {
      if (LogLines("wallpaper: ").size() >= count) return ReadFile(testsupport::NewestWallpaperCopy(state_));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "no wallpaper change " << count << "; log:\n" << ReadFile(log_);
    return "";
  }

  // The list of every test: GIF, JPEG and BMP over HTTP, then a local BMP.
  std::string PictureList() {
    server_.Route("/pics/a.gif", Reply{{Response(MakePictures().gif, "200 OK", "image/gif")}});
    server_.Route("/pics/b.jpg", Reply{{Response(MakePictures().jpg, "200 OK", "image/jpeg")}});
    server_.Route("/pics/c.bmp", Reply{{Response(MakePictures().bmp, "200 OK", "image/bmp")}});
    return Url("a.gif") + "\n" + Url("b.jpg") + "\n" + Url("c.bmp") + "\nfile://" + home_ + "/d.bmp\n";
  }

  // Each picture of PictureList becomes the wallpaper in list order.
  void ExpectPicturesInOrder() {
    EXPECT_EQ(BitmapWidth(NextWallpaper(1)), 40);
    EXPECT_EQ(BitmapWidth(NextWallpaper(2)), 48);
    EXPECT_EQ(NextWallpaper(3), MakePictures().bmp);
    EXPECT_EQ(NextWallpaper(4), MakePictures().local_bmp);
    // Each line names the copy the desktop was given, which stays.
    std::vector<std::string> changes = LogLines("wallpaper: ");
    ASSERT_GE(changes.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
      EXPECT_EQ(changes[i], state_ + "/skerrow/wallpaper-" + std::to_string(i + 1) + ".bmp");
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(testsupport::ListDir(temp_).empty());
    EXPECT_EQ(ReadFile(home_ + "/d.bmp"), MakePictures().local_bmp);
  }

  testsupport::TempDir dir_;
  std::string home_, temp_, state_, log_;
  fetchtest::ScriptedServer server_;
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

TEST_F(HttpProgramTest, DirectDownloadsBecomeTheWallpaperInListOrder) {
  Start("get-timer:1000\n" + PictureList());
  ExpectPicturesInOrder();
  std::vector<std::string> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /pics/a.gif HTTP/1.0");
  EXPECT_NE(requests[0].find("\r\nHost: 127.0.0.1\r\n"), std::string::npos);
  // Nothing but the start-up line naming the desktop, and the changes.
  EXPECT_EQ(LogLines("desktop: "), std::vector<std::string>{"none"});
  EXPECT_TRUE(LogLines("").size() == 5u) << ReadFile(log_);
}

TEST_F(HttpProgramTest, DownloadsThroughTinyproxyBecomeTheWallpaperToo) {
  fetchtest::Tinyproxy proxy(dir_.path());
  ASSERT_NE(proxy.port(), 0) << "tinyproxy did not start";
  Start("get-timer:1000\nproxy://127.0.0.1:" + std::to_string(proxy.port()) + "\n" + PictureList());
  ExpectPicturesInOrder();
  // The proxy asked the server itself, naming the server's host and port.
  std::vector<std::string> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].substr(0, requests[1].find(' ', 4)), "GET /pics/b.jpg");
  EXPECT_NE(requests[1].find("Host: 127.0.0.1:" + std::to_string(server_.port())), std::string::npos);
}

TEST_F(HttpProgramTest, BadServersLeaveTheProgramRunningAndTheRotationGoing) {
  const Pictures& pictures = MakePictures();
  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 7919) % 251);
  server_.Route("/pics/garbage.gif", Reply{{Response(garbage)}});
  server_.Route("/pics/cut.jpg", Reply{{Response(pictures.jpg.substr(0, pictures.jpg.size() / 2))}});
  server_.Route("/pics/error.jpg", Reply{{Response("<html>Not Found</html>", "404 Not Found", "text/html")}});
  server_.Route("/pics/never.bmp", Reply{{}, 0, false});
  server_.Route("/pics/c.bmp", Reply{{Response(pictures.bmp)}});
  // Without a display a failed set-up (a name that does not resolve, a
  // refused connection) must not end the rotation.
  Start("get-timer:1000\n" + Url("c.bmp") + "\n" + Url("garbage.gif") + "\n" + Url("cut.jpg") + "\n" +
        Url("error.jpg") + "\nhttp://no-such-host.invalid/a.bmp\nhttp://127.0.0.1:" +
        std::to_string(fetchtest::UnusedPort()) + "/a.bmp\n" + Url("never.bmp") + "\n" + Url("c.bmp") + "\n");
  EXPECT_EQ(NextWallpaper(1), pictures.bmp);
  // The bad ones change nothing; the last entry comes round all the same,
  // the silent server given up by the low-speed limit.
  EXPECT_EQ(NextWallpaper(2, 40000), pictures.bmp);
  EXPECT_TRUE(Running());
  std::vector<std::string> requests = server_.Requests();
  EXPECT_EQ(requests.size(), 6u);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(HttpProgramTest, HttpsPicturesDirectlyAndThroughTinyproxyWhileBadCertificatesRotateOn) {
  testsupport::TrustTestAuthority trust;
  testsupport::ScriptedServer good(testsupport::kTls);
  testsupport::ScriptedServer expired({testsupport::ServerCertificate::kExpired});
  const std::string bmp = MakePictures().bmp;
  good.Route("/pics/c.bmp", Reply{{Response(bmp)}});
  expired.Route("*", Reply{{Response(bmp)}});
  std::string secure = "https://localhost:" + std::to_string(good.port()) + "/pics/c.bmp";
  server_.Route("/pics/up.bmp", Reply{{fetchtest::RedirectResponse("302 Found", secure)}});
  std::string list = "get-timer:1000\nhttps://localhost:" + std::to_string(expired.port()) + "/pics/c.bmp\n" +
                     Url("up.bmp") + "\n";
  fetchtest::Tinyproxy proxy(dir_.path());
  ASSERT_NE(proxy.port(), 0) << "tinyproxy did not start";
  for (const std::string& proxy_line : {std::string(), "proxy://127.0.0.1:" + std::to_string(proxy.port()) + "\n"}) {
    SCOPED_TRACE(proxy_line);
    Start(proxy_line + list);
    // The expired one shows its box and the rotation reaches the next entry,
    // whose redirect leads to the picture over https.
    EXPECT_EQ(NextWallpaper(1), bmp);
    EXPECT_EQ(LogLines("Error: "), std::vector<std::string>{"The server's certificate has expired"});
    EXPECT_EQ(LogLines("wallpaper: ").front(), testsupport::NewestWallpaperCopy(state_));
    EXPECT_EQ(Stop(), 0) << ReadFile(log_);
  }
  EXPECT_EQ(good.Requests().size(), 2u);
  EXPECT_TRUE(expired.Requests().empty());
}

}  // namespace
