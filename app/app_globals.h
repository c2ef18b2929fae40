// State of the application shell: the window, the tray icon, the rotation
// and the list editing. One thread changes it, inside MainWindowProc.
#pragma once

#include <windows.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern HWND MainWindow;              // the one window; set while it is created
extern NOTIFYICONDATAA TrayIcon;     // the tray icon record, added and deleted as one
extern int IntervalMs;               // rotation period; configuration and IntervalBar change it
extern int RotationIndex;            // list index fetched next; RotateCommand advances it
extern int EditSlot;                 // list index the edit field's text replaces, or -1
extern int SelectionChanged;         // set by a list selection; mutes edit-update commits
extern int ShuffleOrder;             // 1: a shuffled deck instead of the list's order; configuration and ToggleShuffle set it
extern int FitMode;                  // how the picture fills its screen (kFitWords' order), or kNoFit; configuration and ChooseFit set it
extern int ShownEntry;               // list index the last list-order rotation took its picture from, or 0
extern std::string FolderUrl;        // folder entry the list order is stepping through, or empty; RotateCommand sets it
extern int EachMonitor;              // 1: every monitor gets a picture of its own at each step; configuration and the tray menu set it
extern int Paused;                   // 1: no step until resumed; the tray menu and other starts set it
extern std::string FolderLastName;   // picture of FolderUrl shown last; the next is the first after it in natural order

// One card of the shuffled deck: a list entry (the index of its text in
// the deck's sources) and, for a folder, the picture's name in it.
struct ShuffleCard {
  std::uint32_t source;
  std::string name;  // empty for an entry that is itself one address
};
struct ShuffleDeck {
  std::vector<std::string> sources;  // the entries' texts as they were when the round was dealt
  std::vector<ShuffleCard> cards;    // this round's order
  std::size_t next = 0;              // the card drawn next
};
extern ShuffleDeck Deck;             // the round being drawn from; dealt again once spent or on a change of order
extern std::string LastShown;        // the address the last rotation fetched; no round begins with it
extern std::mt19937 ShuffleRandom;   // shuffles the deck; seeded from the system, SeedShuffle for a fixed order

// The window's settings as the configuration file holds them.
struct SavedSettings {
  std::vector<std::string> urls;  // the list's addresses, in order
  int interval_ms = 0;
  std::string proxy;  // "host:port" while the proxy is in use, else empty
  bool shuffle = false;
  int fit = -1;  // FitMode's value, or kNoFit
  bool each_monitor = false;
  bool operator==(const SavedSettings&) const = default;
};
extern char SettingsFile[MAX_PATH];   // the file the window's changes are saved to; empty: never saved
extern SavedSettings SettingsOnDisk;  // what that file holds; ReadConfiguration and SaveConfiguration set it

// Start-up (winmain and main_window).
ATOM RegisterMainClass(HINSTANCE instance);
int InitMainWindow(HINSTANCE instance, int show_command);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The private work folder, with its trailing separator, becomes WorkDir;
// false (and WorkDir empty) when there is none.
bool SetWorkDirFromTemp();

// Reads skerrow.cnf into the controls and globals; returns the URL lines added.
int ReadConfiguration(HWND window);
// Writes what the person changed since to the user's configuration file,
// when the configuration came from there or from no file at all.
void SaveConfiguration(HWND window);

// Steering from the tray menu and from other starts (steering.cpp).
void ShowTrayMenu(HWND window);
void SteerCommand(HWND window, int id);
// A request from another start of the program: WM_COPYDATA's answer.
LRESULT AnswerRequest(HWND window, HWND caller, const COPYDATASTRUCT* request);
// Brings the window back from the tray; the rotation stops while it shows.
void ShowFromTray(HWND window);
// The rotation timer runs again, the interval counted from now, unless the
// window shows or the rotation is paused.
void RestartRotation(HWND window);

// Rotation, list editing and interval.
void RotateCommand(HWND window);
// The next picture of a step that gives each monitor its own, or, once
// every monitor has one, the step's end.
void ContinueMonitorRound(HWND window);
// The pictures the monitors showed one step before, a round of its own.
void StepBackMonitors(HWND window);
void UrlBoxNotification(HWND window, int code);
void RotationTick(HWND window);
void ChangeInterval(HWND window, int request, int thumb_position);
void ShowInterval(HWND window);

// How the picture fills its screen (wallpaper_fit.cpp). TellDesktopFit
// hands a mode to the desktop for the wallpapers set from then on;
// ChooseFit (the menu's) also saves it and shows the current picture again
// in that mode.
void TellDesktopFit(int mode);
void ChooseFit(HWND window, int mode);

// Order of the pictures (picture_order.cpp).
void ToggleShuffle();
void SeedShuffle(unsigned seed);
// The address shown before the current one in the order being followed,
// or empty when the order has none.
std::string AddressBeforeCurrent(HWND window);
// Steps the order back: CurrentUrl becomes the address before the current
// one, and the order goes on from there; false when there is none.
bool TakePreviousAddress(HWND window);
