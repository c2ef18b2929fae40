// The sway setter against the real compositor: the program rotates two
// pictures, and each one must fill the screen as swaybg draws it, read back
// with grim and compared with Pillow's own rendering.
#include <gtest/gtest.h>

#include <cstdlib>

#include "desktop/desktop_setter.h"
#include "wayland_helpers.h"

namespace waylandtest {
namespace {

// Smooth pictures, so that swaybg's scaling and Pillow's agree, of
// different shapes, so that both kinds of cropping are seen.
constexpr char kDraw[] = R"(
import sys
from PIL import Image
for path, (w, h), colour in zip(sys.argv[1:], [(480, 180), (150, 300)],
                                [lambda x, y: (x, y, 60), lambda x, y: (220, 255 - y, x)]):
    image = Image.new('RGB', (w, h))
    image.putdata([colour(255 * x // w, 255 * y // h) for y in range(h) for x in range(w)])
    image.save(path, quality=95)
)";

// Mean difference per channel between the screen and the picture scaled to
// cover it, centred and cropped, away from the edges where filters differ.
constexpr char kCompare[] = R"(
import sys
from PIL import Image, ImageChops, ImageStat
shot = Image.open(sys.argv[1]).convert('RGB')
picture = Image.open(sys.argv[2]).convert('RGB')
W, H = shot.size
scale = max(W / picture.width, H / picture.height)
w, h = round(picture.width * scale), round(picture.height * scale)
left, top = (w - W) // 2, (h - H) // 2
filled = picture.resize((w, h), Image.BILINEAR).crop((left, top, left + W, top + H))
inner = (16, 16, W - 16, H - 16)
print(sum(ImageStat.Stat(ImageChops.difference(shot.crop(inner), filled.crop(inner))).mean) / 3)
)";

double ScreenDifference(const Sway& sway, const std::string& picture) {
  std::string shot = sway.Screenshot("screen.png");
  if (shot.empty()) return 255;
  testsupport::ProcessResult compared = testsupport::RunPython(kCompare, {shot, picture});
  return compared.exit_code == 0 ? std::stod(compared.out) : 255;
}

TEST(SwaySetterTest, EachPictureInTurnFillsTheScreen) {
  if (!Sway::Installed()) GTEST_SKIP() << "sway, swaybg or grim is not installed";
  Sway sway;
  ASSERT_EQ(sway.failure(), "");
  const std::string pictures[] = {sway.home() + "/wide.png", sway.home() + "/tall.jpg"};
  ASSERT_EQ(sway.Run({SKERROW_PYTHON, "-c", kDraw, pictures[0], pictures[1]}).exit_code, 0);
  sway.Give(sway.home() + "/skerrow.cnf",
            "get-timer:1000\nfile://" + pictures[0] + "\nfile://" + pictures[1] + "\n");
  // The copies' folder needs quoting in sway's command language.
  std::string state = sway.home() + "/state \"quoted\" home";
  std::string log = sway.home() + "/program.log";
  // No display for Qt: only the compositor's socket.
  Child program = sway.Start({sway.program()},
                             {"SWAYSOCK=" + sway.swaysock(), "SKERROW_DESKTOP=sway", "XDG_STATE_HOME=" + state},
                             {.stderr_file = log});
  for (const std::string& picture : pictures) {
    double difference = 255;
    EXPECT_TRUE(WaitFor([&] { return (difference = ScreenDifference(sway, picture)) < 8; }))
        << picture << " is not on the screen; the nearest frame differs by " << difference << "\n"
        << testsupport::ReadFile(log);
  }
  EXPECT_EQ(program.Terminate(), 0);
  std::string said = testsupport::ReadFile(log);
  EXPECT_NE(said.find("desktop: sway\n"), std::string::npos) << said;
  EXPECT_EQ(said.find("did not take"), std::string::npos) << said;
}

// The active outputs as the compositor's own list has them, read by an
// independent parser: "name x y width height" a line.
constexpr char kOutputs[] = R"(
import json, sys
for o in json.loads(sys.argv[1]):
    if o['active']:
        r = o['rect']
        print(o['name'], r['x'], r['y'], r['width'], r['height'])
)";

// How far each output's part of the screen is from its solid colour, the
// largest mean difference per channel; the arguments are the shot, then
// "x y width height r g b" per output.
constexpr char kColours[] = R"(
import sys
from PIL import Image, ImageStat
shot = Image.open(sys.argv[1]).convert('RGB')
worst = 0
for area in sys.argv[2:]:
    x, y, w, h, *colour = map(int, area.split())
    means = ImageStat.Stat(shot.crop((x, y, x + w, y + h))).mean
    worst = max(worst, max(abs(m - c) for m, c in zip(means, colour)))
print(worst)
)";

TEST(SwaySetterTest, EachOutputShowsItsOwnPicture) {
  if (!Sway::Installed()) GTEST_SKIP() << "sway, swaybg or grim is not installed";
  Sway sway;
  ASSERT_EQ(sway.failure(), "");
  ASSERT_EQ(sway.Message({"create_output"}).exit_code, 0);
  setenv("SWAYSOCK", sway.swaysock().c_str(), 1);
  std::vector<layer::MonitorPlace> outputs;
  std::string why, listed;
  ASSERT_TRUE(layer::kSwayDesktop.list_monitors(&outputs, &why)) << why;
  auto place = [](const layer::MonitorPlace& output) {
    return std::to_string(output.x) + " " + std::to_string(output.y) + " " + std::to_string(output.width) + " " +
           std::to_string(output.height);
  };
  for (const layer::MonitorPlace& output : outputs) listed += output.name + " " + place(output) + "\n";
  EXPECT_EQ(listed, testsupport::RunPython(kOutputs, {sway.Message({"-r", "-t", "get_outputs"}).out}).out);
  ASSERT_EQ(outputs.size(), 2u);

  const char* colours[] = {"200 40 30", "20 90 210"};
  std::vector<layer::MonitorPicture> pictures;
  std::vector<std::string> areas;
  for (size_t i = 0; i < outputs.size(); ++i) {
    pictures.push_back({outputs[i], sway.home() + "/output " + std::to_string(i) + ".png"});
    testsupport::RunPython("import sys\nfrom PIL import Image\n"
                           "Image.new('RGB', (64, 48), tuple(map(int, sys.argv[2].split()))).save(sys.argv[1])\n",
                           {pictures[i].path, colours[i]});
    sway.Give(pictures[i].path, testsupport::ReadFile(pictures[i].path));
    areas.push_back(place(outputs[i]) + " " + colours[i]);
  }
  ASSERT_TRUE(layer::kSwayDesktop.show_each(pictures, layer::WallpaperFit::kStretch, &why)) << why;
  double worst = 255;
  EXPECT_TRUE(WaitFor([&] {
    std::string shot = sway.Screenshot("outputs.png");
    std::vector<std::string> args = {shot};
    args.insert(args.end(), areas.begin(), areas.end());
    testsupport::ProcessResult compared = testsupport::RunPython(kColours, args);
    return !shot.empty() && compared.exit_code == 0 && (worst = std::stod(compared.out)) < 8;
  })) << "an output does not show its picture; the nearest frame differs by " << worst;
  unsetenv("SWAYSOCK");
}

}  // namespace
}  // namespace waylandtest
