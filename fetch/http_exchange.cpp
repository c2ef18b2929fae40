// The response of a download, taken chunk by chunk: the header collected
// and judged, the body written to the download file. Verdicts only; the
// transfer's owner ends it.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app_constants.h"
#include "fetch_globals.h"
#include "http_response.h"
#include "http_transfer.h"

namespace {

constexpr char kLengthPrefix[] = "content-length: ";

Verdict Discard(const char* text, const char* caption = kErrorCaption) { return {Ending::Discard, text, caption}; }

// The header stays as it came, for the status line and the Location.
bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    char c = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text + 32) : *text;
    if (c != *prefix) return false;
  }
  return true;
}

// The value of a content-length line: digits alone, blanks around them
// allowed. Anything else (a sign, a fraction, a second number) is no length
// at all. Values beyond the cap are held just above it.
bool ParseLength(const char* text, int* length) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return false;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    if (value <= kMaxDownloadBytes) value = value * 10 + (*text - '0');
  while (*text == ' ' || *text == '\t' || *text == '\r') ++text;
  if (*text != '\n' && *text != '\0') return false;
  *length = value > kMaxDownloadBytes ? kMaxDownloadBytes + 1 : static_cast<int>(value);
  return true;
}

// Header lines end at LF and keep their CR; a line that begins, whatever
// its case, with "content-length: " announces the body's length. Returns
// false when two such lines name different lengths: either may be the lie.
bool ReadHeaderLines(ResponseState& state) {
  const char* line = state.header;
  while (*line != '\0') {
    int length = 0;
    if (StartsWithIgnoringCase(line, kLengthPrefix) && ParseLength(line + sizeof kLengthPrefix - 1, &length)) {
      if (state.length_announced != 0 && length != state.remaining) return false;
      state.remaining = length;
      state.length_announced = 1;
    }
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) break;
    line = end + 1;
  }
  return true;
}

// Takes header bytes from the chunk into `used`; once the header is whole
// the status decides first: the length of a body that is never kept does
// not matter.
Verdict CollectHeader(ResponseState& state, const char* data, int length, int* used) {
  for (int i = 0; i < length; ++i) {
    if (state.header_length >= kHeaderCapacity - 1) return Discard(kHeaderTooLongText);
    state.header[state.header_length++] = data[i];
    if (state.header_length >= 4 && std::memcmp(state.header + state.header_length - 4, "\r\n\r\n", 4) == 0) {
      state.header[state.header_length] = '\0';
      state.in_header = 0;
      *used = i + 1;
      Verdict verdict = JudgeResponseHeader(state);
      if (verdict.ending != Ending::None) return verdict;
      if (!ReadHeaderLines(state)) return Discard(kLengthsDisagreeText);
      if (state.length_announced != 0 && state.remaining > kMaxDownloadBytes) return Discard(kTooLargeText);
      return kGoOn;
    }
  }
  *used = length;
  return kGoOn;
}

}  // namespace

void StartResponse(ResponseState& state) {
  state.in_header = 1;
  state.header_length = 0;
  state.header[0] = '\0';
  state.remaining = 0;
  state.length_announced = 0;
  state.body_length = 0;
}

// Only a 2xx body ever reaches the converters; nothing of a redirect's body
// is kept, and the next connection starts from the message loop.
Verdict JudgeResponseHeader(ResponseState& state) {
  std::string_view header(state.header, static_cast<std::size_t>(state.header_length));
  std::optional<StatusLine> status = ParseStatusLine(header);
  if (!status) return Discard(kNotHttpText);
  if (IsSuccessStatus(status->code)) return kGoOn;

  std::optional<std::string_view> location = HeaderField(header, "Location");
  if (IsRedirectStatus(status->code) && location && !location->empty()) {
    if (const char* refusal = JudgeRedirect(*location, state.redirect_target, sizeof state.redirect_target))
      return Discard(refusal);
    return {Ending::Redirect, nullptr, nullptr};
  }
  FormatStatusText(kServerAnsweredText, *status, state.answer_text, sizeof state.answer_text);
  return Discard(state.answer_text);
}

Verdict TakeResponseBytes(ResponseState& state, std::FILE* file, const char* data, int length) {
  if (file == nullptr || length <= 0) return kGoOn;
  if (state.in_header != 0) {
    int used = 0;
    Verdict verdict = CollectHeader(state, data, length, &used);
    if (verdict.ending != Ending::None) return verdict;
    // A chunk that ends with the header leaves the completion test to the
    // next chunk, even for an empty body.
    if (used == length) return kGoOn;
    data += used;
    length -= used;
  }
  if (length > kMaxDownloadBytes - state.body_length) return Discard(kTooLargeText);
  state.body_length += length;
  if (state.length_announced != 0)
    state.remaining = state.remaining < INT_MIN + length ? INT_MIN : state.remaining - length;
  if (std::fwrite(data, 1, static_cast<size_t>(length), file) != static_cast<size_t>(length))
    return Discard(kFileWriteFailedText, kFileErrorCaption);
  if (state.length_announced != 0 && state.remaining <= 0) return {Ending::Complete, nullptr, nullptr};
  return kGoOn;
}

// Without an announced length the body runs until the server closes; a
// reset says nothing about whether it was all there.
Verdict EndOfResponse(const ResponseState& state, bool orderly, bool announced_box) {
  if (orderly && state.in_header == 0 && state.length_announced == 0) return {Ending::Complete, nullptr, nullptr};
  bool owed = state.in_header != 0 || state.length_announced != 0;
  const char* line = !orderly               ? kResetLine
                     : state.in_header != 0 ? kClosedInHeaderLine
                                            : kClosedEarlyLine;
  return {Ending::Keep, announced_box && owed ? kConnectionBrokenText : nullptr, kErrorCaption, line};
}
