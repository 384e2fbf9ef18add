#include "rtsp/rtsp_session.h"

#include "capture/cam.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/log.h"
#include "core/threads.h"
#include "rtsp/h264_nal.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/points.h"
#include "rtsp/rtcp.h"
#include "rtsp/session.h"

#include <chrono>
#include <exception>
#include <span>
#include <vector>

namespace {

// Guards every camera's communication log text: the response threads
// append, the log page reads.
std::mutex& logMutex() {
  static std::mutex m;
  return m;
}

// The description's SPS and PPS (RFC 6184 8.1 sprop-parameter-sets) as
// they stand before a key frame in the frame store: each NAL unit after a
// four-byte start code. Empty unless both are there, each is the kind of
// NAL unit it stands for and the SPS gives a picture size: a set the
// decoder cannot use is worth less than none.
std::vector<std::uint8_t> describedParameterSets(const RtspProtocol::DescribeResponse::Media& video) {
  constexpr std::uint8_t kNalSps = 7, kNalPps = 8;
  const auto bytes = [](const std::string& set) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(set.data()), set.size());
  };
  const std::span<const std::uint8_t> sps = bytes(video.sps), pps = bytes(video.pps);
  if (sps.size() < 2 || pps.size() < 2 || (sps[0] & 0x1Fu) != kNalSps || (pps[0] & 0x1Fu) != kNalPps) return {};
  if (sps.size() + pps.size() + 8 > kMaxParameterSetBytes) return {};
  unsigned width = 0, height = 0, chroma = 0;
  if (!H264SpsPictureSize(sps, width, height, chroma)) return {};
  std::vector<std::uint8_t> sets;
  for (const auto set : {sps, pps}) {
    sets.insert(sets.end(), {0, 0, 0, 1});
    sets.insert(sets.end(), set.begin(), set.end());
  }
  return sets;
}

}  // namespace

RtspSession::RtspSession(PacketsBuffer* buffer, Session* session, std::int64_t watchdogSeconds)
    : buffer_(buffer),
      watchdogSeconds_(watchdogSeconds),
      session_(session),
      receiver_(session->receiver),
      tcp_(buffer, this) {
  if (buffer_ != nullptr) replies_ = &buffer_->AddRtspBuffer(this, [this] { Stop(); });
  thread_ = std::thread(&RtspSession::ResponseThread, this);
  thread_name(thread_, "rtsp-control");
}

RtspSession::~RtspSession() { Stop(); }

void RtspSession::Stop() {
  std::lock_guard lock(stopMutex_);
  if (!thread_.joinable()) return;
  stop_ = true;
  // Wakes the thread out of its wait for replies.
  if (replies_ != nullptr) replies_->AddPacket(nullptr);
  thread_.join();
  tcp_.Disconnect();
}

std::string RtspSession::CommunicationLogOf(unsigned camid) {
  const auto it = kovira::findCamera(static_cast<int>(camid));
  if (it == kovira::cameras().end()) return {};
  std::lock_guard lock(logMutex());
  return it->rtspLog;
}

void RtspSession::CommunicationLog(const std::string& text) {
  std::lock_guard lock(logMutex());
  AppendCommunicationLog(session_->camera->rtspLog, text);
}

void RtspSession::publish(ReceiverState state, ReceiverError error) {
  if (receiver_ == nullptr) return;
  receiver_->PublishReceiverState(State{state, error, static_cast<std::uint64_t>(NowMs()), session_->camid});
}

bool RtspSession::Setup(const std::string& url) {
  std::lock_guard lock(mutex_);
  return setupLocked(url);
}

