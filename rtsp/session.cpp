#include "rtsp/session.h"

#include "capture/cam.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/rtsp_session.h"

Session::Session(unsigned camid_, PacketsBuffer* buffer, ClientPoint* receiver_, UdpSocket& rtp, UdpSocket& rtcp)
    : camid(camid_),
      receiver(receiver_),
      camera(&kovira::camera(static_cast<int>(camid_))),
      rtp_(std::make_unique<RtpSession>(buffer, &rtp, this)),
      rtcp_(std::make_unique<RtcpSession>(buffer, rtp_.get(), &rtcp)) {
  if (buffer != nullptr) buffer->AddRtcpBuffer(rtcp_.get());
  rtsp_ = std::make_unique<RtspSession>(buffer, this);
}

bool Session::Connect(const std::string& url) { return rtsp_->Setup(url); }
bool Session::Play() { return rtsp_->Play(); }

bool Session::Disconnect() {
  if (rtsp_->Disconnect()) rtcp_->Stop();
  return true;
}

Session::~Session() {
  rtsp_.reset();
  rtcp_.reset();
  rtp_.reset();
}
