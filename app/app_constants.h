// Ids, messages and texts of the application, in one place. The Japanese
// texts are code page 932 bytes; their reading is in the comment beside them.
#pragma once

#include <windows.h>

// Window class, caption and the two icon resources.
inline constexpr char kMainClassName[] = "qeloSkerrowWClass";
inline constexpr char kMainCaption[] = "Windows Skerrow Version 0.02";
inline constexpr char kClassIconName[] = "TEST_ICON";
inline constexpr char kTrayIconName[] = "TESTM_ICON";

// Child control ids (they travel in the low word of WM_COMMAND's wParam).
inline constexpr int GoButton = 100;
inline constexpr int ProxyCheck = 103;
inline constexpr int ProxyHostField = 300;
inline constexpr int ProxyPortField = 301;
inline constexpr int UrlBox = 305;
inline constexpr int IntervalBar = 400;
inline constexpr int IntervalLabel = 500;

// Command ids; 101, 102, 104, 105 and 106 belong to no control.
inline constexpr int FetchCommandId = 100;
inline constexpr int SendRequestCommandId = 101;
inline constexpr int AbortCommandId = 102;
inline constexpr int ProxyToggleCommandId = 103;
inline constexpr int RotateCommandId = 104;
inline constexpr int RedirectCommandId = 105;  // posted by the fetcher to follow a redirect
inline constexpr int MonitorTurnCommandId = 106;  // posted by the fetcher: the next monitor's picture is due

// Commands of the tray menu and of other starts of the program (the
// running program gets those as WM_COPYDATA requests, by the words below).
inline constexpr int NextPictureCommandId = 200;
inline constexpr int PreviousPictureCommandId = 201;
inline constexpr int PauseCommandId = 202;
inline constexpr int OpenPictureCommandId = 203;
inline constexpr int ShuffleCommandId = 204;
inline constexpr int StartAtLoginCommandId = 205;
inline constexpr int ShowWindowCommandId = 206;
inline constexpr int QuitCommandId = 207;
inline constexpr int ResumeCommandId = 208;         // requests only: the menu's pause item toggles
inline constexpr int PauseOnlyCommandId = 209;      // requests only
inline constexpr int CurrentPictureCommandId = 210; // requests only: answered with the shown picture
inline constexpr int EachMonitorCommandId = 211;
inline constexpr int FirstFitCommandId = 220;  // one radio item per fit mode, in kFitWords' order

// WM_COPYDATA's dwData on a request from another start, and on its answer.
inline constexpr ULONG_PTR kRequestDataTag = 0x534B5251;

// The program's own window messages, timer and tray icon id.
inline constexpr UINT SocketEventMessage = 1025;
inline constexpr UINT HostFoundMessage = 1026;
inline constexpr UINT FetchBoxMessage = 1027;  // posted by the fetcher: a failed transfer's box is due
inline constexpr UINT TrayMessage = 32868;
inline constexpr UINT_PTR RotationTimer = 23275;
inline constexpr UINT TrayIconId = 8000;

// Interval bounds the scroll bar keeps; one bar position is one step.
inline constexpr int kDefaultIntervalMs = 600000;
inline constexpr int kIntervalStepMs = 6000;
inline constexpr int kIntervalPageMs = 60000;
inline constexpr int kMinIntervalMs = 6000;
inline constexpr int kMaxIntervalMs = 6000000;
inline constexpr int kIntervalBarFirst = 1;
inline constexpr int kIntervalBarLast = 1000;
// The shortest interval the configuration file may set.
inline constexpr int kShortestConfiguredIntervalMs = 1000;

// Windows Sockets version asked for at start-up (1.1).
inline constexpr WORD kWinsockVersion = 0x0101;

// The configuration file and its line prefixes.
inline constexpr char kConfigurationFile[] = "skerrow.cnf";
inline constexpr char kSettingsFolderName[] = "skerrow";  // inside the user's settings folder
inline constexpr char kSettingsNotSavedFormat[] = "skerrow: the settings were not saved to %s: %s\n";
inline constexpr char kHttpPrefix[] = "http://";
inline constexpr char kFilePrefix[] = "file://";
inline constexpr int kSchemeLength = 7;
inline constexpr char kHttpsPrefix[] = "https://";
inline constexpr int kHttpsSchemeLength = 8;
inline constexpr char kTimerPrefix[] = "get-timer:";
inline constexpr char kProxyPrefix[] = "proxy://";
inline constexpr char kDefaultProxyPort[] = "8080";
inline constexpr char kOrderPrefix[] = "order:";
inline constexpr char kListOrderWord[] = "list";
inline constexpr char kShuffleOrderWord[] = "shuffle";
inline constexpr char kUnknownOrderFormat[] = "skerrow: order:%s is no order (list or shuffle); the list's order is kept\n";

// How the picture fills its screen. The modes are numbered in the order of
// kFitWords; the configuration's words, the registry pairs the desktop reads
// and the menu's radio items all follow that order.
inline constexpr char kFitPrefix[] = "fit:";
inline constexpr int kNoFit = -1;  // no fit: line: each desktop keeps its user's mode
inline constexpr const char* kFitWords[] = {"fill", "fit", "stretch", "center", "tile", "span"};
inline constexpr int kFitModeCount = static_cast<int>(sizeof kFitWords / sizeof kFitWords[0]);
inline constexpr char kUnknownFitFormat[] =
    "skerrow: fit:%s is no fit (fill, fit, stretch, center, tile or span); the fit stays as it was\n";
