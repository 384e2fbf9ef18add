#include "rtsp/rtsp_message.h"

#include "rtsp/util.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool isAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordChar(char c) { return isAlnum(c) || c == '_'; }
bool isHostChar(char c) { return isWordChar(c) || c == '-' || c == '.'; }
bool isPathChar(char c) { return isAlnum(c) || c == '/' || c == '-' || c == '=' || c == '?' || c == '.'; }

std::size_t spanOf(std::string_view s, std::size_t at, bool (*pred)(char)) {
  std::size_t end = at;
  while (end < s.size() && pred(s[end])) ++end;
  return end;
}

// Decimal digits as a number, saturating at UINT32_MAX.
std::uint32_t toNumber(std::string_view digits) {
  std::uint64_t v = 0;
  for (char c : digits) {
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > std::numeric_limits<std::uint32_t>::max()) return std::numeric_limits<std::uint32_t>::max();
  }
  return static_cast<std::uint32_t>(v);
}

// Lines split at "\n" (the "\r" stays with its line).
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

// Cameras spell header names in every case (RFC 2326 says they are case
// insensitive): the value after "name:" and its blanks, when the line holds
// the name followed by at least minBlanks blanks.
bool headerValue(std::string_view line, std::string_view name, std::size_t minBlanks, std::string_view& value) {
  if (line.size() < name.size()) return false;
  for (std::size_t at = 0; at + name.size() <= line.size(); ++at) {
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(line[at + i])) == std::tolower(static_cast<unsigned char>(name[i]));
    if (!same) continue;
    const std::size_t start = at + name.size();
    std::size_t v = start;
    while (v < line.size() && isBlank(line[v])) ++v;
    if (v - start < minBlanks) continue;
    value = line.substr(v);
    return true;
  }
  return false;
}

// The run of non-blank characters at the start of text.
std::string_view firstToken(std::string_view text) { return text.substr(0, std::find_if(text.begin(), text.end(), isBlank) - text.begin()); }

// "name=\"value\"" pairs of an authentication challenge, in any order.
std::string challengeParam(std::string_view params, std::string_view name) {
  std::size_t at = 0;
  while (at < params.size()) {
    while (at < params.size() && (isBlank(params[at]) || params[at] == ',')) ++at;
    const std::size_t eq = params.find('=', at);
    if (eq == std::string_view::npos) break;
    std::string_view key = params.substr(at, eq - at);
    while (!key.empty() && isBlank(key.back())) key.remove_suffix(1);
    std::size_t v = eq + 1;
    while (v < params.size() && isBlank(params[v])) ++v;
    std::string value;
    if (v < params.size() && params[v] == '"') {
      const std::size_t close = params.find('"', v + 1);
      const std::size_t end = close == std::string_view::npos ? params.size() : close;
      value = std::string(params.substr(v + 1, end - v - 1));
      at = end == params.size() ? end : end + 1;
    } else {
      const std::size_t end = std::min(params.find(',', v), params.size());
      value = std::string(params.substr(v, end - v));
      while (!value.empty() && isBlank(value.back())) value.pop_back();
      at = end;
    }
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      return value;
  }
  return {};
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), s.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

// "sprop-parameter-sets=" sets end at ',', ';' or a blank (RFC 6184 8.1).
// The first two sets are the SPS and PPS; one that is no Base64 is absent.
void parameterSets(std::string_view line, std::string& sps, std::string& pps) {
  const std::string_view key = "sprop-parameter-sets=";
  const std::size_t at = line.find(key);
  if (at == std::string_view::npos) return;
  std::size_t p = at + key.size();
  auto next = [&](std::string& out) {
    const std::size_t start = p;
    while (p < line.size() && line[p] != ',' && line[p] != ';' && !isBlank(line[p])) ++p;
    const std::string_view set = line.substr(start, p - start);
    auto decoded = set.empty() ? std::nullopt : Base64Decode(std::string(set));
    out = decoded ? *decoded : std::string();
  };
  next(sps);
  if (p < line.size() && line[p] == ',') {
    ++p;
    next(pps);
  } else {
    pps.clear();
  }
}

std::string_view afterPrefix(std::string_view line, std::string_view prefix, bool& found) {
  const std::size_t at = line.find(prefix);
  found = at != std::string_view::npos;
  return found ? line.substr(at + prefix.size()) : std::string_view();
}

}  // namespace

