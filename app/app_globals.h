// State of the application shell: the window, the tray icon, the rotation
// and the list editing. One thread changes it, inside MainWindowProc.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

extern HWND MainWindow;              // the one window; set while it is created
extern NOTIFYICONDATAA TrayIcon;     // the tray icon record, added and deleted as one
extern int IntervalMs;               // rotation period; configuration and IntervalBar change it
extern int RotationIndex;            // list index fetched next; RotateCommand advances it
extern int EditSlot;                 // list index the edit field's text replaces, or -1
extern int SelectionChanged;         // set by a list selection; mutes edit-update commits

// The window's settings as the configuration file holds them.
struct SavedSettings {
  std::vector<std::string> urls;  // the list's addresses, in order
  int interval_ms = 0;
  std::string proxy;  // "host:port" while the proxy is in use, else empty
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

// Rotation, list editing and interval.
void RotateCommand(HWND window);
void UrlBoxNotification(HWND window, int code);
void RotationTick(HWND window);
void ChangeInterval(HWND window, int request, int thumb_position);
void ShowInterval(HWND window);
