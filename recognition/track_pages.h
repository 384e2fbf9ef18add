// Operator pages of the recognition stage and the tracks: settings and
// performance ("/debug/cnnproc/"), the track lists ("/debug/tracks/"), one
// track ("/debug/tracks/N/") and its drawing ("/debug/tracks/N/t.jpg").
//
// Handlers run on connection threads beside the recognition, queue and
// worker threads: settings are the stage's atomics, statistics, polygons
// and tracks are copies taken under their owners' mutexes; zones and camera
// sizes are read under ConfigReadLock and released before drawing.
#pragma once

#include <string>
#include <vector>

class HttpServer;
class HttpRequest;
class HttpResponse;

namespace kovira {
class CnnProc;
class ResQueue;
class Track;
}  // namespace kovira

namespace cnnweb {
int http_cnnproc(kovira::CnnProc& stage, const HttpRequest& req, HttpResponse& resp);
void subscribe(HttpServer& server, kovira::CnnProc& stage);
}  // namespace cnnweb

namespace webtrack {
inline constexpr std::size_t kListLimit = 500;
std::string showtracks(const std::vector<kovira::Track>& list, std::size_t limit);
void subscribe(HttpServer& server, kovira::ResQueue& queue);
}  // namespace webtrack