// Called with mutex_ held.
bool RtspSession::setupLocked(const std::string& url) {
  url_ = url;
  log_info_format("Camera (camid=%d) trying to connect, url=%s", session_->camid, url.c_str());
  std::string user, password, host, path;
  unsigned port = kDefaultPort;
  if (!ParseRtspUrl(url, user, password, host, port, path)) return false;
  user_ = user;
  password_ = password;
  host_ = host;
  port_ = port;
  setupTime_ = NowSec();
  state_ = ReceiverStateConnecting;
  publish(ReceiverStateConnecting, ReceiverErrorNone);
  pending_.clear();
  playing_ = false;
  if (!tcp_.Connect(host_, static_cast<int>(port_))) {
    publish(ReceiverStateConnecting, ReceiverErrorConnection);
    return false;
  }
  // Bytes of the previous connection would cut the new replies wrongly.
  if (buffer_ != nullptr) buffer_->ClearRtspBuffer(this);
  log_info_format("Camera (camid=%d) successfully connected", session_->camid);
  streamUrl_.clear();
  aggregateUrl_.clear();
  authRetried_ = false;
  return send(Method::Options, url_, &RtspSession::ProcessOptionsResponse);
}

// Called with mutex_ held. The request is entered before it is sent (a
// fast reply finds it) and removed when sending fails.
bool RtspSession::send(Method method, const std::string& uri, Handler handler) {
  const unsigned cseq = ++cseq_;
  // Once a challenge was answered every request carries the credentials,
  // as servers that challenge SETUP and PLAY too expect.
  const bool authorize = method == Method::Describe || authRetried_;
  const std::string auth =
      authorize ? AuthorizationLine(authType_, user_, password_, realm_, nonce_, method, uri) : std::string();
  const std::string text = BuildRequest(method, uri, cseq, auth, sessionId_);
  CommunicationLog(text);
  pending_[cseq] = handler;
  if (tcp_.Send(text)) return true;
  pending_.erase(cseq);
  return false;
}

bool RtspSession::Play() {
  std::lock_guard lock(mutex_);
  if (aggregateUrl_.empty()) return false;
  return send(Method::Play, aggregateUrl_, &RtspSession::ProcessPlayResponse);
}

bool RtspSession::Teardown() {
  std::lock_guard lock(mutex_);
  if (aggregateUrl_.empty()) return false;
  return send(Method::Teardown, aggregateUrl_, &RtspSession::ProcessTeardownResponse);
}

bool RtspSession::Disconnect() {
  std::lock_guard lock(mutex_);
  const ReceiverState s = state_;
  if (s != ReceiverStateConnecting && s != ReceiverStateConnected) return false;
  state_ = ReceiverStateDisconnected;
  publish(ReceiverStateDisconnected, ReceiverErrorNone);
  return true;
}

bool RtspSession::ProcessOptionsResponse(const std::string& text) {
  if (state_ != ReceiverStateConnecting) return false;
  OptionsResponse r;
  if (!r.ParseResponse(text)) {
    publish(ReceiverStateConnecting, ReceiverErrorParseResponse);
    return false;
  }
  if (r.status == 200) return send(Method::Describe, url_, &RtspSession::ProcessDescribeResponse);
  publish(ReceiverStateConnecting, ReceiverErrorResponseNotOk);
  tcp_.Disconnect();
  return false;
}

