#include "desktop_helpers.h"

#include <windows.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "layer_control.h"

namespace desktoptest {
namespace {

// These programs are not the program, so they show the layer where the build
// put its modules (beside the program).
[[maybe_unused]] const bool kModulesNamed = (LayerSetModuleFolder(SKERROW_BUILD_DIR "/app"), true);

}  // namespace

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv, int line_fd)
    : Child(argv, {.line_fd = line_fd, .own_group = true}) {
  std::optional<std::string> line = NextLine(15000);
  if (!line) throw std::runtime_error(argv[0] + " did not start");
  line_ = *line;
}

SessionBus::SessionBus() {
  for (const char* folder : {"config", "runtime", "cache"}) mkdir((folder_ / folder).c_str(), 0700);
  setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (folder_ / "runtime").c_str(), 1);
  setenv("XDG_CACHE_HOME", (folder_ / "cache").c_str(), 1);
  testsupport::WriteFile(folder_ / "bus.conf",
                         "<busconfig><type>session</type><listen>unix:dir=" + folder_.path() + "</listen>"
                         "<standard_session_servicedirs/>"
                         "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
  daemon_ = std::make_unique<BackgroundProgram>(
      std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + folder_ / "bus.conf", "--nofork",
                               "--print-address=3"},
      3);
  address_ = daemon_->line();
  setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

SessionBus::~SessionBus() {
  // Services started on the bus leave when it goes.
  daemon_.reset();
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

std::string SessionBus::Run(const std::vector<std::string>& argv) {
  auto result = testsupport::RunProcess(argv, {"DBUS_SESSION_BUS_ADDRESS=" + address_}, 20);
  std::string out = result.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string DrawBitmap(const std::string& path, int width, int height, int variant) {
  auto result = testsupport::RunPython(
      "import sys\nfrom PIL import Image\n"
      "w, h, v = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([((x * 255 // w + 80 * v) % 256, (y * 255 // h + 40 * v) % 256, ((x + y) * 127 // (w + h) + 60 * v) % 256)"
      " for y in range(h) for x in range(w)])\n"
      "im.save(sys.argv[1], 'BMP')\n",
      {path, std::to_string(width), std::to_string(height), std::to_string(variant)});
  if (result.exit_code != 0) throw std::runtime_error("Pillow failed: " + result.err);
  return path;
}

std::pair<double, double> LayoutError(const std::string& shot, const std::vector<PlacedPicture>& placed,
                                      const char* fit) {
  std::vector<std::string> args = {shot, fit};
  for (const PlacedPicture& p : placed) {
    args.push_back(p.area);
    args.push_back(p.bitmap);
  }
  auto result = testsupport::RunPython(
      "import sys\nimport numpy as np\nfrom PIL import Image, ImageOps\n"
      "shot = Image.open(sys.argv[1]).convert('RGB')\nfit = sys.argv[2]\n"
      "areas = [tuple(map(int, a.split(','))) for a in sys.argv[3::2]]\n"
      "sources = [Image.open(b).convert('RGB') for b in sys.argv[4::2]]\n"
      "def placed(source, W, H, fit):\n"
      "    w, h = source.size\n"
      "    if fit == 'fill': return ImageOps.fit(source, (W, H), Image.BILINEAR, centering=(0.5, 0.5))\n"
      "    if fit == 'stretch': return source.resize((W, H), Image.BILINEAR)\n"
      "    out = Image.new('RGB', (W, H))\n"
      "    if fit == 'fit':\n"
      "        s = min(W / w, H / h)\n"
      "        dw, dh = round(w * s), round(h * s)\n"
      "        out.paste(source.resize((dw, dh), Image.BILINEAR), ((W - dw) // 2, (H - dh) // 2))\n"
      "    if fit == 'center': out.paste(source, (int((W - w) / 2), int((H - h) / 2)))\n"
      "    for y in range(0, H, h) if fit == 'tile' else []:\n"
      "        for x in range(0, W, w): out.paste(source, (x, y))\n"
      "    return out\n"
      "expected = Image.new('RGB', shot.size)\n"
      "left, top = min(a[0] for a in areas), min(a[1] for a in areas)\n"
      "if fit == 'span':\n"
      "    whole = placed(sources[0], max(a[0] + a[2] for a in areas) - left, max(a[1] + a[3] for a in areas) - top, 'fill')\n"
      "for (x, y, w, h), source in zip(areas, sources):\n"
      "    part = whole.crop((x - left, y - top, x - left + w, y - top + h)) if fit == 'span' else placed(source, w, h, fit)\n"
      "    expected.paste(part, (x, y))\n"
      "d = np.abs(np.asarray(shot, dtype=int) - np.asarray(expected, dtype=int))\n"
      "print(d.mean(), np.percentile(d, 99))\n",
      args);
  double mean = 999, high = 999;
  if (std::sscanf(result.out.c_str(), "%lf %lf", &mean, &high) != 2)
    throw std::runtime_error("Pillow failed: " + result.err);
  return {mean, high};
}

bool SaveRoot(const std::string& display, const std::string& path) {
  return testsupport::RunProcess({"/usr/bin/import", "-display", display, "-window", "root", path}, {}, 30).exit_code == 0;
}

std::string ChooseDesktop(const char* requested) {
  ScopedEnv wanted("SKERROW_DESKTOP", requested);
  testsupport::StderrCapture capture;
  LayerChooseDesktop();
  return capture.Finish();
}

std::string SetWallpaper(const std::string& bitmap, std::string* said) {
  testsupport::StderrCapture capture;
  BOOL done = SystemParametersInfoA(SPI_SETDESKWALLPAPER, 0, const_cast<char*>(bitmap.c_str()), 0);
  std::string text = capture.Finish();
  if (said != nullptr) *said = text;
  return done ? LayerWallpaperStorePath() : std::string();
}

void SetFit(const char* style, const char* tile) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("the desktop's key cannot be made");
  for (auto [name, value] : {std::pair{"WallpaperStyle", style}, std::pair{"TileWallpaper", tile}}) {
    if (value == nullptr)
      RegDeleteValueA(key, name);
    else
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(strlen(value) + 1));
  }
  RegCloseKey(key);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace desktoptest
