// The tray icon's menu in-process: what each item shows of the program's
// state, and what choosing it does.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app_constants.h"
#include "app_globals.h"
#include "app_helpers.h"
#include "fetch_globals.h"
#include "http_transfer.h"
#include "layer_control.h"
#include "child_process.h"
#include "scripted_server.h"
#include "wallpaper.h"

namespace {

using SteeringTest = AppTest;

// Opens the menu with a right click on the icon and chooses `id` (0: none);
// returns the lines it showed.
std::vector<LayerMenuLine> ChooseFromMenu(UINT id) {
  std::vector<LayerMenuLine> shown;
  LayerAnswerMenus([&](const std::vector<LayerMenuLine>& lines) {
    shown = lines;
    return id;
  });
  LayerTrayIconEvent(WM_RBUTTONDOWN);
  LayerTrayIconEvent(WM_RBUTTONUP);
  Pump();
  LayerAnswerMenus(nullptr);
  return shown;
}

UINT FlagsOf(const std::vector<LayerMenuLine>& lines, UINT id) {
  for (const LayerMenuLine& line : lines)
    if (line.id == id) return line.flags;
  ADD_FAILURE() << "no item " << id;
  return 0;
}

TEST_F(SteeringTest, TheMenuShowsTheStateAndEachItemActs) {
  const std::string pics = Here("pics"), in = "file://" + pics + "/";
  std::filesystem::create_directories(pics);
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) testsupport::WriteFile(pics + "/" + name, testsupport::TinyBitmap());
  // The desktop's opener, standing in for a viewer: it notes what it was given.
  const std::string bin = Here("bin"), opened = Here("opened.txt");
  std::filesystem::create_directories(bin);
  testsupport::WriteFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > " + opened + "\n");
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  const std::string saved_path = std::getenv("PATH");
  setenv("PATH", (bin + ":" + saved_path).c_str(), 1);
  // A list without addresses starts nothing; the folder is added after.
  Start("get-timer:60000\n", SW_SHOWNORMAL);
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, 1, reinterpret_cast<LPARAM>(in.c_str()));

  // Nothing shown yet: the item that opens it is greyed and does nothing.
  std::vector<LayerMenuLine> lines = ChooseFromMenu(OpenPictureCommandId);
  std::vector<std::string> texts = {kNextPictureText, kPreviousPictureText, kPauseText, kOpenPictureText, "",
                                    kShuffleText,     kEachMonitorText,     kFitMenuTitle};
  texts.insert(texts.end(), std::begin(kFitMenuTexts), std::end(kFitMenuTexts));
  texts.insert(texts.end(), {kStartAtLoginText, "", kShowWindowText, kQuitText});
  ASSERT_EQ(lines.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(lines[i].text, texts[i]) << i;
  EXPECT_EQ(FlagsOf(lines, OpenPictureCommandId) & MF_GRAYED, static_cast<UINT>(MF_GRAYED));
  EXPECT_EQ(FlagsOf(lines, NextPictureCommandId) & (MF_GRAYED | MF_CHECKED), 0u);
  EXPECT_EQ(ShownUrl, std::string());

  // Next, next, previous, next: the order steps back and goes on from there.
  const struct {
    UINT id;
    const char* shown;
  } steps[] = {{NextPictureCommandId, "a.bmp"}, {NextPictureCommandId, "b.bmp"},
               {PreviousPictureCommandId, "a.bmp"}, {PreviousPictureCommandId, "c.bmp"},
               {NextPictureCommandId, "a.bmp"}, {NextPictureCommandId, "b.bmp"}};
  for (const auto& step : steps) {
    ChooseFromMenu(step.id);
    EXPECT_EQ(ShownUrl, in + step.shown) << step.id;
  }

  // Open hands the source picture to the desktop's opener.
  EXPECT_EQ(FlagsOf(ChooseFromMenu(OpenPictureCommandId), OpenPictureCommandId) & MF_GRAYED, 0u);
  for (int i = 0; i < 200 && testsupport::ReadFile(opened).empty(); ++i) usleep(10000);
  EXPECT_EQ(testsupport::ReadFile(opened), pics + "/b.bmp");
  setenv("PATH", saved_path.c_str(), 1);

  // Paused: checked, said in the tip, and hiding the window does not resume.
  ChooseFromMenu(PauseCommandId);
  EXPECT_EQ(FlagsOf(ChooseFromMenu(0), PauseCommandId) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
  EXPECT_NE(std::string(LayerTrayIcon().szTip).find("\x88\xea\x8e\x9e\x92\xe2\x8e\x7e\x92\x86"), std::string::npos);
  SendMessageA(MainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(RotatesWithin(3 * 60000));
  ChooseFromMenu(PauseCommandId);
  EXPECT_EQ(std::string(LayerTrayIcon().szTip), kMainCaption);
  EXPECT_FALSE(RotatesWithin(60000 - 10));
  EXPECT_TRUE(RotatesWithin(20));

  // Shuffle and start at login are checked while on; the entry names this program.
  ChooseFromMenu(ShuffleCommandId);
  ChooseFromMenu(EachMonitorCommandId);
  ChooseFromMenu(FirstFitCommandId + 2);
  const std::string entry = std::string(std::getenv("XDG_CONFIG_HOME")) + "/autostart/skerrow.desktop";
  std::filesystem::remove(entry);
  ChooseFromMenu(StartAtLoginCommandId);
  lines = ChooseFromMenu(0);
  EXPECT_EQ(FlagsOf(lines, ShuffleCommandId) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
  EXPECT_EQ(FlagsOf(lines, StartAtLoginCommandId) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
  for (UINT id : {EachMonitorCommandId, FirstFitCommandId + 2})
    EXPECT_EQ(FlagsOf(lines, id) & MF_CHECKED, static_cast<UINT>(MF_CHECKED)) << id;
  EXPECT_EQ(FlagsOf(lines, FirstFitCommandId) & MF_CHECKED, 0u);
  EXPECT_EQ(ShuffleOrder, 1);
  EXPECT_EQ(EachMonitor, 1);
  EXPECT_EQ(FitMode, 2);
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_NE(testsupport::ReadFile(entry).find("\nExec=\"" + std::string(self) + "\"\n"), std::string::npos);
  ChooseFromMenu(StartAtLoginCommandId);
  EXPECT_FALSE(std::filesystem::exists(entry));

  // Show brings the window back; quit closes it the normal way.
  ChooseFromMenu(ShowWindowCommandId);
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  ChooseFromMenu(QuitCommandId);
  EXPECT_FALSE(IsWindow(MainWindow));
  EXPECT_FALSE(LayerTrayIconPresent());
}

TEST_F(SteeringTest, NextAndPreviousEndASlowDownloadAndStepAtOnce) {
  testsupport::ScriptedServer server;
  // 100 bytes a second: fast enough for the low-speed limit, far too slow
  // to wait for.
  server.Route("/slow.bmp", testsupport::Reply{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 0, false,
                                               false, std::string(10, 's'), -1, 100});
  const std::string slow = "http://127.0.0.1:" + std::to_string(server.port()) + "/slow.bmp";
  const std::string a = "file://" + Here("a.bmp"), b = "file://" + Here("b.bmp");
  for (const char* name : {"a.bmp", "b.bmp"}) testsupport::WriteFile(Here(name), testsupport::TinyBitmap());
  Start(("get-timer:60000\n" + a + "\n" + slow + "\n" + b + "\n").c_str());
  Pump();  // the start's own step shows a

  // Each step from the menu and as another start's request; the order
  // stands at the slow picture, so next leads to b and previous to a.
  for (const std::string& word : {std::string("next"), std::string("previous")})
    for (bool from_menu : {true, false}) {
      SCOPED_TRACE(word + (from_menu ? " from the menu" : " requested"));
      for (int i = 0; i < 3 && RequestedUrl != a; ++i) Command(RotateCommandId);
      ASSERT_EQ(RequestedUrl, a);
      Command(RotateCommandId);
      ASSERT_TRUE(testsupport::WaitFor([] { return !Pump() && Transfer.response.body_length > 0; }));
      std::vector<LayerMenuLine> lines = ChooseFromMenu(0);
      for (UINT id : {NextPictureCommandId, PreviousPictureCommandId}) EXPECT_EQ(FlagsOf(lines, id) & MF_GRAYED, 0u);
      const int finished = server.Finished();
      const unsigned taken = PicturesTaken;
      testsupport::StderrCapture capture;
      COPYDATASTRUCT request{kRequestDataTag, static_cast<DWORD>(word.size()), const_cast<char*>(word.data())};
      if (from_menu) {
        ChooseFromMenu(word == "next" ? NextPictureCommandId : PreviousPictureCommandId);
      } else {
        EXPECT_EQ(AnswerRequest(MainWindow, nullptr, &request), TRUE);
      }
      EXPECT_NE(capture.Finish().find(slow + ": the download was stopped\n"), std::string::npos);
      EXPECT_EQ(PicturesTaken, taken + 1);
      EXPECT_EQ(ShownUrl, word == "next" ? b : a);
      EXPECT_TRUE(testsupport::WaitFor([&] { return server.Finished() > finished; }));
    }
}

}  // namespace
