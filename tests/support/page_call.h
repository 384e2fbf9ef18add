// Runs one request through a server's route table without a socket: the
// header goes through the real request parser, a form body through the
// real argument reader, then the matching page handler fills the response.
#pragma once

#include <map>
#include <string>

class HttpServer;

namespace testsupport {

struct PageReply {
  int status = 0;
  std::map<std::string, std::string> headers;
  std::string body;
};

// target is path and query as on the request line; a body is sent with
// contentType (a form by default).
PageReply callPage(HttpServer& server, const std::string& method, const std::string& target,
                   const std::string& body = {},
                   const std::string& contentType = "application/x-www-form-urlencoded");

}  // namespace testsupport
