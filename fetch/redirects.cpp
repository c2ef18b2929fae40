// What a complete response header means for the download: a picture to
// keep receiving, a redirect to follow on a new connection, or an answer
// that ends it with a box. Only a 2xx body ever reaches the converters.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app_constants.h"
#include "fetch_globals.h"
#include "http_response.h"
#include "http_transfer.h"

int RedirectCount = 0;
char RedirectChain[kMaxRedirects + 1][kUrlCapacity];

namespace {

bool IsSecureAddress(const char* address) { return std::strncmp(address, kHttpsPrefix, kHttpsSchemeLength) == 0; }

bool AlreadyFetched(const char* address) {
  for (int i = 0; i <= RedirectCount; ++i)
    if (std::strcmp(RedirectChain[i], address) == 0) return true;
  return false;
}

// Why a redirect cannot be followed, or null when it can; `target` then
// holds the absolute address. The base is the address this hop asked for:
// the edit field may have replaced CurrentUrl while it was looked up.
const char* JudgeRedirect(std::string_view location, char* target, std::size_t capacity) {
  if (RedirectCount >= kMaxRedirects) return kTooManyRedirectsText;
  const char* asked = RedirectChain[RedirectCount];
  switch (ResolveLocation(asked, location, target, capacity)) {
    case LocationVerdict::Resolved: break;
    case LocationVerdict::TooLong: return kRedirectTooLongText;
    case LocationVerdict::Unsupported: return kRedirectUnsupportedText;
  }
  if (IsSecureAddress(asked) && !IsSecureAddress(target)) return kInsecureRedirectText;
  if (AlreadyFetched(target)) return kRedirectLoopText;
  return nullptr;
}

}  // namespace

void StartRedirectChain() {
  RedirectCount = 0;
  std::snprintf(RedirectChain[0], sizeof RedirectChain[0], "%s", CurrentUrl);
}

bool AcceptResponseHeader(HWND window) {
  std::string_view header(HeaderBuffer, static_cast<std::size_t>(HeaderLength));
  std::optional<StatusLine> status = ParseStatusLine(header);
  if (!status) {
    DiscardTransfer(window, kNotHttpText, kErrorCaption);
    return false;
  }
  if (IsSuccessStatus(status->code)) return true;

  std::optional<std::string_view> location = HeaderField(header, "Location");
  if (IsRedirectStatus(status->code) && location && !location->empty()) {
    char target[kUrlCapacity];
    if (const char* refusal = JudgeRedirect(*location, target, sizeof target)) {
      DiscardTransfer(window, refusal, kErrorCaption);
      return false;
    }
    // Nothing of a redirect's body is kept; the next connection starts
    // from the message loop, as a rotation would.
    DiscardTransfer(window, nullptr, nullptr);
    ++RedirectCount;
    std::strcpy(RedirectChain[RedirectCount], target);
    std::strcpy(CurrentUrl, target);
    PostMessageA(window, WM_COMMAND, RedirectCommandId, 0);
    return false;
  }
  char text[kUrlCapacity];
  FormatStatusText(kServerAnsweredText, *status, text, sizeof text);
  DiscardTransfer(window, text, kErrorCaption);
  return false;
}