bool RtspSession::ProcessDescribeResponse(const std::string& text) {
  if (state_ != ReceiverStateConnecting) return false;
  DescribeResponse r;
  if (!r.ParseResponse(text)) {
    publish(ReceiverStateConnecting, ReceiverErrorParseResponse);
    return false;
  }
  if (r.status == 401) {
    if (authRetried_) {
      publish(ReceiverStateConnecting, ReceiverErrorAuthentication);
      log_error("Authentication failed");
      return false;
    }
    authType_ = r.authType;
    realm_ = r.realm;
    nonce_ = r.nonce;
    authRetried_ = true;
    return send(Method::Describe, url_, &RtspSession::ProcessDescribeResponse);
  }
  if (r.status != 200) {
    publish(ReceiverStateConnecting, ReceiverErrorResponseNotOk);
    tcp_.Disconnect();
    return false;
  }
  baseUrl_ = r.baseUrl;
  RtpSession& rtp = session_->rtp();
  rtp.codec = CodecUnknown;
  const DescribeResponse::Media* video = nullptr;
  for (const auto& m : r.media)
    if (m.type == 2) {
      video = &m;
      break;
    }
  // What the receiver cannot take is refused here, before SETUP: a stream
  // set up anyway never yields a frame and the camera would look connected.
  if (video == nullptr || video->codec == CodecUnknown) {
    refuse("no H.264 or JPEG video in the description");
    return false;
  }
  if (video->payloadType < 0 || video->payloadType > 127) {
    refuse("payload type " + std::to_string(video->payloadType) + " is outside 0-127");
    return false;
  }
  rtp.payloadType = static_cast<std::uint32_t>(video->payloadType);
  rtp.codec = video->codec;
  if (video->codec == CodecJpeg && video->frameSize[1] != 0 && video->frameSize[2] != 0) {
    session_->width = video->frameSize[1];
    session_->height = video->frameSize[2];
  }
  if (video->sps.size() > 1) {
    unsigned w = 0, h = 0, chroma = 0;
    const auto* p = reinterpret_cast<const std::uint8_t*>(video->sps.data());
    if (H264SpsPictureSize(std::span<const std::uint8_t>(p, video->sps.size()), w, h, chroma)) {
      session_->width = w;
      session_->height = h;
    }
  }
  // Cameras that carry their sets only here send key frames without them:
  // each set-up makes these the camera's known sets.
  if (video->codec == CodecH264 && receiver_ != nullptr) {
    std::vector<std::uint8_t> sets = describedParameterSets(*video);
    if (!sets.empty()) receiver_->KnowParameterSets(session_->camid, std::move(sets));
  }
  // Relative controls resolve against Content-Base, else Content-Location,
  // else the request URL; a session-level control names the aggregate URL.
  const std::string base = baseUrl_.empty() ? url_ : baseUrl_;
  streamUrl_ = ResolveUrl(base, video->control);
  aggregateUrl_ = r.hasSessionControl ? ResolveUrl(base, r.sessionControl) : streamUrl_;
  return send(Method::Setup, streamUrl_, &RtspSession::ProcessSetupResponse);
}

bool RtspSession::ProcessSetupResponse(const std::string& text) {
  if (state_ != ReceiverStateConnecting) return false;
  SetupResponse r;
  if (!r.ParseResponse(text)) {
    publish(ReceiverStateConnecting, ReceiverErrorParseResponse);
    return false;
  }
  if (r.status != 200) {
    publish(ReceiverStateConnecting, ReceiverErrorResponseNotOk);
    tcp_.Disconnect();
    return false;
  }
  sessionId_ = r.sessionId;
  {
    std::lock_guard lock(refusalMutex_);
    refusal_.clear();
  }
  keepAlivePeriod_ = (r.timeout != 0 ? static_cast<std::int64_t>(r.timeout) : kDefaultSessionTimeout) / 2;
  if (keepAlivePeriod_ < 1) keepAlivePeriod_ = 1;
  state_ = ReceiverStateConnected;
  publish(ReceiverStateConnected, ReceiverErrorNone);
  if (r.serverRtpPort == 0) {
    publish(ReceiverStateConnecting, ReceiverErrorRtpServerPortNotFound);
    return false;
  }
  const std::string address = r.source.empty() ? host_ : r.source;
  session_->rtp().SetRemoteAddress(address, r.serverRtpPort);
  if (r.serverRtcpPort != 0) {
    session_->rtcp().SetRemoteAddress(address, r.serverRtcpPort);
    session_->rtcp().Stop();
    session_->rtcp().Start();
    session_->rtcp().SendEmptyReport();
  }
  // Opens the path from the camera to local port 8000 through NAT and
  // firewalls before the stream starts.
  session_->rtp().Send(std::vector<unsigned char>{0xCE, 0xFA, 0xFD, 0xFE});
  log_info_format("Camera (camid=%d) setup responce successfully processed", session_->camid);
  return send(Method::Play, aggregateUrl_, &RtspSession::ProcessPlayResponse);
}