// RFC 2326 7.1: Status-Line = RTSP-Version SP Status-Code SP Reason-Phrase CRLF
bool RtspProtocol::Response::ParseResponse(const std::string& text) {
  status = 0;
  for (std::string_view line : splitLines(text)) {
    for (std::size_t at = line.find("RTSP/1.0"); at != std::string_view::npos; at = line.find("RTSP/1.0", at + 1)) {
      std::size_t p = at + 8;
      const std::size_t b1 = spanOf(line, p, isBlank);
      if (b1 == p) continue;
      const std::size_t d = spanOf(line, b1, isDigit);
      if (d == b1) continue;
      const std::size_t b2 = spanOf(line, d, isBlank);
      if (b2 == d || spanOf(line, b2, isAlnum) == b2) continue;
      status = toNumber(line.substr(b1, d - b1));
      return true;
    }
  }
  return false;
}

//   WWW-Authenticate: Digest realm="cam", nonce="abc"      (401)
//   Content-Base: rtsp://cam/stream/
//   m=video 0 RTP/AVP 96
//   a=rtpmap:96 H264/90000
//   a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IA...,aM4...
//   a=control:trackID=1
bool RtspProtocol::DescribeResponse::ParseResponse(const std::string& text) {
  *this = DescribeResponse();
  if (!Response::ParseResponse(text)) return false;
  Media current;
  for (std::string_view line : splitLines(text)) {
    std::string_view value;
    bool found = false;
    if (headerValue(line, "WWW-Authenticate:", 1, value)) {
      if (startsWithNoCase(value, "Basic") && value.size() > 5 && isBlank(value[5])) {
        authType = AuthBasic;
        realm = challengeParam(value.substr(5), "realm");
      } else if (startsWithNoCase(value, "Digest") && value.size() > 6 && isBlank(value[6])) {
        authType = AuthDigest;
        realm = challengeParam(value.substr(6), "realm");
        nonce = challengeParam(value.substr(6), "nonce");
      }
    } else if (headerValue(line, "Content-Base:", 1, value) && !firstToken(value).empty()) {
      contentBase = std::string(firstToken(value));
      baseUrl = contentBase;
    } else if (headerValue(line, "Content-Location:", 1, value) && !firstToken(value).empty()) {
      contentLocation = std::string(firstToken(value));
      if (baseUrl.empty()) baseUrl = contentLocation;
    } else if (headerValue(line, "Content-Type:", 1, value) && !firstToken(value).empty()) {
      contentType = std::string(firstToken(value));
    } else if (value = afterPrefix(line, "m=", found); found && (value.starts_with("audio ") ||
                                                                 value.starts_with("video ") ||
                                                                 value.starts_with("application "))) {
      // "m=<media> <port> RTP/AVP <fmt> ...": the first format is the payload type.
      const std::size_t sp = value.find(' ');
      const std::size_t port = spanOf(value, sp + 1, isDigit);
      if (port == sp + 1 || value.substr(port, 9) != " RTP/AVP ") continue;
      const std::size_t fmt = spanOf(value, port + 9, isDigit);
      if (fmt == port + 9) continue;
      if (current.type != 0) media.push_back(current);
      current.payloadType = -1;
      current.codec = CodecUnknown;
      current.frameRate = 0;
      std::fill(std::begin(current.frameSize), std::end(current.frameSize), 0u);
      current.type = value[0] == 'a' && value[1] == 'u' ? 1 : value[0] == 'v' ? 2 : 3;
      current.payloadType = static_cast<std::int32_t>(std::min<std::uint32_t>(toNumber(value.substr(port + 9, fmt - port - 9)), 0x7FFFFFFF));
      if (current.payloadType == 26) current.codec = CodecJpeg;
    } else if (value = afterPrefix(line, "a=rtpmap:", found); found && spanOf(value, 0, isDigit) > 0) {
      const std::size_t pt = spanOf(value, 0, isDigit);
      if (pt >= value.size() || value[pt] != ' ' || firstToken(value.substr(pt + 1)).empty()) continue;
      current.payloadType = static_cast<std::int32_t>(std::min<std::uint32_t>(toNumber(value.substr(0, pt)), 0x7FFFFFFF));
      const std::string_view enc = value.substr(pt + 1);
      if (enc.starts_with("JPEG")) current.codec = CodecJpeg;
      else if (enc.starts_with("H264")) current.codec = CodecH264;
    } else if (value = afterPrefix(line, "a=control:", found); found && !firstToken(value).empty()) {
      const std::string control(firstToken(value));
      if (current.type == 0) {
        hasSessionControl = true;
        sessionControl = control == "*" ? std::string() : control;
      }
      if (control != "*") current.control = control;
    } else if (value = afterPrefix(line, "a=framesize:", found); found) {
      const std::size_t a = spanOf(value, 0, isDigit);
      if (a == 0 || a >= value.size() || value[a] != ' ') continue;
      const std::size_t b = spanOf(value, a + 1, isDigit);
      if (b == a + 1 || b >= value.size() || value[b] != '-') continue;
      const std::size_t c = spanOf(value, b + 1, isDigit);
      if (c == b + 1) continue;
      current.frameSize[0] = toNumber(value.substr(0, a));
      current.frameSize[1] = toNumber(value.substr(a + 1, b - a - 1));
      current.frameSize[2] = toNumber(value.substr(b + 1, c - b - 1));
    } else if (value = afterPrefix(line, "a=x-dimensions:", found); found) {
      // "a=x-dimensions:2592,2048": the picture size of JPEG streams beyond
      // the 2040 pixels the RTP/JPEG header can carry (the header says 0).
      const std::size_t a = spanOf(value, 0, isDigit);
      if (a == 0 || a >= value.size() || value[a] != ',') continue;
      const std::size_t b = spanOf(value, a + 1, isDigit);
      if (b == a + 1) continue;
      current.frameSize[0] = static_cast<std::uint32_t>(std::max(current.payloadType, 0));
      current.frameSize[1] = toNumber(value.substr(0, a));
      current.frameSize[2] = toNumber(value.substr(a + 1, b - a - 1));
    } else if (value = afterPrefix(line, "a=framerate:", found); found && spanOf(value, 0, isDigit) > 0) {
      current.frameRate = toNumber(value.substr(0, spanOf(value, 0, isDigit)));
    } else if (value = afterPrefix(line, "a=fmtp:", found); found && spanOf(value, 0, isDigit) > 0) {
      parameterSets(line, current.sps, current.pps);
    }
  }
  if (current.type != 0) media.push_back(current);
  return true;
}

