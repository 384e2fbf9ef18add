// Request parsing without sockets: request line, header fields, the
// argument rule, multipart bodies and the argument accessors.
#include "http/request.h"
#include "tests/http/request_line_reference.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

// A request whose header buffer holds text, parsed as the server does.
struct Parsed {
  explicit Parsed(const std::string& text) : request(-1, "127.0.0.1", 5555) {
    std::memcpy(request.headerBuffer(), text.data(), std::min(text.size(), std::size_t(http_limits::kHeaderMax)));
    ok = request.ParseHeader(static_cast<int>(text.size()));
  }
  HttpRequest request;
  bool ok = false;
};

StringMap argsOf(std::string_view text) {
  StringMap args;
  parseArguments(text, args);
  return args;
}

TEST(HttpRequestLine, SplitsMethodPathQueryAndVersion) {
  const struct {
    const char* text;
    const char *method, *path, *query, *version;
    StringMap args;
  } rows[] = {
      {"GET /a/b?x=1&x=2&y HTTP/1.1\r\nHost: h\r\n\r\n", "GET", "/a/b", "x=1&x=2&y", "1.1", {{"x", "2"}, {"y", ""}}},
      {"POST /a? HTTP/1.0\r\n\r\n", "POST", "/a", "", "1.0", {}},
      {"PUT /a b HTTP/1.1\r\n\r\n", "PUT", "/a b", "", "1.1", {}},
      {"GET /x HTTP/1.1\nHost: h\n\n", "GET", "/x", "", "1.1", {}},  // bare LF
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    Parsed p(r.text);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.request.method + " " + p.request.path + " " + p.request.query + " " + p.request.version,
              std::string(r.method) + " " + r.path + " " + r.query + " " + r.version);
    EXPECT_EQ(p.request.args, r.args);
  }
  EXPECT_EQ(Parsed("GET /x HTTP/1.1\nHost: h\n\n").request.headers.at("Host"), "h");
}

TEST(HttpRequestLine, RefusesOtherMethodsVersionsAndGarbage) {
  for (const char* text : {"HEAD / HTTP/1.1\r\n\r\n", "DELETE / HTTP/1.1\r\n\r\n", "GET / HTTP/2.0\r\n\r\n",
                           "GET /\r\n\r\n", "get / HTTP/1.1\r\n\r\n", "GET ?x HTTP/1.1\r\n\r\n", "", "\r\n\r\n"}) {
    EXPECT_FALSE(Parsed(text).ok) << text;
  }
}

TEST(HttpRequestLine, ScannerAgreesWithTheRegularExpression) {
  const char* lines[] = {
      "GET /a?x\ry HTTP/1.1",        "GET /a\rb HTTP/1.1",        "x\fGET /a HTTP/1.1",
      "x\vGET /a HTTP/1.1",          "GET /a HTTP/1.1\fzz",       "GET /a HTTP/1.1\vzz",
      "GET /a HTTP/1\r1",            "GET /a?b HTTP/1.1 HTTP/1.0", "GET /a HTTP/1.1?q HTTP/1.0",
      "GET /a HTTP/1.1\r?q HTTP/1.0", "GET ? HTTP/1.1",            "GET /?? HTTP/1.0\r",
      "POST  HTTP/1.1",               "PUT /x HTTP/1.1\rGET /y HTTP/1.0", "GETS / HTTP/1.1",
      "GET /a HTTP/1.2",              "\rPUT /z?q HTTP/1.1\r",    "GET / HTTP/1.1 HTTP/1.1",
  };
  for (const std::string line : lines) {
    RequestLine fast, reference;
    const bool ok = referenceRequestLine(line, reference);
    ASSERT_EQ(parseRequestLine(line, fast), ok) << line;
    if (!ok) continue;
    EXPECT_EQ(fast.method, reference.method) << line;
    EXPECT_EQ(fast.path, reference.path) << line;
    EXPECT_EQ(fast.query, reference.query) << line;
    EXPECT_EQ(fast.version, reference.version) << line;
  }
}

TEST(HttpRequestLine, HostileLineCostsLinearTime) {
  std::string line = "GET /";
  while (line.size() < 8000) line += "\rGET ";
  const auto t0 = std::chrono::steady_clock::now();
  RequestLine out;
  EXPECT_FALSE(parseRequestLine(line, out));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
}

TEST(HttpRequestHeader, FirstOfTwoEqualNamesWinsAndNamesKeepTheirCase) {
  Parsed p(
      "POST / HTTP/1.1\r\nContent-Length:12\r\nContent-Length: 99\r\ncontent-length: 7\r\nX-Empty:\r\n"
      "X-Colon: a: b\r\n\r\nIgnored: yes\r\n");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.request.headers,
            (StringMap{{"Content-Length", "12"}, {"content-length", "7"}, {"X-Empty", ""}, {"X-Colon", "a: b"}}));
  std::string v;
  EXPECT_TRUE(p.request.head("Content-Length", v));
  EXPECT_EQ(v, "12");
  EXPECT_FALSE(p.request.head("CONTENT-LENGTH"));
  // The text ends at the first zero byte.
  Parsed zero(std::string("GET /a HTTP/1.1\r\nA: 1\r\n\0B: 2\r\n\r\n", 33));
  ASSERT_TRUE(zero.ok);
  EXPECT_TRUE(zero.request.head("A"));
  EXPECT_FALSE(zero.request.head("B"));
}

