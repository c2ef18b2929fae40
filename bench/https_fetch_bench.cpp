// From the rotation tick to the wallpaper call for a 4000 x 3000 JPEG
// downloaded over https:// on loopback, against the same bytes fetched by
// curl plus the decoding converter run on its own, in alternating rounds.
// The server's certificate comes from an authority made here with openssl.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <windows.h>

#include "bench_support.h"
#include "download_rounds.h"
#include "image_writer.h"
#include "pixel_source.h"

namespace {

constexpr int kRuns = 5;

using bench::Call;
using bench::Median;
using bench::Samples;
using bench::Spawn;
using bench::TimeMs;

bool MakeSite(const std::string& dir) {
  std::string script =
      "import sys, subprocess\n"
      "from PIL import Image, ImageDraw\n"
      "d = sys.argv[1]\n"
      "w, h = 4000, 3000\n"
      "im = Image.merge('RGB', [Image.linear_gradient('L').resize((w, h)), Image.radial_gradient('L').resize((w, h)),"
      " Image.effect_noise((w, h), 60)])\n"
      "im.save(d + '/site/picture.jpg', quality=90)\n"
      "def run(*a): subprocess.run(a, check=True, capture_output=True)\n"
      "run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=bench authority',"
      " '-keyout', d + '/ca.key', '-out', d + '/ca.pem')\n"
      "run('openssl', 'req', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=localhost', '-keyout', d + '/server.key',"
      " '-out', d + '/server.csr')\n"
      "open(d + '/ext', 'w').write('subjectAltName=DNS:localhost,IP:127.0.0.1\\n')\n"
      "run('openssl', 'x509', '-req', '-in', d + '/server.csr', '-CA', d + '/ca.pem', '-CAkey', d + '/ca.key',"
      " '-CAcreateserial', '-days', '2', '-extfile', d + '/ext', '-out', d + '/server.pem')\n";
  return Spawn({SKERROW_PYTHON, "-c", script, dir}) == 0;
}

// Python's own HTTP server for the site, wrapped in TLS.
bench::Server StartServer(const std::string& dir) {
  std::string script =
      "import sys, ssl, functools, http.server\n"
      "class Quiet(http.server.SimpleHTTPRequestHandler):\n"
      "    def log_message(self, *args): pass\n"
      "handler = functools.partial(Quiet, directory=sys.argv[1] + '/site')\n"
      "server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)\n"
      "context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
      "context.load_cert_chain(sys.argv[1] + '/server.pem', sys.argv[1] + '/server.key')\n"
      "server.socket = context.wrap_socket(server.socket, server_side=True)\n"
      "print(server.server_port, flush=True)\n"
      "server.serve_forever()\n";
  return bench::StartServer(script, dir);
}

}  // namespace

int main() {
  bench::ScratchFolder();
  const std::string dir = std::filesystem::temp_directory_path() / ("skerrow-https-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir + "/temp");
  std::filesystem::create_directories(dir + "/site");
  setenv("TEMP", (dir + "/temp").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
  if (!MakeSite(dir)) {
    std::fprintf(stderr, "could not make the picture and the certificates\n");
    return 1;
  }
  setenv("SSL_CERT_FILE", (dir + "/ca.pem").c_str(), 1);
  bench::Server server = StartServer(dir);
  if (server.port == 0) {
    std::fprintf(stderr, "could not start the server\n");
    return 1;
  }
  std::FILE* quiet = std::freopen("/dev/null", "w", stderr);
  (void)quiet;

  const std::string address = "https://localhost:" + std::to_string(server.port) + "/picture.jpg";
  const std::string fetched = dir + "/fetched", bmp_out = dir + "/alone.bmp";
  Samples pipeline, plain, download, store;
  for (int round = 0; round < kRuns; ++round) {
    bench::StartHiddenWith(address);
    pipeline.push_back(TimeMs(bench::TickAndDownload));
    double curl = TimeMs([&] {
      bench::Require(Spawn({"/usr/bin/curl", "-sf", "--cacert", dir + "/ca.pem", "-o", fetched, address}), "curl");
    });
    download.push_back(curl);
    plain.push_back(curl + TimeMs([&] { bench::Require(Call(RunDjpeg, {"djpeg", "-bmp", fetched, bmp_out}), "djpeg"); }));
    store.push_back(TimeMs([&] {
      std::snprintf(ScratchBuffer, sizeof ScratchBuffer, "%s", bmp_out.c_str());
      SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, ScratchBuffer, 0);
    }));
    std::remove(bmp_out.c_str());
  }
  LayerReset();
  bench::Stop(server.pid);

  double to_call = Median(pipeline) - Median(store);
  double sum = Median(plain);
  std::printf("median of %d rounds over loopback https\n", kRuns);
  std::printf("JPEG 4000x3000 tick to wallpaper %8.1f ms, to the call %8.1f ms | curl %6.1f ms + converter = %8.1f ms"
              " | overhead %+5.1f%%\n",
              Median(pipeline), to_call, Median(download), sum, 100.0 * (to_call - sum) / sum);
  std::filesystem::remove_all(dir);
  return 0;
}