// Called with mutex_ held.
void RtspSession::refuse(const std::string& reason) {
  publish(ReceiverStateConnecting, ReceiverErrorCodecNotFound);
  tcp_.Disconnect();
  {
    std::lock_guard lock(refusalMutex_);
    // One line per reason, not one per reconnect.
    if (refusal_ == reason) return;
    refusal_ = reason;
  }
  log_error_format("Camera (camid=%u) stream refused: %s", session_->camid, reason.c_str());
  consoleLine("[ERR] camera " + std::to_string(session_->camid) + ": stream refused: " + reason);
}

std::string RtspSession::refusal() const {
  std::lock_guard lock(refusalMutex_);
  return refusal_;
}

bool RtspSession::plainReply(const std::string& text) {
  Response r;
  if (!r.ParseResponse(text)) {
    publish(ReceiverStateConnecting, ReceiverErrorParseResponse);
    return false;
  }
  if (r.status == 200) return true;
  publish(ReceiverStateConnecting, ReceiverErrorResponseNotOk);
  return false;
}

bool RtspSession::ProcessPlayResponse(const std::string& text) {
  if (state_ != ReceiverStateConnected || !plainReply(text)) return false;
  playing_ = true;
  lastKeepAlive_ = NowSec();
  return send(Method::GetParameter, aggregateUrl_, &RtspSession::ProcessGetParameterResponse);
}

bool RtspSession::ProcessGetParameterResponse(const std::string& text) {
  if (state_ != ReceiverStateConnected) return false;
  return plainReply(text);
}

bool RtspSession::ProcessTeardownResponse(const std::string& text) {
  if (state_ != ReceiverStateConnected) return false;
  Response r;
  const bool ok = r.ParseResponse(text) && r.status == 200;
  state_ = ReceiverStateDisconnected;
  publish(ReceiverStateDisconnected, ok ? ReceiverErrorNone : ReceiverErrorParseResponse);
  session_->rtcp().Stop();
  return ok;
}

void RtspSession::ResponseThread() {
  while (!stop_) {
    try {
      std::deque<std::unique_ptr<RtspPacket>> replies;
      if (replies_ != nullptr) {
        replies = replies_->Take(std::chrono::seconds(1));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      if (stop_) break;
      std::lock_guard lock(mutex_);
      for (const auto& reply : replies) {
        if (!reply) continue;
        const auto it = pending_.find(static_cast<unsigned>(reply->cseq));
        if (it == pending_.end()) continue;
        const Handler handler = it->second;
        pending_.erase(it);
        CommunicationLog(reply->text);
        (this->*handler)(reply->text);
      }
      watchdog();
    } catch (const std::exception& e) {
      log_error_format("Camera (camid=%d) control session: %s", session_->camid, e.what());
    }
  }
}

// Called with mutex_ held.
void RtspSession::watchdog() {
  const std::int64_t now = NowSec();
  if (state_ == ReceiverStateDisconnected) return;
  const std::int64_t last = std::max<std::int64_t>(session_->rtp().lastDatagram.load(), setupTime_);
  if (static_cast<std::uint32_t>(now - last) >= watchdogSeconds_) {
    pending_.clear();
    setupTime_ = now;
    session_->rtp().lastDatagram = now;
    setupLocked(url_);
    return;
  }
  // Servers expire sessions that hear nothing within their timeout.
  if (playing_ && state_ == ReceiverStateConnected && keepAlivePeriod_ > 0 && now - lastKeepAlive_ >= keepAlivePeriod_) {
    lastKeepAlive_ = now;
    send(Method::GetParameter, aggregateUrl_, &RtspSession::ProcessGetParameterResponse);
  }
}
