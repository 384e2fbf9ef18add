#include "rtsp/session.h"

#include "capture/cam.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/rtsp_session.h"

static_assert(Session::kDefaultWatchdogSeconds == RtspSession::kWatchdogSeconds);

Session::Session(unsigned camid_, PacketsBuffer* buffer, ReceiverPoint* receiver_, UdpSocket& rtp, UdpSocket& rtcp,
                 std::int64_t watchdogSeconds)
    : camid(camid_),
      receiver(receiver_),
      camera(&kovira::camera(static_cast<int>(camid_))),
      rtp_(std::make_unique<RtpSession>(buffer, &rtp, this)),
      rtcp_(std::make_unique<RtcpSession>(buffer, rtp_.get(), &rtcp)) {
  if (buffer != nullptr) buffer->AddRtcpBuffer(rtcp_.get());
  rtsp_ = std::make_unique<RtspSession>(buffer, this, watchdogSeconds);
}

bool Session::Connect(const std::string& url) { return rtsp_->Setup(url); }
bool Session::Play() { return rtsp_->Play(); }

bool Session::Disconnect() {
  if (rtsp_->Disconnect()) rtcp_->Stop();
  return true;
}

void Session::Stop() {
  // Control first: a SETUP reply it handles would start the reports again.
  rtsp_->Stop();
  rtcp_->Stop();
}

Session::~Session() {
  rtsp_.reset();
  rtcp_.reset();
  rtp_.reset();
}
