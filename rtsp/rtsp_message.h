// RTSP/1.0 client messages (RFC 2326) and the DESCRIBE reply's SDP
// (RFC 4566): the pure half of a camera's control connection. Requests are
// built as text, replies are read from text; nothing here owns a socket.
//
// RtspProtocol collects the message types and functions so that the control
// session (rtsp/rtsp_session.h), which derives from it, names them as
// RtspSession::DescribeResponse, RtspSession::ParseRtspUrl and so on.
//
// Every parser reads a reply that the packet buffer has already cut and
// capped at kRtspBufferSize bytes, checks bounds before it reads and never
// throws on outside bytes. Everything may be called from any thread.
#pragma once

#include "rtsp/packets.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class RtspProtocol {
 public:
  static constexpr unsigned kDefaultPort = 554;
  static constexpr const char* kUserAgent = "MERIVOLTA";
  // The camera's log grows no more once it is longer than this.
  static constexpr std::size_t kCommunicationLogCap = 0x20000;

  enum class Method { Options, Describe, Setup, Play, GetParameter, Teardown };
  enum AuthType : std::uint32_t { AuthNone = 0, AuthBasic = 1, AuthDigest = 2 };

  // A reply's status line: the first line holding "RTSP/1.0", blanks, a
  // number, blanks and a word. Subclasses read more of the same text.
  class Response {
   public:
    virtual ~Response() = default;
    // False when no line carries a status; status is then 0.
    virtual bool ParseResponse(const std::string& text);
    std::uint32_t status = 0;
  };
  using OptionsResponse = Response;
  using PlayResponse = Response;
  using PauseResponse = Response;
  using GetParameterResponse = Response;
  using TeardownResponse = Response;

  class DescribeResponse : public Response {
   public:
    struct Media {
      std::uint32_t type = 0;  // 0 none yet, 1 audio, 2 video, 3 application
      std::int32_t payloadType = -1;
      CodecType codec = CodecUnknown;
      std::uint32_t frameRate = 0;
      std::uint32_t frameSize[3] = {0, 0, 0};  // payload type, width, height
      std::string control;
      std::string sps, pps;  // NAL units with their header byte; empty when absent
    };

    bool ParseResponse(const std::string& text) override;

    std::string contentBase, contentLocation, contentType;
    std::string baseUrl;  // Content-Base, else Content-Location
    std::uint32_t authType = AuthNone;
    std::string realm, nonce;
    std::vector<Media> media;
    // An a=control line before the first m= line names the aggregate URL
    // (RFC 2326 C.1.1); "*" leaves the text empty but still counts.
    bool hasSessionControl = false;
    std::string sessionControl;
  };

  class SetupResponse : public Response {
   public:
    bool ParseResponse(const std::string& text) override;
    std::string session;  // the Session value up to ';' or a blank
    std::string source;   // Transport source= address
    std::string sessionId;
    std::uint32_t timeout = 0;  // the Session header's timeout= seconds, 0 when absent
    std::uint32_t serverRtpPort = 0;   // 0 when absent
    std::uint32_t serverRtcpPort = 0;  // 0 when absent
  };

  // Reads "rtsp://[user:password@]host[:port][/path]" anywhere in url.
  // User names and passwords hold letters, digits and '_' only; otherwise
  // the text before ':' is the host. A port that is no number leaves 554.
  // False when there is no match, or the port is 0 or beyond 65535.
  static bool ParseRtspUrl(const std::string& url, std::string& user, std::string& password, std::string& host,
                           unsigned int& port, std::string& path);

  // The "Authorization: ..." line with its "\r\n" for method and uri, or ""
  // for AuthNone. Digest (RFC 2617 without qop): username, realm, nonce,
  // uri, response.
  static std::string AuthorizationLine(std::uint32_t authType, const std::string& user, const std::string& password,
                                       const std::string& realm, const std::string& nonce, Method method,
                                       const std::string& uri);

  // The request text; authorization is a whole line (or empty), session the
  // session id (PLAY, GET_PARAMETER, TEARDOWN).
  static std::string BuildRequest(Method method, const std::string& uri, unsigned cseq,
                                  const std::string& authorization, const std::string& session);

  static const char* MethodName(Method method);

  // ref resolved against base (RFC 3986, section 5.2): absolute refs stay,
  // "" is the base, "/x" keeps the base's scheme and host, "x" replaces the
  // base's last path segment.
  static std::string ResolveUrl(const std::string& base, const std::string& ref);

  // Appends text to log as the camera's communication log keeps it: nothing
  // once log is longer than kCommunicationLogCap; a text of 5 bytes or more
  // ends in a blank line.
  static void AppendCommunicationLog(std::string& log, std::string text);
};
