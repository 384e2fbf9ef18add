#include "http/echo_page.h"

#include "core/text.h"
#include "http/request.h"
#include "http/response.h"

int httpEchoPage(const HttpRequest& request, HttpResponse& response) {
  static constexpr const char* kTitle = "Kovira one";
  response.headers["Content-Type"] = "text/html; charset=utf-8";
  std::ostream& out = response.body;
  out << "<html><head><title>" << kTitle << "</title></head>\n"
      << "<body bgcolor=white>\n"
      << "<center><h1>" << kTitle << "</h1></center>\n"
      << "<hr>\n\n<pre>"
      << "просто печатает по фану заголовок\n\n";
  // Everything shown comes from the client: escaped, so the page cannot be
  // used to run a script in the operator's browser.
  for (const auto& [name, value] : request.headers)
    out << "<b>" << htmlescape(name) << "</b> : " << htmlescape(value) << "\n";
  if (!request.args.empty()) {
    out << "<hr>";
    for (const auto& [name, value] : request.args)
      out << "args <b>" << htmlescape(name) << "</b> : " << htmlescape(value) << "\n";
  }
  if (request.match.size() > 1) {
    out << "<hr>";
    for (std::size_t i = 0; i < request.match.size(); ++i)
      out << "regex <b>" << i << "</b> : " << htmlescape(request.match[static_cast<int>(i)].str()) << "\n";
  }
  out << "<hr>" << "Hello world" << "</pre></body></html>";
  return 200;
}
