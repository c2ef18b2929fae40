// skerrow.cnf: the URL list, the interval, the proxy, the order and the
// fit, read once at start from the current folder or else from the user's
// settings folder; what the person changes in the window is saved back to
// the latter only.
#include <windows.h>
#include <shlobj.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"

namespace {

constexpr int kLineCapacity = 1024;

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// One line the way a text-mode read gives it: CR LF arrives as LF, and a
// line longer than the buffer comes in pieces. Returns false at the end.
bool ReadTextLine(std::FILE* file, char* line, int capacity) {
  int length = 0;
  while (length < capacity - 1) {
    int c = std::getc(file);
    if (c == EOF) break;
    if (c == '\r') {
      int next = std::getc(file);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, file);
      }
    }
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  return length > 0;
}

// atoi's reading without its undefined overflow: out-of-range values stop
// at the int limits.
int ReadInteger(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// A value that is no positive number leaves the default; one below a second
// would hammer the servers in the list.
void SetInterval(const char* number) {
  int value = ReadInteger(number);
  if (value <= 0) {
    IntervalMs = kDefaultIntervalMs;
  } else {
    IntervalMs = value < kShortestConfiguredIntervalMs ? kShortestConfiguredIntervalMs : value;
  }
}

// Colons before the host are skipped; the port is the rest of the line.
void SetProxy(HWND window, char* text) {
  while (*text == ':') ++text;
  if (*text == '\0') return;
  char* colon = std::strchr(text, ':');
  const char* port = kDefaultProxyPort;
  if (colon != nullptr) {
    *colon = '\0';
    if (colon[1] != '\0') port = colon + 1;
  }
  SendMessageA(GetDlgItem(window, ProxyHostField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  SendMessageA(GetDlgItem(window, ProxyPortField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(port));
  ProxyMode = 1;
}

// Anything but the two known words keeps the list's order, and says so.
void SetOrder(const char* word) {
  ShuffleOrder = std::strcmp(word, kShuffleOrderWord) == 0 ? 1 : 0;
  if (!ShuffleOrder && std::strcmp(word, kListOrderWord) != 0) std::fprintf(stderr, kUnknownOrderFormat, word);
}

// An unknown word costs a line and leaves the fit as it was; a known one
// reaches the desktop before the first picture does.
void SetFit(const char* word) {
  for (int mode = 0; mode < kFitModeCount; ++mode)
    if (std::strcmp(word, kFitWords[mode]) == 0) {
      FitMode = mode;
      TellDesktopFit(mode);
      return;
    }
  std::fprintf(stderr, kUnknownFitFormat, word);
}

// Like the order: anything but the two words is today's one picture for
// all, and says so.
void SetMonitors(const char* word) {
  EachMonitor = std::strcmp(word, kEachMonitorWord) == 0 ? 1 : 0;
  if (!EachMonitor && std::strcmp(word, kSameMonitorWord) != 0) std::fprintf(stderr, kUnknownMonitorsFormat, word);
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool IsUrlLine(std::string_view line) {
  return StartsWith(line, kHttpPrefix) || StartsWith(line, kHttpsPrefix) || StartsWith(line, kFilePrefix);
}

std::string FieldText(HWND window, int id) {
  char text[kLineCapacity];
  text[0] = '\0';
  GetWindowTextA(GetDlgItem(window, id), text, sizeof text);
  return text;
}

// The settings the window can change, in the file's own words.
SavedSettings CurrentSettings(HWND window) {
  SavedSettings now;
  HWND box = GetDlgItem(window, UrlBox);
  int count = static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0));
  for (int i = 1; i < count; ++i) {
    LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    if (length == CB_ERR || length <= 0) continue;
    std::string entry(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(std::strlen(entry.c_str()));
    if (IsUrlLine(entry)) now.urls.push_back(entry);
  }
  now.interval_ms = IntervalMs;
  if (ProxyMode == 1) {
    std::string port = FieldText(window, ProxyPortField);
    now.proxy = FieldText(window, ProxyHostField) + (port.empty() ? "" : ":" + port);
  }
  now.shuffle = ShuffleOrder != 0;
  now.fit = FitMode;
  now.each_monitor = EachMonitor != 0;
  return now;
}

// The configuration file in the user's settings folder; with `make` its
// folder is made too.
bool UserSettingsPath(char* path, bool make) {
  char folder[MAX_PATH];
  if (!SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | (make ? CSIDL_FLAG_CREATE : 0), nullptr,
                                  SHGFP_TYPE_CURRENT, folder)))
    return false;
  int written = std::snprintf(path, MAX_PATH, "%s/%s", folder, kSettingsFolderName);
  if (written < 0 || written >= MAX_PATH) return false;
  if (make && !CreateDirectoryA(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  written = std::snprintf(path, MAX_PATH, "%s/%s/%s", folder, kSettingsFolderName, kConfigurationFile);
  return written > 0 && written < MAX_PATH;
}

// The file as it is, cut into lines that keep their own endings.
std::vector<std::string> FileLines(const char* path) {
  std::vector<std::string> lines;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return lines;
  std::string line;
  for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
    line += static_cast<char>(c);
    if (c == '\n') lines.push_back(std::move(line)), line.clear();
  }
  if (!line.empty()) lines.push_back(line);
  std::fclose(file);
  return lines;
}

std::string_view Content(const std::string& line) {
  std::string_view text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Only the kinds of line whose setting changed are rewritten; comments and
// lines the program does not know stay byte for byte where they were.
std::string Rewritten(const std::vector<std::string>& lines, const SavedSettings& was, const SavedSettings& now) {
  const bool urls = now.urls != was.urls, interval = now.interval_ms != was.interval_ms, proxy = now.proxy != was.proxy;
  const bool order = now.shuffle != was.shuffle, fit = now.fit != was.fit && now.fit != kNoFit;
  const bool monitors = now.each_monitor != was.each_monitor;
  const std::string timer_line = kTimerPrefix + std::to_string(now.interval_ms);
  const std::string proxy_line = kProxyPrefix + now.proxy;
  const std::string order_line = kOrderPrefix + std::string(now.shuffle ? kShuffleOrderWord : kListOrderWord);
  const std::string fit_line = kFitPrefix + std::string(fit ? kFitWords[now.fit] : "");
  const std::string monitors_line = kMonitorsPrefix + std::string(now.each_monitor ? kEachMonitorWord : kSameMonitorWord);
  std::string text;
  size_t next_url = 0;
  size_t after_urls = std::string::npos;
  bool timer_seen = false, proxy_seen = false, order_seen = false, fit_seen = false, monitors_seen = false;
  for (const std::string& line : lines) {
    std::string_view content = Content(line);
    std::string_view ending = std::string_view(line).substr(content.size());
    if (ending.empty()) ending = "\n";
    if (urls && IsUrlLine(content)) {
      if (next_url < now.urls.size()) text += now.urls[next_url++] + std::string(ending);
      after_urls = text.size();
    } else if (interval && StartsWith(content, kTimerPrefix)) {
      if (!timer_seen) text += timer_line + std::string(ending);
      timer_seen = true;
    } else if (proxy && StartsWith(content, kProxyPrefix)) {
      if (!proxy_seen && !now.proxy.empty()) text += proxy_line + std::string(ending);
      proxy_seen = true;
    } else if (order && StartsWith(content, kOrderPrefix)) {
      if (!order_seen) text += order_line + std::string(ending);
      order_seen = true;
    } else if (fit && StartsWith(content, kFitPrefix)) {
      if (!fit_seen) text += fit_line + std::string(ending);
      fit_seen = true;
    } else if (monitors && StartsWith(content, kMonitorsPrefix)) {
      if (!monitors_seen) text += monitors_line + std::string(ending);
      monitors_seen = true;
    } else {
      text += line;
      if (line.back() != '\n') text += '\n';
    }
  }
  std::string more_urls;
  while (urls && next_url < now.urls.size()) more_urls += now.urls[next_url++] + "\n";
  text.insert(after_urls == std::string::npos ? text.size() : after_urls, more_urls);
  if (interval && !timer_seen) text += timer_line + "\n";
  if (proxy && !proxy_seen && !now.proxy.empty()) text += proxy_line + "\n";
  if (order && !order_seen) text += order_line + "\n";
  if (fit && !fit_seen) text += fit_line + "\n";
  if (monitors && !monitors_seen) text += monitors_line + "\n";
  return text;
}

}  // namespace

char SettingsFile[MAX_PATH];
SavedSettings SettingsOnDisk;

int ReadConfiguration(HWND window) {
  SettingsFile[0] = '\0';
  std::FILE* file = std::fopen(kConfigurationFile, "r");
  if (file == nullptr && UserSettingsPath(SettingsFile, false)) file = std::fopen(SettingsFile, "r");
  if (file == nullptr) {
    SettingsOnDisk = CurrentSettings(window);
    return 0;
  }

  int urls = 0;
  char line[kLineCapacity];
  while (ReadTextLine(file, line, sizeof line)) {
    std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';

    if (StartsWith(line, kHttpPrefix) || StartsWith(line, kHttpsPrefix) || StartsWith(line, kFilePrefix)) {
      SendMessageA(GetDlgItem(window, UrlBox), CB_INSERTSTRING, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(line));
      ++urls;
    } else if (line[0] == '#') {
      continue;
    } else if (StartsWith(line, kTimerPrefix)) {
      SetInterval(line + std::strlen(kTimerPrefix));
    } else if (StartsWith(line, kProxyPrefix)) {
      SetProxy(window, line + std::strlen(kProxyPrefix));
    } else if (StartsWith(line, kOrderPrefix)) {
      SetOrder(line + std::strlen(kOrderPrefix));
    } else if (StartsWith(line, kFitPrefix)) {
      SetFit(line + std::strlen(kFitPrefix));
    } else if (StartsWith(line, kMonitorsPrefix)) {
      SetMonitors(line + std::strlen(kMonitorsPrefix));
    }
  }
  std::fclose(file);
  SettingsOnDisk = CurrentSettings(window);
  return urls;
}

void SaveConfiguration(HWND window) {
  if (SettingsFile[0] == '\0') return;
  SavedSettings now = CurrentSettings(window);
  if (now == SettingsOnDisk) return;
  char path[MAX_PATH];
  char fresh[MAX_PATH + 8];
  if (!UserSettingsPath(path, true) || std::strcmp(path, SettingsFile) != 0) {
    std::fprintf(stderr, kSettingsNotSavedFormat, SettingsFile, "its folder cannot be made");
    return;
  }
  std::snprintf(fresh, sizeof fresh, "%s.new", SettingsFile);
  std::string text = Rewritten(FileLines(SettingsFile), SettingsOnDisk, now);
  // A new file beside the old, put in its place only once it is whole on
  // disk: a reader, or a crash, meets the old settings or the new.
  DeleteFileA(fresh);
  std::FILE* file = std::fopen(fresh, "wb");
  int error = file == nullptr ? errno : 0;
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr && !written) error = errno;
  if (file != nullptr && std::fclose(file) != 0 && written) {
    written = false;
    error = errno;
  }
  // The line gives the system's reason, so that a full or read-only disk
  // is told apart from a mistake of the program's.
  char reason[160] = "it cannot be written";
  char text_of_error[96] = "";
  if (!written) {
    if (error != 0) std::snprintf(text_of_error, sizeof text_of_error, "%s", std::strerror(error));
  } else if (!MoveFileExA(fresh, SettingsFile, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    written = false;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                   text_of_error, sizeof text_of_error, nullptr);
  }
  if (!written) {
    if (text_of_error[0] != '\0') std::snprintf(reason, sizeof reason, "it cannot be written: %s", text_of_error);
    DeleteFileA(fresh);
    std::fprintf(stderr, kSettingsNotSavedFormat, SettingsFile, reason);
    return;
  }
  SettingsOnDisk = now;
}
