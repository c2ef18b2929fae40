// Status lines, header fields and redirect targets, read from text alone so
// that every rule here can be tried without a network.
#include "http_response.h"

#include <cstdio>
#include <string>

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The line at the start of `text`, without its LF or CR LF.
std::string_view FirstLine(std::string_view text) {
  std::string_view line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Folds "." and ".." out of an absolute path, as a browser would before
// asking; a ".." at the root stays at the root.
std::string RemoveDotSegments(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    std::size_t end = path.find('/', 1);
    std::string_view segment = path.substr(0, end);  // with its leading '/'
    path.remove_prefix(segment.size());
    if (segment == "/." || segment == "/..") {
      if (segment == "/..") {
        std::size_t cut = out.rfind('/');
        out.resize(cut == std::string::npos ? 0 : cut);
      }
      if (path.empty()) out += '/';
      continue;
    }
    out += segment;
  }
  return out.empty() ? "/" : out;
}

// An absolute address cut into its scheme ("http" or "https", lowercase),
// its authority, its path (from its first '/', maybe empty) and its query
// (from its '?', maybe empty).
struct AddressParts {
  std::string scheme;
  std::string_view authority, path, query;
};

std::optional<AddressParts> SplitAddress(std::string_view address) {
  std::size_t colon = address.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  AddressParts parts;
  std::string_view scheme = address.substr(0, colon);
  if (EqualsIgnoringCase(scheme, "http")) {
    parts.scheme = "http";
  } else if (EqualsIgnoringCase(scheme, "https")) {
    parts.scheme = "https";
  } else {
    return std::nullopt;
  }
  std::string_view rest = address.substr(colon + 3);
  rest = rest.substr(0, rest.find('#'));
  std::size_t authority_end = rest.find_first_of("/?");
  parts.authority = rest.substr(0, authority_end);
  if (parts.authority.empty()) return std::nullopt;
  rest.remove_prefix(parts.authority.size());
  std::size_t query = rest.find('?');
  parts.path = rest.substr(0, query);
  parts.query = query == std::string_view::npos ? std::string_view() : rest.substr(query);
  return parts;
}

// A reference that starts with letters and a ':' before any '/', '?' or '#'
// names a scheme of its own.
bool HasScheme(std::string_view reference) {
  std::size_t colon = reference.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > reference.find_first_of("/?#")) return false;
  for (char c : reference.substr(0, colon))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '+' || c == '-' || c == '.'))
      return false;
  return true;
}

}  // namespace

std::optional<StatusLine> ParseStatusLine(std::string_view header) {
  std::string_view line = FirstLine(header);
  // "HTTP/" then a version of digits and a dot.
  if (line.size() < 5 || !EqualsIgnoringCase(line.substr(0, 5), "HTTP/")) return std::nullopt;
  std::size_t at = 5;
  while (at < line.size() && (IsDigit(line[at]) || line[at] == '.')) ++at;
  if (at == 5 || at >= line.size() || !IsBlank(line[at])) return std::nullopt;
  while (at < line.size() && IsBlank(line[at])) ++at;
  if (line.size() - at < 3 || !IsDigit(line[at]) || !IsDigit(line[at + 1]) || !IsDigit(line[at + 2]) ||
      line[at] == '0')
    return std::nullopt;
  int code = (line[at] - '0') * 100 + (line[at + 1] - '0') * 10 + (line[at + 2] - '0');
  at += 3;
  if (at < line.size() && !IsBlank(line[at])) return std::nullopt;  // a fourth digit
  return StatusLine{code, TrimBlanks(line.substr(at))};
}

std::optional<std::string_view> HeaderField(std::string_view header, std::string_view name) {
  // The status line is skipped: it is no field, whatever it says.
  std::size_t at = header.find('\n');
  while (at != std::string_view::npos && at + 1 < header.size()) {
    std::string_view line = FirstLine(header.substr(at + 1));
    if (line.size() > name.size() && line[name.size()] == ':' && EqualsIgnoringCase(line.substr(0, name.size()), name))
      return TrimBlanks(line.substr(name.size() + 1));
    at = header.find('\n', at + 1);
  }
  return std::nullopt;
}

LocationVerdict ResolveLocation(std::string_view base, std::string_view location, char* out, std::size_t capacity) {
  std::optional<AddressParts> from = SplitAddress(base);
  if (!from || location.empty()) return LocationVerdict::Unsupported;

  std::string reference(location.substr(0, location.find('#')));
  if (reference.starts_with("//")) reference = from->scheme + ":" + reference;

  std::string target;
  if (HasScheme(reference)) {
    std::optional<AddressParts> to = SplitAddress(reference);
    if (!to) return LocationVerdict::Unsupported;  // another scheme, or no host
    target = to->scheme + "://" + std::string(to->authority) + RemoveDotSegments(to->path) + std::string(to->query);
  } else {
    std::string prefix = from->scheme + "://" + std::string(from->authority);
    std::string_view ref = reference;
    std::string_view ref_path = ref.substr(0, ref.find('?'));
    std::string_view ref_query = ref.substr(ref_path.size());
    std::string path;
    if (ref_path.empty()) {
      // The current address as typed may hold dot segments; the target is
      // normalised like every other, or a redirect to "#top" would name an
      // address that resolves to another.
      path = from->path.empty() ? "/" : RemoveDotSegments(from->path);
      if (ref_query.empty()) ref_query = from->query;
    } else if (ref_path.front() == '/') {
      path = RemoveDotSegments(ref_path);
    } else {
      std::string_view folder = from->path.substr(0, from->path.rfind('/') + 1);
      path = RemoveDotSegments((folder.empty() ? std::string("/") : std::string(folder)) + std::string(ref_path));
    }
    target = prefix + path + std::string(ref_query);
  }
  // A blank or control byte, from the Location or from the current address,
  // would end up inside the request line.
  for (char c : target)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return LocationVerdict::Unsupported;
  if (target.size() >= capacity) return LocationVerdict::TooLong;
  target.copy(out, target.size());
  out[target.size()] = '\0';
  return LocationVerdict::Resolved;
}

void FormatStatusText(const char* prefix, const StatusLine& status, char* out, std::size_t capacity) {
  int length = std::snprintf(out, capacity, "%s%d %.*s", prefix, status.code, static_cast<int>(status.reason.size()),
                             status.reason.data());
  if (length < 0) return;
  for (char* c = out; *c != '\0'; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
  // A status without a reason reads "404", not "404 ".
  std::size_t end = static_cast<std::size_t>(length) < capacity ? static_cast<std::size_t>(length) : capacity - 1;
  if (end > 0 && out[end - 1] == ' ') out[end - 1] = '\0';
}
