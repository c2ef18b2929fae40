// skerrow.cnf: the URL list, the interval and the proxy, read once at start.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

int ReadConfiguration(HWND window) {
  std::FILE* file = std::fopen(kConfigurationFile, "r");
  if (file == nullptr) return 0;

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
    }
  }
  std::fclose(file);
  return urls;
}
