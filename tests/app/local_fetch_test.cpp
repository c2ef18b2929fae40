// The fetcher's window commands and local pictures through the whole path
// from the list or the edit field to the stored wallpaper.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app_constants.h"
#include "app_globals.h"
#include "app_helpers.h"
#include "fetch_globals.h"
#include "layer_control.h"

namespace {

using LocalFetchTest = AppTest;

using testsupport::TinyBitmap;

void TypeAndGo(const std::string& text) {
  SendMessageA(GetDlgItem(MainWindow, UrlBox), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  Command(GoButton, BN_CLICKED);
}

void AddEntry(const std::string& text) {
  SendMessageA(GetDlgItem(MainWindow, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(text.c_str()));
}

TEST_F(LocalFetchTest, GoWithALocalBitmapSetsItInPlaceAndStartsTheTimerEvenWhenShown) {
  Start(nullptr);
  const std::string picture = Here("pictures/sea.bmp");
  std::filesystem::create_directories(Here("pictures"));
  testsupport::WriteFile(picture, TinyBitmap());

  TypeAndGo("file://" + picture);
  EXPECT_EQ(testsupport::ReadFile(LayerWallpaperStorePath()), TinyBitmap());
  EXPECT_EQ(testsupport::ReadFile(picture), TinyBitmap());
  EXPECT_EQ(std::string(CurrentUrl), "file://" + Here("pictures/"));
  EXPECT_EQ(std::string(LocalName), "sea.bmp");
  EXPECT_EQ(std::string(WorkDir), WorkFolder());
  EXPECT_EQ(MessageBoxCount(), 0);

  AddEntry("file:///next/x.txt");
  ShowWindow(MainWindow, SW_HIDE);
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
}

TEST_F(LocalFetchTest, WithoutTempWorkDirIsStillAPrivateFolderNeverTheSourceFolder) {
  unsetenv("TEMP");
  std::filesystem::create_directories(Here("run"));
  setenv("XDG_RUNTIME_DIR", Here("run").c_str(), 1);
  Start(nullptr);
  EXPECT_EQ(std::string(WorkDir).rfind(Here("run/skerrow-"), 0), 0u) << WorkDir;
  TypeAndGo("file:///somewhere/else/x.txt");
  EXPECT_EQ(std::string(WorkDir), WorkFolder());
  unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(LocalFetchTest, AddressesThatAreNoLocalOrWebAddressDoNothing) {
  Start(nullptr);
  for (const char* address : {"FILE:///pictures/a.bmp", "Http://h/a.gif", "ftp://h/a.gif", "file:/a.bmp",
                              "file://a.bmp", "", "  file:///a.bmp"}) {
    std::strcpy(WorkDir, "/before/");
    TypeAndGo(address);
    EXPECT_STREQ(WorkDir, "/before/") << address;
    EXPECT_STREQ(LocalName, "index.html") << address;
  }
  EXPECT_EQ(MessageBoxCount(), 0);
  // None of them started the timer.
  AddEntry("file:///next/x.txt");
  ShowWindow(MainWindow, SW_HIDE);
  EXPECT_FALSE(RotatesWithin(kDefaultIntervalMs));
}

TEST_F(LocalFetchTest, WebAddressesGoToTheDownloadSide) {
  Start(nullptr);
  TypeAndGo("http://pictures.invalid/a.gif");
  // The host cannot be resolved: the download side's own message, with the
  // host as its caption, once the look-up has answered; the local side's
  // folders are untouched.
  for (int i = 0; i < 5000 && MessageBoxCount() == 0; ++i) {
    Pump();
    usleep(1000);
  }
  ASSERT_EQ(MessageBoxCount(), 1);
  EXPECT_EQ(LayerMessageBoxes()[0].text,
            "\x83\x7a\x83\x58\x83\x67\x96\xbc\x82\xaa\x95\x73\x96\xbe\x82\xc5\x82\xb7\x81\x42");
  EXPECT_EQ(LayerMessageBoxes()[0].caption, "pictures.invalid");
  EXPECT_EQ(LayerMessageBoxes()[0].owner, MainWindow);
  EXPECT_STREQ(CurrentUrl, "http://pictures.invalid/a.gif");
  EXPECT_EQ(std::string(WorkDir), WorkFolder());
  EXPECT_EQ(TransferSocket, INVALID_SOCKET);
  EXPECT_EQ(DownloadFile, nullptr);
}

TEST_F(LocalFetchTest, PathsTooLongForTheirBuffersAreRefusedAndTheRotationGoesOn) {
  const std::string long_folder = "file:///" + std::string(127, 'd') + "/a.bmp";
  const std::string long_name = "file:///pictures/" + std::string(128, 'n') + ".bmp";
  const std::string longest_fitting = "file:///" + std::string(125, 'd') + "/" + std::string(123, 'n') + ".bmp";
  Start((long_folder + "\n" + long_name + "\n" + longest_fitting + "\n").c_str());
  Pump();
  EXPECT_EQ(MessageBoxCount(), 1);
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
  EXPECT_EQ(MessageBoxCount(), 2);
  for (const LayerMessageBox& box : LayerMessageBoxes()) {
    EXPECT_EQ(box.text, "The file path is too long");
    EXPECT_EQ(box.caption, "Error");
  }
  EXPECT_TRUE(RotatesWithin(kDefaultIntervalMs));
  EXPECT_EQ(MessageBoxCount(), 2);
  EXPECT_EQ(std::string(LocalName), std::string(123, 'n') + ".bmp");
  EXPECT_EQ(std::string(WorkDir), WorkFolder());
}

TEST_F(LocalFetchTest, TheProxyCheckFollowsProxyMode) {
  Start(nullptr);
  Command(ProxyCheck, BN_CLICKED);
  EXPECT_EQ(ProxyMode, 1);
  EXPECT_EQ(ProxyChecked(), BST_CHECKED);
  Command(ProxyCheck, BN_CLICKED);
  EXPECT_EQ(ProxyMode, 0);
  EXPECT_EQ(ProxyChecked(), BST_UNCHECKED);
}

TEST_F(LocalFetchTest, AbortClosesTheDownloadAndLeavesItsFile) {
  Start(nullptr);
  const std::string partial = Here("partial.gif");
  DownloadFile = std::fopen(partial.c_str(), "w+b");
  ASSERT_NE(DownloadFile, nullptr);
  std::fputs("GIF8", DownloadFile);
  Command(AbortCommandId);
  EXPECT_EQ(DownloadFile, nullptr);
  EXPECT_EQ(TransferSocket, INVALID_SOCKET);
  EXPECT_EQ(testsupport::ReadFile(partial), "GIF8");
  EXPECT_EQ(MessageBoxCount(), 0);
}

TEST_F(LocalFetchTest, UnknownCommandsAreIgnored) {
  Start(nullptr);
  EXPECT_EQ(SendMessageA(MainWindow, WM_COMMAND, 999, 0), 0);
  EXPECT_EQ(SendMessageA(MainWindow, WM_COMMAND, MAKEWPARAM(RotateCommandId + 1000, 0), 0), 0);
  EXPECT_TRUE(IsWindowVisible(MainWindow));
  EXPECT_EQ(MessageBoxCount(), 0);
}

}  // namespace
