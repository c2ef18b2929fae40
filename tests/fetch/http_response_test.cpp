// Status lines, header fields and redirect targets read from text alone.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http_response.h"

namespace {

TEST(HttpResponseTest, StatusLinesGiveTheirCodeAndReasonOrNothing) {
  struct Case {
    std::string header;
    int code;  // -1: no status line
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.0 200 OK\r\nServer: x\r\n\r\n", 200, "OK"},
      {"HTTP/1.1 404 Not Found\r\n\r\n", 404, "Not Found"},
      {"http/1.1  301   Moved  Permanently \r\n", 301, "Moved  Permanently"},  // blanks inside the reason stay
      {"HTTP/2 500\r\n", 500, ""},
      {"HTTP/1.0 204\n", 204, ""},
      {"HTTP/1.0 302 Found", 302, "Found"},  // no line end at all
      {"HTTP/1.0 2000 OK\r\n", -1, ""},      // four digits
      {"HTTP/1.0 20 OK\r\n", -1, ""},
      {"HTTP/1.0 099 Odd\r\n", -1, ""},
      {"HTTP/1.0 2x0 OK\r\n", -1, ""},
      {"HTTP/ 200 OK\r\n", -1, ""},  // no version
      {"HTTP/1.0200 OK\r\n", -1, ""},
      {"ICY 200 OK\r\n", -1, ""},
      {"\r\nHTTP/1.0 200 OK\r\n", -1, ""},  // must be the first line
      {"", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    std::optional<StatusLine> status = ParseStatusLine(c.header);
    if (c.code < 0) {
      EXPECT_FALSE(status.has_value());
      continue;
    }
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->code, c.code);
    EXPECT_EQ(status->reason, c.reason);
  }
}

TEST(HttpResponseTest, HeaderFieldsAreFoundByNameInAnyCase) {
  const std::string header =
      "HTTP/1.0 302 Location: not-a-field\r\n"
      "X-Location: /wrong\r\n"
      "LOCATION:\t /Pics/A.JPG \r\n"
      "Location: /second\r\n"
      "Empty:\r\n"
      "\r\n";
  EXPECT_EQ(HeaderField(header, "Location"), std::optional<std::string_view>("/Pics/A.JPG"));
  EXPECT_EQ(HeaderField(header, "empty"), std::optional<std::string_view>(""));
  EXPECT_FALSE(HeaderField(header, "Content-Length").has_value());
  EXPECT_FALSE(HeaderField("HTTP/1.0 200 OK\nLocation /x\n\n", "Location").has_value());  // no colon
}

TEST(HttpResponseTest, LocationsResolveAgainstTheCurrentAddress) {
  struct Case {
    std::string base, location, expected;  // expected "" : refused as unsupported
  };
  const std::string base = "http://pics.example:8080/a/b/photo.jpg?size=2";
  const std::vector<Case> cases = {
      // Absolute, with any case in the scheme; dot segments fold, fragments go.
      {base, "https://cdn.example/x/./y/../z.jpg#top", "https://cdn.example/x/z.jpg"},
      {base, "HTTP://Other.example", "http://Other.example/"},
      {base, "http://h.example?q=1", "http://h.example/?q=1"},
      // Scheme-relative keeps the current scheme.
      {base, "//cdn.example/z.jpg", "http://cdn.example/z.jpg"},
      {"https://a.example/p", "//b.example:444/q", "https://b.example:444/q"},
      // Absolute path keeps host and port.
      {base, "/other.gif", "http://pics.example:8080/other.gif"},
      {base, "/../../x.gif", "http://pics.example:8080/x.gif"},
      // Path-relative, from the current folder.
      {base, "c.jpg", "http://pics.example:8080/a/b/c.jpg"},
      {base, "../c.jpg?w=1", "http://pics.example:8080/a/c.jpg?w=1"},
      {base, "./", "http://pics.example:8080/a/b/"},
      {base, "..", "http://pics.example:8080/a/"},
      {base, "?id=42", "http://pics.example:8080/a/b/photo.jpg?id=42"},
      {base, "#part", "http://pics.example:8080/a/b/photo.jpg?size=2"},
      {"http://h.example", "x.jpg", "http://h.example/x.jpg"},
      {"http://h.example?q", "x.jpg", "http://h.example/x.jpg"},
      // Nothing that is not http or https, nothing without a host, nothing
      // that would break the request line.
      {base, "file:///etc/passwd", ""},
      {base, "ftp://pics.example/a.jpg", ""},
      {base, "javascript:alert(1)", ""},
      {base, "http:///nohost", ""},
      {base, "https:x.jpg", ""},
      {base, "", ""},
      {base, "/a b.jpg", ""},
      {base, "/a\rb.jpg", ""},
      {base, std::string("/a\0b", 4), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base + " + " + c.location);
    char out[512];
    LocationVerdict verdict = ResolveLocation(c.base, c.location, out, sizeof out);
    if (c.expected.empty()) {
      EXPECT_EQ(verdict, LocationVerdict::Unsupported);
      continue;
    }
    ASSERT_EQ(verdict, LocationVerdict::Resolved);
    EXPECT_EQ(std::string(out), c.expected);
  }
  // A result one byte too long for its buffer is refused, never cut.
  char small[sizeof "http://pics.example:8080/1.jpg"];
  EXPECT_EQ(ResolveLocation(base, "/12.jpg", small, sizeof small), LocationVerdict::TooLong);
  EXPECT_EQ(ResolveLocation(base, "/1.jpg", small, sizeof small), LocationVerdict::Resolved);
}

}  // namespace
