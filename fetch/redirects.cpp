// Where a redirect may lead: the chain of addresses asked for since the
// user's or the rotation's own, and the refusals that keep it finite and
// never lower an https:// address to http://.
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

}  // namespace

void StartRedirectChain() {
  RedirectCount = 0;
  std::snprintf(RedirectChain[0], sizeof RedirectChain[0], "%s", CurrentUrl);
}

// The base is the address this hop asked for: the edit field may have
// replaced CurrentUrl while it was looked up.
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

void FollowRedirect(const char* target) {
  if (RedirectCount >= kMaxRedirects) return;  // judged before; never past the chain
  ++RedirectCount;
  std::snprintf(RedirectChain[RedirectCount], sizeof RedirectChain[RedirectCount], "%s", target);
  std::snprintf(CurrentUrl, sizeof CurrentUrl, "%s", target);
}
