#include "rtsp/session.h"

#include "capture/cam.h"
#include "rtsp/packetsbuffer.h"

Session::Session(unsigned camid_, PacketsBuffer* buffer, ClientPoint* receiver_, UdpSocket& rtp, UdpSocket& rtcp)
    : camid(camid_),
      receiver(receiver_),
      camera(&kovira::camera(static_cast<int>(camid_))),
      rtp_(std::make_unique<RtpSession>(buffer, &rtp, this)),
      rtcp_(std::make_unique<RtcpSession>(buffer, rtp_.get(), &rtcp)) {
  if (buffer != nullptr) buffer->AddRtcpBuffer(rtcp_.get());
}

Session::~Session() {
  rtcp_.reset();
  rtp_.reset();
}