// Read by the desktop when the wallpaper is set: WallpaperStyle and
// TileWallpaper, both strings.
inline constexpr char kDesktopKey[] = "Control Panel\\Desktop";
inline constexpr char kWallpaperStyleValue[] = "WallpaperStyle";
inline constexpr char kTileWallpaperValue[] = "TileWallpaper";
struct FitValues {
  const char* style;
  const char* tile;
};
inline constexpr FitValues kFitValues[] = {{"10", "0"}, {"6", "0"}, {"2", "0"}, {"0", "0"}, {"0", "1"}, {"22", "0"}};
inline constexpr char kFitMenuTitle[] = "\x95\x5c\x8e\xa6\x95\xfb\x96\x40";  // 表示方法
inline constexpr const char* kFitMenuTexts[] = {
    "\x93\x68\x82\xe8\x82\xc2\x82\xd4\x82\xb5",  // 塗りつぶし
    "\x91\x53\x91\xcc\x82\xf0\x95\x5c\x8e\xa6",  // 全体を表示
    "\x88\xf8\x82\xab\x90\x4c\x82\xce\x82\xb5",  // 引き伸ばし
    "\x92\x86\x89\x9b",                          // 中央
    "\x95\xc0\x82\xd7\x82\xc4\x95\x5c\x8e\xa6",  // 並べて表示
    "\x83\x58\x83\x70\x83\x93",                  // スパン
};

// A picture of its own on every monitor, or one for them all.
inline constexpr char kMonitorsPrefix[] = "monitors:";
inline constexpr char kEachMonitorWord[] = "each";
inline constexpr char kSameMonitorWord[] = "same";
inline constexpr char kUnknownMonitorsFormat[] =
    "skerrow: monitors:%s is no choice (each or same); every monitor shows the same picture\n";
inline constexpr char kMonitorRefusedFormat[] = "wallpaper refused for a monitor: %s: %s; that monitor keeps its picture\n";
inline constexpr char kEachMonitorText[] =
    "\x89\xe6\x96\xca\x82\xb2\x82\xc6\x82\xc9\x95\xca\x82\xcc\x95\xc7\x8e\x86";  // 画面ごとに別の壁紙

// Names that a folder entry counts as pictures, compared in any case.
inline constexpr const char* kPictureExtensions[] = {".gif", ".jpg", ".jpeg", ".png", ".webp", ".bmp"};
inline constexpr char kFolderUnreadableFormat[] = "skerrow: the folder %s cannot be read: %s\n";
inline constexpr char kFolderEmptyFormat[] = "skerrow: the folder %s holds no pictures\n";

// The tray menu's items.
inline constexpr char kNextPictureText[] = "\x8e\x9f\x82\xcc\x95\xc7\x8e\x86";      // 次の壁紙
inline constexpr char kPreviousPictureText[] = "\x91\x4f\x82\xcc\x95\xc7\x8e\x86";  // 前の壁紙
inline constexpr char kPauseText[] = "\x88\xea\x8e\x9e\x92\xe2\x8e\x7e";              // 一時停止
inline constexpr char kOpenPictureText[] =
    "\x8d\xa1\x82\xcc\x95\xc7\x8e\x86\x82\xf0\x8a\x4a\x82\xad";  // 今の壁紙を開く
inline constexpr char kShuffleText[] =
    "\x83\x89\x83\x93\x83\x5f\x83\x80\x82\xc8\x8f\x87\x8f\x98";  // ランダムな順序
inline constexpr char kStartAtLoginText[] =
    "\x83\x8d\x83\x4f\x83\x43\x83\x93\x8e\x9e\x82\xc9\x8b\x4e\x93\xae";  // ログイン時に起動
inline constexpr char kShowWindowText[] =
    "\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x82\xf0\x95\x5c\x8e\xa6";  // ウィンドウを表示
inline constexpr char kQuitText[] = "\x8f\x49\x97\xb9";  // 終了
// The tray tip while paused: the caption, then 一時停止中 (paused).
inline constexpr char kPausedTipFormat[] = "%s \x88\xea\x8e\x9e\x92\xe2\x8e\x7e\x92\x86";

// Starting at login: an entry in the desktop's autostart folder.
inline constexpr char kStartAtLoginFile[] = "skerrow.desktop";
inline constexpr char kStartAtLoginFailedFormat[] = "skerrow: starting at login could not be %s: %s\n";
inline constexpr char kOpenFailedFormat[] = "The picture cannot be opened: %s";

// The one separator of local paths on this platform.
inline constexpr char kPathSeparator = '/';

// Texts of the window and the message boxes.
inline constexpr char kNewEntryText[] = "\x28\x90\x56\x8b\x4b\x29";  // (新規)
inline constexpr char kGoButtonText[] = "\x90\xda\x91\xb1";          // 接続
inline constexpr char kProxyCheckText[] = "Proxy";
inline constexpr char kIntervalFormat[] =
    "\x25\x64\x95\xaa\x96\x88\x82\xc9\x95\xcf\x8d\x58";  // %d分毎に変更
inline constexpr char kWinsockErrorFormat[] = "%d is the err";
inline constexpr char kErrorCaption[] = "Error";
inline constexpr char kPathTooLongText[] = "The file path is too long";
inline constexpr char kNoWorkFolderText[] = "No private work folder can be made";