//   Session: 12345678;timeout=60
//   Transport: RTP/AVP;unicast;client_port=8000-8001;server_port=5000-5001;source=10.0.0.9
bool RtspProtocol::SetupResponse::ParseResponse(const std::string& text) {
  *this = SetupResponse();
  if (!Response::ParseResponse(text)) return false;
  for (std::string_view line : splitLines(text)) {
    std::string_view value;
    if (headerValue(line, "Session:", 0, value)) {
      // RFC 2326 12.37: the id ends at ';' (parameters follow) or a blank;
      // ids may hold '.', '$', '-' and more beside letters and digits.
      const std::size_t end = std::min(value.find(';'), static_cast<std::size_t>(std::find_if(value.begin(), value.end(), isBlank) - value.begin()));
      if (end == 0) continue;
      session = std::string(value.substr(0, end));
      sessionId = session;
      bool found = false;
      const std::string_view t = afterPrefix(value, "timeout=", found);
      if (found && spanOf(t, 0, isDigit) > 0) timeout = toNumber(t.substr(0, spanOf(t, 0, isDigit)));
    } else if (headerValue(line, "Transport:", 0, value) && !firstToken(value).empty()) {
      const std::string_view t = firstToken(value);
      bool found = false;
      std::string_view v = afterPrefix(t, "source=", found);
      if (found && spanOf(v, 0, [](char c) { return isDigit(c) || c == '.'; }) > 0)
        source = std::string(v.substr(0, spanOf(v, 0, [](char c) { return isDigit(c) || c == '.'; })));
      v = afterPrefix(t, "server_port=", found);
      const std::size_t a = found ? spanOf(v, 0, isDigit) : 0;
      if (a > 0 && a < v.size() && v[a] == '-') {
        const std::size_t b = spanOf(v, a + 1, isDigit);
        const std::uint32_t rtp = toNumber(v.substr(0, a));
        const std::uint32_t rtcp = toNumber(v.substr(a + 1, b - a - 1));
        // A port beyond 16 bits is no port: treated as absent.
        if (b > a + 1 && rtp <= 0xFFFF && rtcp <= 0xFFFF) {
          serverRtpPort = rtp;
          serverRtcpPort = rtcp;
        }
      }
    }
  }
  return true;
}