TEST(HttpArgumentRule, FollowsTheScannerTable) {
  EXPECT_EQ(argsOf("x=%41%2"), (StringMap{{"x", "A%2"}}));
  EXPECT_EQ(argsOf("name+1=a+b"), (StringMap{{"name+1", "a b"}}));
  EXPECT_EQ(argsOf("a%20b=1"), (StringMap{{"a%20b", "1"}}));
  // Text the name class does not accept is skipped; a pair without "="
  // takes what follows up to "&" as its value.
  EXPECT_EQ(argsOf("&&=x&.b=2"), (StringMap{{"b", "2"}, {"x", ""}}));
  EXPECT_EQ(argsOf("ab-cd&e.f=1"), (StringMap{{"ab", "-cd"}, {"e", ".f=1"}}));
  EXPECT_EQ(argsOf("k=v=w&k2="), (StringMap{{"k", "v=w"}, {"k2", ""}}));
  EXPECT_EQ(argsOf("\xd1\x86=1"), (StringMap{{"1", ""}}));
  EXPECT_TRUE(argsOf("").empty());
}

TEST(HttpPostFields, UrlencodedBodyOnlyForPostWithThatType) {
  HttpRequest r(-1, "127.0.0.1", 1);
  r.method = "POST";
  r.headers["Content-Type"] = "application/x-www-form-urlencoded; charset=UTF-8";
  r.body = "a=1&b=%D1%86";
  r.readPOSTargs();
  EXPECT_EQ(r.args, (StringMap{{"a", "1"}, {"b", "\xd1\x86"}}));

  HttpRequest put(-1, "127.0.0.1", 1);
  put.method = "PUT";
  put.headers["Content-Type"] = "application/x-www-form-urlencoded";
  put.body = "a=1";
  put.readPOSTargs();
  EXPECT_TRUE(put.args.empty());
}

TEST(HttpMultipart, TakesNamedFieldsAndSkipsOthers) {
  const std::string type = "multipart/form-data; boundary=----XyZ";
  const std::string body =
      "------XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nfirst\r\n"
      "------XyZ\r\nContent-Disposition: form-data\r\n\r\nnameless\r\n"
      "------XyZ\r\nContent-Disposition: form-data; name=\"b\"; filename=\"f.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\nline1\r\nline2\r\n"
      "------XyZ--\r\n";
  StringMap args;
  parseMultipart(body, type, args);
  EXPECT_EQ(args, (StringMap{{"a", "first"}, {"b", "line1\r\nline2"}}));

  HttpRequest r(-1, "127.0.0.1", 1);
  r.method = "POST";
  r.headers["Content-Type"] = type;
  r.body = body;
  r.readPOSTargs();
  EXPECT_EQ(r.args, args);
}

TEST(HttpMultipart, MalformedBodiesGiveNothingAndNeverReadOutOfBounds) {
  const std::string type = "multipart/form-data; boundary=abcdef";
  for (const std::string body : {"--abcdef--abcdef", "--abcdef\r--abcdef", "--abcdef\r\n", "x--abcdef",
                                  "--abcdef\r\nContent-Disposition: name=\"n\r\n--abcdef",
                                  "--abcdef\r\nContent-Disposition: form-data; name=\"n\"\r\nno blank line\r\n--abcdef"}) {
    StringMap args;
    parseMultipart(body, type, args);
    EXPECT_TRUE(args.empty()) << body;
  }
  StringMap args;
  parseMultipart("--ab\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nv\r\n--ab", "multipart/form-data; boundary=ab",
                 args);
  EXPECT_TRUE(args.empty()) << "delimiters under 6 characters are refused";
  parseMultipart("--abcdef", "multipart/form-data; boundary", args);
  EXPECT_TRUE(args.empty());
}

TEST(HttpRequestAccessors, ConvertWholeArgumentsOnlyAndNeverThrow) {
  HttpRequest r(-1, "127.0.0.1", 1);
  r.args = {{"empty", ""},  {"mixed", "12abc"}, {"huge", "99999999999"}, {"blank", " -7"}, {"text", "abc"},
            {"neg", "-7"},  {"f", "2.5x"},      {"fhuge", "1e99"},       {"fnan", "nan"},  {"fgood", "2.5"},
            {"plus", "+12"}, {"nul", std::string("7\0garbage", 9)}, {"hex", "0x1p3"}, {"zeros", "012"}};
  int i = 42;
  // A prefix is never taken for the number: "12abc" is not 12.
  for (const char* name : {"empty", "mixed", "huge", "text", "plus", "nul", "hex", "zeros", "missing"}) {
    EXPECT_FALSE(r.has(name, i)) << name;
    EXPECT_EQ(i, 42) << name;
  }
  EXPECT_TRUE(r.has("neg", i));
  EXPECT_EQ(i, -7);
  i = 0;
  EXPECT_TRUE(r.has("blank", i));  // blanks a browser sends around a number are dropped
  EXPECT_EQ(i, -7);

  float f = 1.0f;
  for (const char* name : {"f", "fhuge", "fnan", "text", "empty", "hex", "nul"}) {
    EXPECT_FALSE(r.has(name, f)) << name;
    EXPECT_EQ(f, 1.0f) << name;
  }
  EXPECT_TRUE(r.has("fgood", f));
  EXPECT_FLOAT_EQ(f, 2.5f);

  std::string s = "keep";
  EXPECT_TRUE(r.has("empty"));
  EXPECT_TRUE(r.has("empty", s));
  EXPECT_EQ(s, "");
  EXPECT_FALSE(r.has("missing", s));

  EXPECT_FALSE(r.supportcompress());
  r.headers["Accept-Encoding"] = "deflate, br";
  EXPECT_FALSE(r.supportcompress());
  r.headers["Accept-Encoding"] = "gzip, deflate";
  EXPECT_TRUE(r.supportcompress());
}

}  // namespace
