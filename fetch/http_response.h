// Reading what a server or a proxy answers, and where a redirect points:
// plain functions over text, no sockets, no globals.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The first line of an answer, "HTTP/1.x 404 Not Found".
struct StatusLine {
  int code;                 // three digits, 100 to 999
  std::string_view reason;  // the text after the code, up to the line's end
};

// Reads the status line at the start of `header`; nullopt when the header
// does not begin with one.
std::optional<StatusLine> ParseStatusLine(std::string_view header);

// The value of the first header field called `name` (any case), without the
// blanks around it; nullopt when no line carries that name.
std::optional<std::string_view> HeaderField(std::string_view header, std::string_view name);

inline bool IsRedirectStatus(int code) {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}
inline bool IsSuccessStatus(int code) { return code >= 200 && code <= 299; }

enum class LocationVerdict {
  Resolved,     // `out` holds the absolute address
  Unsupported,  // another scheme, a blank or control byte, nothing usable
  TooLong,      // the address would not fit `out`
};

// Turns a Location value into an absolute http:// or https:// address,
// resolved against `base` (itself absolute) the way a browser does: absolute,
// scheme-relative, absolute-path and path-relative forms, dot segments
// removed, any fragment dropped.
LocationVerdict ResolveLocation(std::string_view base, std::string_view location, char* out, std::size_t capacity);

// "<code> <reason>" after `prefix`, cut to `capacity`, with bytes that would
// garble a message box shown as '?'.
void FormatStatusText(const char* prefix, const StatusLine& status, char* out, std::size_t capacity);
