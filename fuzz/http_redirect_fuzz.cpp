// The status line and the Location of an answer, against the address being
// fetched. Input: the current address, a line feed, then the answer's
// header. A resolved target is always a whole http:// or https:// address
// with nothing in it that could break a request line, resolving it again
// changes nothing, and the decision on the header keeps a file only for a
// 2xx answer and never follows https:// down to http://.
#include <windows.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app_constants.h"
#include "fetch_fuzz.h"
#include "fetch_globals.h"
#include "http_response.h"
#include "http_transfer.h"

namespace {

using fetchfuzz::Folder;

bool IsSecure(std::string_view address) { return address.starts_with("https://"); }

void CheckTarget(const char* target, std::size_t capacity) {
  std::string_view text(target);
  if (text.size() >= capacity) std::abort();
  if (!text.starts_with("http://") && !IsSecure(text)) std::abort();
  for (char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == '#') std::abort();
  char again[kUrlCapacity];
  if (ResolveLocation(text, text, again, sizeof again) != LocationVerdict::Resolved || text != again) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\n');
  if (split == std::string_view::npos || split >= sizeof CurrentUrl) return 0;
  std::string base(input.substr(0, split));
  std::string_view header = input.substr(split + 1);
  if (base.find('\0') != std::string::npos) return 0;

  std::optional<StatusLine> status = ParseStatusLine(header);
  if (status && (status->code < 100 || status->code > 999)) std::abort();

  std::optional<std::string_view> location = HeaderField(header, "Location");
  char target[kUrlCapacity];
  if (location && ResolveLocation(base, *location, target, sizeof target) == LocationVerdict::Resolved)
    CheckTarget(target, sizeof target);

  // The decision the download takes once this header is complete.
  if (header.size() >= static_cast<std::size_t>(kHeaderCapacity)) return 0;
  HWND window = fetchfuzz::Window();
  std::strcpy(CurrentUrl, base.c_str());
  StartRedirectChain();
  StartResponse(Transfer.response);
  std::memcpy(Transfer.response.header, header.data(), header.size());
  Transfer.response.header[header.size()] = '\0';
  Transfer.response.header_length = static_cast<int>(header.size());
  Transfer.phase = TransferPhase::Header;
  std::snprintf(WorkDir, sizeof WorkDir, "%s", Folder().c_str());
  std::strcpy(LocalName, "fuzz.bin");
  const std::string path = Folder() + LocalName;
  DownloadFile = std::fopen(path.c_str(), "w+b");
  if (DownloadFile == nullptr) std::abort();
  TransferSocket = INVALID_SOCKET;

  Verdict verdict = JudgeResponseHeader(Transfer.response);
  bool kept = verdict.ending == Ending::None;
  if (!kept) EndTransfer(window, verdict);
  PendingBoxes.clear();
  if (kept != (status && IsSuccessStatus(status->code))) std::abort();
  if (kept) {
    std::fclose(DownloadFile);
    DownloadFile = nullptr;
  } else if (DownloadFile != nullptr || access(path.c_str(), F_OK) == 0) {
    std::abort();
  }
  MSG message;
  while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
    if (message.message != WM_COMMAND || LOWORD(message.wParam) != RedirectCommandId) continue;
    if (RedirectCount != 1 || std::strcmp(CurrentUrl, RedirectChain[1]) != 0) std::abort();
    CheckTarget(CurrentUrl, sizeof CurrentUrl);
    if (IsSecure(base) && !IsSecure(CurrentUrl)) std::abort();
  }
  std::remove(path.c_str());
  return 0;
}
