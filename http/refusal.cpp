#include "http/refusal.h"

#include "http/response.h"

int answerRefused(HttpResponse& resp, std::string_view error) {
  resp.headers["Content-Type"] = "text/plain; charset=utf-8";
  resp.body << error;
  return 400;
}
