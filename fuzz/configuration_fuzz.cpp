// Any bytes as the configuration file. Whatever it holds, the list gets only
// addresses that fit an entry, the interval stays at one second or more, and
// the proxy mode is 0 or 1.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_constants.h"
#include "app_fuzz.h"
#include "app_globals.h"
#include "fetch_globals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HWND window = appfuzz::Window();
  HWND box = GetDlgItem(window, UrlBox);
  SendMessageA(box, CB_RESETCONTENT, 0, 0);
  SendMessageA(box, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(kNewEntryText));
  IntervalMs = kDefaultIntervalMs;
  ProxyMode = 0;

  std::FILE* file = std::fopen(kConfigurationFile, "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  int added = ReadConfiguration(window);
  int count = static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0));
  if (added < 0 || count != added + 1) std::abort();
  for (int i = 1; i < count; ++i) {
    char entry[1024];
    LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    if (length < 7 || length >= static_cast<LRESULT>(sizeof entry)) std::abort();
    SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
    if (std::strncmp(entry, kHttpPrefix, 7) != 0 && std::strncmp(entry, kFilePrefix, 7) != 0) std::abort();
  }
  if (IntervalMs < kShortestConfiguredIntervalMs) std::abort();
  if (ProxyMode != 0 && ProxyMode != 1) std::abort();
  return 0;
}