// rtsp://((user):(password)@)?host(:port)?(/path)?  searched in url.
bool RtspProtocol::ParseRtspUrl(const std::string& url, std::string& user, std::string& password, std::string& host,
                                unsigned int& port, std::string& path) {
  const std::string_view s(url);
  for (std::size_t at = s.find("rtsp://"); at != std::string_view::npos; at = s.find("rtsp://", at + 1)) {
    const std::size_t p = at + 7;
    std::string u, pw;
    std::size_t hostStart = p;
    // The credentials group first (it is tried first), then without it.
    for (int withCredentials = 1; withCredentials >= 0; --withCredentials) {
      u.clear();
      pw.clear();
      hostStart = p;
      if (withCredentials) {
        const std::size_t ue = spanOf(s, p, isWordChar);
        if (ue == p || ue >= s.size() || s[ue] != ':') continue;
        const std::size_t pe = spanOf(s, ue + 1, isWordChar);
        if (pe >= s.size() || s[pe] != '@') continue;
        u = std::string(s.substr(p, ue - p));
        pw = std::string(s.substr(ue + 1, pe - ue - 1));
        hostStart = pe + 1;
      }
      const std::size_t he = spanOf(s, hostStart, isHostChar);
      if (he == hostStart) continue;
      unsigned number = kDefaultPort;
      std::size_t q = he;
      if (q < s.size() && s[q] == ':') {
        const std::size_t de = spanOf(s, q + 1, isDigit);
        if (de > q + 1) {
          const std::uint32_t n = toNumber(s.substr(q + 1, de - q - 1));
          if (n == 0 || n > 0xFFFF) return false;
          number = n;
          q = de;
        }
      }
      std::string p8;
      if (q < s.size() && s[q] == '/') p8 = std::string(s.substr(q, spanOf(s, q + 1, isPathChar) - q));
      user = std::move(u);
      password = std::move(pw);
      host = std::string(s.substr(hostStart, he - hostStart));
      port = number;
      path = std::move(p8);
      return true;
    }
  }
  return false;
}

const char* RtspProtocol::MethodName(Method method) {
  switch (method) {
    case Method::Options: return "OPTIONS";
    case Method::Describe: return "DESCRIBE";
    case Method::Setup: return "SETUP";
    case Method::Play: return "PLAY";
    case Method::GetParameter: return "GET_PARAMETER";
    case Method::Teardown: return "TEARDOWN";
  }
  return "";
}

std::string RtspProtocol::AuthorizationLine(std::uint32_t authType, const std::string& user,
                                            const std::string& password, const std::string& realm,
                                            const std::string& nonce, Method method, const std::string& uri) {
  if (authType == AuthBasic) return "Authorization: Basic " + Base64Encode(user + ":" + password) + "\r\n";
  if (authType != AuthDigest) return {};
  const std::string ha1 = Md5(user + ":" + realm + ":" + password);
  const std::string ha2 = Md5(std::string(MethodName(method)) + ":" + uri);
  const std::string response = Md5(ha1 + ":" + nonce + ":" + ha2);
  return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
         "\", uri=\"" + uri + "\", response=\"" + response + "\"\r\n";
}

std::string RtspProtocol::BuildRequest(Method method, const std::string& uri, unsigned cseq,
                                       const std::string& authorization, const std::string& session) {
  std::string out = std::string(MethodName(method)) + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n";
  const std::string agent = std::string("User-Agent: ") + kUserAgent + "\r\n";
  switch (method) {
    case Method::Options:
      out += authorization + agent;
      break;
    case Method::Describe:
      out += authorization + agent + "Accept: application/sdp\r\n";
      break;
    case Method::Setup:
      out += authorization + agent + "Transport: RTP/AVP;unicast;client_port=8000-8001\r\n";
      break;
    case Method::Play:
      out += authorization + "Session: " + session + "\r\nRange: npt=0.000-\r\n" + agent;
      break;
    case Method::GetParameter:
      out += authorization + "Session: " + session + "\r\n" + agent;
      break;
    case Method::Teardown:
      out += authorization + "Session: " + session + "\r\n";
      break;
  }
  return out + "\r\n";
}

std::string RtspProtocol::ResolveUrl(const std::string& base, const std::string& ref) {
  if (ref.empty()) return base;
  const std::size_t colon = ref.find(':');
  if (colon != std::string::npos && ref.find('/') > colon && colon > 0 &&
      std::all_of(ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(colon),
                  [](char c) { return isAlnum(c) || c == '+' || c == '-' || c == '.'; }))
    return ref;  // it has a scheme of its own
  const std::size_t scheme = base.find("://");
  const std::size_t authorityStart = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t pathStart = base.find('/', authorityStart);
  const std::string stripped = base.substr(0, std::min(base.find('?'), base.find('#')));
  if (pathStart == std::string::npos || pathStart > stripped.size()) pathStart = stripped.size();
  if (ref[0] == '/') return stripped.substr(0, pathStart) + ref;
  const std::size_t lastSlash = stripped.rfind('/');
  if (lastSlash == std::string::npos || lastSlash < pathStart) return stripped.substr(0, pathStart) + "/" + ref;
  return stripped.substr(0, lastSlash + 1) + ref;
}

void RtspProtocol::AppendCommunicationLog(std::string& log, std::string text) {
  if (log.size() > kCommunicationLogCap) return;
  if (text.size() >= 5)
    while (!text.ends_with("\r\n\r\n")) text += "\r\n";
  log += text;
}
