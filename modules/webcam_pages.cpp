// The start-up function that subscribes the operator's start page, the
// network receiver's debug pages and the camera pages, in route order. It sits on the top floor because the pages
// it gathers come from several folders that may not include each other.
#include "capture/camera_pages.h"
#include "core/startup_functions.h"
#include "devices/index_page.h"
#include "evidence/imgframe.h"
#include "http/server.h"
#include "rtsp/rtsp_pages.h"

namespace webcam {

void cambuf_httphook_init() {
  HttpServer& server = webserver();
  indexpage::subscribe(server);
  rtsp_pages::subscribe(server);
  campages::subscribe(server, imgframe);
}

}  // namespace webcam
