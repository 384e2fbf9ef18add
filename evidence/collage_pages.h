// The collage preview pages: "/debug/collage/" (a form) and
// "/debug/collage/NAME.jpg" (a sample collage of five test photographs).
// Handlers run on connection threads; each request builds its own collage.
#pragma once

class HttpServer;
class HttpRequest;
class HttpResponse;

namespace webcollage {
int http_collage_form(const HttpRequest& req, HttpResponse& resp);
int http_collage_sample(const HttpRequest& req, HttpResponse& resp);
void subscribe(HttpServer& server);
}  // namespace webcollage
