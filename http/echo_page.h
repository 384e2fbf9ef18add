// The echo page of route "^/http_one/?(.*)$": shows the request's headers,
// arguments and route sub-matches, for checking clients and proxies.
#pragma once

class HttpRequest;
class HttpResponse;

int httpEchoPage(const HttpRequest& request, HttpResponse& response);
