// The operator's configuration pages: the index of sections, the echo and
// update endpoints for scripts, the whole file as JSON, the forms of the
// global section, of an action and of a zone, and the pages that add an
// action and delete an action or a zone.
//
// Pages copy what they show under ConfigReadLock and format after; posts
// check every field first and then change the objects under one
// ConfigWriteLock. Nothing here writes the file: the store's one-second
// tick saves a changed configuration. Handlers run on the server's
// connection threads.
#pragma once

#include "http/request.h"
#include "http/response.h"

#include <optional>

class HttpServer;

int http_index_config(const HttpRequest& req, HttpResponse& resp);
int http_echo_config(const HttpRequest& req, HttpResponse& resp);
int http_update_config(const HttpRequest& req, HttpResponse& resp);
int http_whole_config(const HttpRequest& req, HttpResponse& resp);
int http_global(const HttpRequest& req, HttpResponse& resp);
int http_edit_act(const HttpRequest& req, HttpResponse& resp);
int http_edit_zon(const HttpRequest& req, HttpResponse& resp);
int http_act_add(const HttpRequest& req, HttpResponse& resp);
int http_act_del(const HttpRequest& req, HttpResponse& resp);
int http_zon_del(const HttpRequest& req, HttpResponse& resp);

namespace kovira {

// The routes of the configuration pages, then those of the add and delete
// pages, in the order the unit subscribes them.
void subscribeConfigPages(HttpServer& server);
void subscribeAddPages(HttpServer& server);

// The id captured by a page's route; nothing when it does not fit an int.
std::optional<int> routeId(const HttpRequest& req);

}  // namespace kovira
