// Debug pages of the network-camera receiver: the RTP reassembly buffers
// of every stream ("/debug/rtsp/buffer/") and one camera's RTSP
// conversation ("/debug/camN/rtsp.log"). They never build the receiver;
// the buffer page copies under the packet buffer's RTP mutex and formats
// after it.
#pragma once

class HttpRequest;
class HttpResponse;
class HttpServer;

namespace rtsp_pages {

int bufferPage(const HttpRequest& req, HttpResponse& resp);
int logPage(const HttpRequest& req, HttpResponse& resp);

// Subscribes both routes (the camera module's page start-up calls it).
void subscribe(HttpServer& server);

}  // namespace rtsp_pages
