#include "app_helpers.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"
#include "http_transfer.h"
#include "layer_control.h"

void ResetApplicationGlobals() {
  MainWindow = nullptr;
  TrayIcon = NOTIFYICONDATAA{};
  IntervalMs = kDefaultIntervalMs;
  RotationIndex = 1;
  EditSlot = -1;
  SettingsFile[0] = '\0';
  SettingsOnDisk = {};
  SelectionChanged = 0;
  ShuffleOrder = 0;
  FitMode = kNoFit;
  EachMonitor = 0;
  ShownEntry = 0;
  FolderUrl.clear();
  FolderLastName.clear();
  Deck = {};
  LastShown.clear();
  CurrentUrl[0] = '\0';
  WorkDir[0] = '\0';
  std::strcpy(LocalName, "index.html");
  ProxyMode = 0;
  Paused = 0;
  ShownUrl[0] = '\0';
  TransferSocket = INVALID_SOCKET;
  DownloadFile = nullptr;
  Transfer.phase = TransferPhase::Idle;
}


void AppTest::SetUp() {
  LayerReset();
  LayerUseFakeClock(1000);
  ResetApplicationGlobals();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  saved_cwd_ = cwd;
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  temp_ = dir_ / "temp";
  std::filesystem::create_directories(temp_);
  const char* temp = std::getenv("TEMP");
  had_temp_ = temp != nullptr;
  if (had_temp_) saved_temp_ = temp;
  setenv("TEMP", temp_.c_str(), 1);
  setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
}

void AppTest::TearDown() {
  if (DownloadFile != nullptr) std::fclose(DownloadFile);
  DownloadFile = nullptr;
  LayerReset();
  if (had_temp_) {
    setenv("TEMP", saved_temp_.c_str(), 1);
  } else {
    unsetenv("TEMP");
  }
  ASSERT_EQ(chdir(saved_cwd_.c_str()), 0);
}

void AppTest::Start(const char* configuration, int show_command) {
  if (configuration != nullptr) testsupport::WriteFile(Here("skerrow.cnf"), configuration);
  HINSTANCE instance = LayerProgramInstance();
  ASSERT_NE(RegisterMainClass(instance), 0);
  ASSERT_EQ(InitMainWindow(instance, show_command), 1);
  ASSERT_NE(MainWindow, nullptr);
}

std::string AppTest::WorkFolder() {
  char folder[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  return std::string(folder, length < sizeof folder ? length : 0);
}

bool Pump(WPARAM* quit_code) {
  MSG message;
  bool quit = false;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit = true;
      if (quit_code != nullptr) *quit_code = message.wParam;
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return quit;
}

void Advance(int ms) {
  LayerAdvanceClock(static_cast<uint64_t>(ms));
  Pump();
}

void Command(int id, int code) { SendMessageA(MainWindow, WM_COMMAND, MAKEWPARAM(id, code), 0); }

bool RotatesWithin(int ms) {
  CurrentUrl[0] = '\0';
  Advance(ms);
  return CurrentUrl[0] != '\0';
}

std::vector<std::string> ListEntries() {
  HWND box = GetDlgItem(MainWindow, UrlBox);
  std::vector<std::string> entries;
  int count = static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    entries.push_back(text);
  }
  return entries;
}

std::string ControlText(int id) {
  char text[2048];
  SendMessageA(GetDlgItem(MainWindow, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

std::string ControlTextUtf8(int id) { return LayerCp932ToUtf8(ControlText(id)); }

int ScrollPosition() { return GetScrollPos(GetDlgItem(MainWindow, IntervalBar), SB_CTL); }

int ProxyChecked() {
  return static_cast<int>(SendMessageA(GetDlgItem(MainWindow, ProxyCheck), BM_GETCHECK, 0, 0));
}

int MessageBoxCount() { return static_cast<int>(LayerMessageBoxes().size()); }

std::string LongLine(const std::string& prefix, std::size_t length) {
  std::string line = prefix;
  while (line.size() < length) line.push_back(static_cast<char>('a' + line.size() % 26));
  return line;
}
