#include "rtsp/rtsp_pages.h"

#include "capture/cam.h"
#include "config/config_lock.h"
#include "core/clock.h"
#include "http/server.h"
#include "http/webutil.h"
#include "rtsp/network_receiver.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/rtsp_session.h"
#include "rtsp/session.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

namespace rtsp_pages {

namespace {

struct StreamRow {
  FrameAssembler::StreamView view;
  unsigned camid = 0;
  std::string url;
};

}  // namespace

int bufferPage(const HttpRequest& req, HttpResponse& resp) {
  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  std::vector<StreamRow> rows;
  std::vector<std::pair<unsigned, unsigned>> oversize;  // camera, frames dropped for size
  std::vector<std::pair<unsigned, unsigned>> afterLoss;  // camera, frames refused after a loss
  std::vector<std::pair<unsigned, unsigned>> late;  // camera, packets after their frame was judged
  rtsp::withProductReceiver([&](RtspNetworkReceiver& r) {
    for (auto& v : r.buffer().Snapshot()) {
      const auto* rtp = static_cast<const RtpSession*>(v.owner);
      rows.push_back({std::move(v), rtp->session != nullptr ? rtp->session->camid : 0, {}});
    }
    for (Session* s : r.Sessions()) {
      if (const unsigned n = s->rtp().framesOversize.load(); n != 0) oversize.emplace_back(s->camid, n);
      if (const unsigned n = s->rtp().framesAfterLoss.load(); n != 0) afterLoss.emplace_back(s->camid, n);
      if (const unsigned n = s->rtp().packetsLate.load(); n != 0) late.emplace_back(s->camid, n);
    }
  });
  {
    kovira::ConfigReadLock lock;
    for (auto& row : rows) {
      const auto it = kovira::findCamera(static_cast<int>(row.camid));
      if (it != kovira::cameras().end()) row.url = it->url;
    }
  }
  std::sort(rows.begin(), rows.end(), [](const StreamRow& a, const StreamRow& b) { return a.view.ssrc < b.view.ssrc; });
  const bool full = req.has("full");
  resp.body << "<h1>Packets buffer</h1>\n"
            << "Total buffers: " << rows.size() << "<br>" << taglink("/debug/rtsp/buffer/?full=1", "rtsp buffers (detailed)");
  // The drop counter of the camera list does not say why; frames too large
  // to assemble never stop coming, so they are named here.
  for (const auto& [camid, frames] : oversize)
    resp.body << "<br>camid: " << camid << ", frames dropped for size (over "
              << (FrameAssembler::kMaxFrameBytes >> 20) << " MiB): " << frames;
  // Nor does it count frames that arrived whole after a loss: no decoder
  // could show them right before the next key frame.
  for (const auto& [camid, frames] : afterLoss)
    resp.body << "<br>camid: " << camid << ", frames not stored after a loss (until the next key frame): " << frames;
  // Late packets (a network that holds some back, or sends them twice) are
  // no loss: their frames were judged without them.
  for (const auto& [camid, packets] : late)
    resp.body << "<br>camid: " << camid << ", packets late (after their frame was judged): " << packets;
  for (const auto& row : rows) {
    char ssrc[16];
    std::snprintf(ssrc, sizeof ssrc, "%x", row.view.ssrc);
    std::size_t bytes = 0;
    for (const auto& f : row.view.frames) bytes += f.bytes;
    resp.body << "<hr><h4>Buffer SSRC: 0x" << ssrc << "</h4>camid: " << row.camid
              << ", frames count: " << row.view.frames.size() << ", url: " << row.url
              << ", mem: " << static_cast<double>(bytes) / 1048576.0 << "mb<ul>";
    for (const auto& f : row.view.frames) {
      if (!f.hasSlots) continue;
      resp.body << "<li>RTP timestamp: "
                << (f.timestamp == 0xFFFFFFFFu ? std::string("none") : std::to_string(f.timestamp))
                << ", last packet time: "
                << (f.lastUpdate == -1 ? std::string("none") : TimeToString(static_cast<std::uint64_t>(f.lastUpdate)))
                << ", packets count: " << f.count
                << ", expected: " << (f.expected == 0 ? std::string("unknown") : std::to_string(f.expected));
      if (f.oversize) resp.body << ", over " << (FrameAssembler::kMaxFrameBytes >> 20) << " MiB: dropped";
      if (full) {
        resp.body << "<table border=1 cellspacing=0 cellpadding=4><tr><td>seq</td><td>size</td><td>marker</td></tr>\n";
        for (const auto& p : f.packets)
          resp.body << "<tr><td>" << p.sequence << "</td><td>" << p.length << "</td><td>" << (p.marker ? 1 : 0)
                    << "</td></tr>\n";
        resp.body << "</table>";
      }
      resp.body << "</li>";
    }
    resp.body << "</ul>";
  }
  return 200;
}

int logPage(const HttpRequest& req, HttpResponse& resp) {
  // Route digits beyond any camera id are no camera.
  const std::string digits = req.match.size() > 1 ? std::string(req.match[1]) : std::string();
  if (digits.empty() || digits.size() > 9) return 404;
  const int id = std::stoi(digits);
  if (!kovira::hasCamera(id)) return 404;
  resp.body << RtspSession::CommunicationLogOf(static_cast<unsigned>(id));
  return 200;
}

void subscribe(HttpServer& server) {
  server.subscribe("^/debug/rtsp/buffer/$", bufferPage);
  server.subscribe("^/debug/cam([0-9]+)/rtsp\\.log$", logPage);
}

}  // namespace rtsp_pages
