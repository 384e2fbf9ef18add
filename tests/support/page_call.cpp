#include "support/page_call.h"

#include "http/server.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

PageReply callPage(HttpServer& server, const std::string& method, const std::string& target,
                   const std::string& body, const std::string& contentType) {
  std::string head = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n";
  if (!body.empty())
    head += "Content-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  head += "\r\n";
  HttpRequest request(-1, "127.0.0.1", 1);
  const std::size_t n = std::min<std::size_t>(head.size(), http_limits::kHeaderMax - 1);
  std::memcpy(request.headerBuffer(), head.data(), n);
  PageReply reply;
  if (!request.ParseHeader(static_cast<int>(n))) return reply;
  request.body = body;
  request.readPOSTargs();
  HttpResponse response(-1);
  reply.status = server.HandleRequest(request, response);
  reply.headers = response.headers;
  reply.body = std::string(response.body.view());
  return reply;
}

}  // namespace testsupport
