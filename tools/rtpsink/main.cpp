// rtpsink: the receiver's transport without RTSP control. It binds UDP 8000
// (RTP) and 8001 (RTCP), registers one session per --cam as a SETUP reply
// would (remote RTP and RTCP ends, receiver reports, the path-opening
// datagram), prints a line per assembled frame and optionally appends the
// frames to a file.
//
//   rtpsink --cam ID:h264|jpeg:PT:HOST:RTPPORT:RTCPPORT [--cam ...]
//           [--out FILE] [--seconds N]
//
// A line per frame: "frame cam=ID type=I size=N 640x480 rtp=TS ntp=SECONDS";
// at the end, per camera: "cam ID frames=N dropframes=N datagrams=N".
// Exit status 0, or 2 on a bad argument, 1 when a port cannot be bound.
#include "capture/cam.h"
#include "core/clock.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/points.h"
#include "rtsp/session.h"
#include "rtsp/sockets.h"
#include "rtsp/util.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> interrupted{false};

struct CamArg {
  unsigned id = 0;
  CodecType codec = CodecUnknown;
  unsigned payloadType = 0;
  std::string host;
  unsigned rtpPort = 0;
  unsigned rtcpPort = 0;
};

bool parseCam(const std::string& text, CamArg& cam) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
  if (parts.size() != 6) return false;
  try {
    cam.id = static_cast<unsigned>(std::stoul(parts[0]));
    cam.codec = parts[1] == "h264" ? CodecH264 : parts[1] == "jpeg" ? CodecJpeg : CodecUnknown;
    cam.payloadType = static_cast<unsigned>(std::stoul(parts[2]));
    cam.host = parts[3];
    cam.rtpPort = static_cast<unsigned>(std::stoul(parts[4]));
    cam.rtcpPort = static_cast<unsigned>(std::stoul(parts[5]));
  } catch (const std::exception&) {
    return false;
  }
  return cam.id > 0 && cam.codec != CodecUnknown && cam.payloadType < 128 && cam.rtpPort > 0 && cam.rtpPort < 65536 &&
         cam.rtcpPort < 65536 && !cam.host.empty();
}

int usage() {
  std::cerr << "usage: rtpsink --cam ID:h264|jpeg:PT:HOST:RTPPORT:RTCPPORT [--cam ...] [--out FILE] [--seconds N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<CamArg> cams;
  std::string outPath;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (arg == "--cam") {
      CamArg cam;
      if (!parseCam(value, cam)) return usage();
      cams.push_back(cam);
    } else if (arg == "--out") {
      outPath = value;
    } else if (arg == "--seconds") {
      try {
        seconds = std::stod(value);
      } catch (const std::exception&) {
        return usage();
      }
    } else {
      return usage();
    }
  }
  if (cams.empty()) return usage();
  std::signal(SIGINT, [](int) { interrupted = true; });
  std::signal(SIGTERM, [](int) { interrupted = true; });

  for (const CamArg& c : cams)
    if (!kovira::hasCamera(static_cast<int>(c.id))) kovira::addCamera(static_cast<int>(c.id), 1 << 16);

  std::mutex outMutex;
  std::ofstream out;
  if (!outPath.empty()) {
    out.open(outPath, std::ios::binary | std::ios::trunc);
    if (!out) {
      std::cerr << "rtpsink: cannot write " << outPath << "\n";
      return 2;
    }
  }
  std::map<unsigned, unsigned> frames;  // guarded by outMutex

  ReceiverPoint point;
  point.SubscribeFrames(1, ClientPoint::kAllCameras,
                        [&](unsigned camid, FrameType type, unsigned w, unsigned h, unsigned ts, double ntp,
                            unsigned char* data, unsigned size) {
                          std::lock_guard lock(outMutex);
                          ++frames[camid];
                          char line[160];
                          std::snprintf(line, sizeof line, "frame cam=%u type=%s size=%u %ux%u rtp=%u ntp=%.6f\n",
                                        camid, FrameTypeToString(type).c_str(), size, w, h, ts, ntp);
                          std::cout << line << std::flush;
                          if (out) out.write(reinterpret_cast<const char*>(data), size);
                        });

  auto buffer = std::make_unique<PacketsBuffer>(&point);
  auto rtp = std::make_unique<UdpSocket>(buffer.get(), [b = buffer.get()](unsigned char* d, unsigned n, UdpSession* s, std::int64_t at) {
    b->WriteRtpBuffer(d, n, s, at);
  });
  auto rtcp = std::make_unique<UdpSocket>(buffer.get(), [b = buffer.get()](unsigned char* d, unsigned n, UdpSession* s, std::int64_t) {
    b->WriteRtcpBuffer(d, n, s);
  });
  if (!rtp->Bind(8000) || !rtcp->Bind(8001)) {
    std::cerr << "rtpsink: cannot bind UDP ports 8000 and 8001\n";
    return 1;
  }

  std::vector<std::unique_ptr<Session>> sessions;
  for (const CamArg& c : cams) {
    auto s = std::make_unique<Session>(c.id, buffer.get(), &point, *rtp, *rtcp);
    s->rtp().payloadType = c.payloadType;
    s->rtp().codec = c.codec;
    s->rtp().SetRemoteAddress(c.host, c.rtpPort);
    if (c.rtcpPort != 0) {
      s->rtcp().SetRemoteAddress(c.host, c.rtcpPort);
      s->rtcp().Stop();
      s->rtcp().Start();
      s->rtcp().SendEmptyReport();
    }
    // Opens the path from the camera to our RTP port through NAT and firewalls.
    s->rtp().Send(std::vector<unsigned char>{0xCE, 0xFA, 0xFD, 0xFE});
    sessions.push_back(std::move(s));
  }
  std::cout << "listening on 8000/8001" << std::endl;

  const std::int64_t end = seconds > 0 ? NowMs() + static_cast<std::int64_t>(seconds * 1000) : 0;
  while (!interrupted && (end == 0 || NowMs() < end)) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  // The sessions' own threads first (their RTCP reports go out through the
  // sockets), then the writers: sockets, then the assembly (which still
  // delivers what is complete), then the sessions.
  for (const auto& s : sessions) s->Stop();
  rtp.reset();
  rtcp.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(FrameAssembler::kQuietMs + 50));
  while (buffer->ParseRtpBuffer()) {
  }
  buffer.reset();
  std::lock_guard lock(outMutex);
  for (const auto& s : sessions)
    std::cout << "cam " << s->camid << " frames=" << frames[s->camid] << " dropframes=" << s->camera->dropframes
              << " datagrams=" << s->rtp().datagrams << std::endl;
  sessions.clear();
  return 0;
}
