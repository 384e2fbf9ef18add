// RtspReceiver: the process-wide receiver of network cameras (RTSP/RTP) and
// of local video file playback, as the camera start-up code sees it.
//
// This header holds only the calls that the cameras module makes: creating a
// session per camera, connecting it or playing a file into it,
// disconnecting it, and subscribing a plain frame callback. The receiver
// proper (its sessions, RTP assembly and threads) sits behind this
// interface.
//
// Lifetime: getrtsp() builds the receiver on its first call (thread-safe)
// and it lives until the exit path calls rtsp::shutdownReceiver(). Building it binds UDP ports 8000
// (RTP) and 8001 (RTCP); when a bind fails getrtsp() throws
// std::system_error and the next call tries again.
//
// Threading: every member may be called from any thread. Subscribed
// callbacks run on the receiver's threads; the data pointer they get is
// valid only during the call.
#pragma once

#include "capture/frametypes.h"

#include <functional>
#include <memory>
#include <string>

// (camera id, type, chroma, width, height, RTP time stamp, data, size).
// Chroma is the stream's chroma format for I and P frames, 0 otherwise;
// file playback passes time stamp 0 and chroma 0.
using SimpleFrameCallback = void (*)(int camid, FrameType type, int chroma, int width, int height,
                                     unsigned timestamp, unsigned char* data, unsigned long size);

class RtspNetworkReceiver;

class RtspReceiver {
 public:
  static constexpr unsigned short kRtpPort = 8000;
  static constexpr unsigned short kRtcpPort = 8001;

  virtual ~RtspReceiver() = default;

  // Creates the camera's session unless one exists. Throws the
  // std::logic_error of kovira::camera for an unknown id.
  virtual void AddSession(int camid) = 0;
  // Starts connecting the camera's session to url; false when the camera
  // has no session.
  virtual bool Connect(int camid, const std::string& url) = 0;
  // Starts playing the file at path into the camera at fps frames per
  // second; false when the camera has no session or already plays a file.
  virtual bool PlayFile(int camid, const std::string& path, unsigned fps) = 0;
  // Stops the camera's connection; false when the camera has no session.
  virtual bool Disconnect(int camid) = 0;
  // Stops the connection of every session, whatever the configuration now
  // says of its camera (one disabled or given another source at run time
  // still has its session and its threads).
  virtual void DisconnectAll() = 0;
  // Appends a frame callback; callbacks are never removed.
  virtual void SimpleSubscribe(SimpleFrameCallback callback) = 0;
};

// The process-wide receiver (see the header comment).
RtspReceiver& getrtsp();

namespace rtsp {

using ReceiverFactory = std::function<std::unique_ptr<RtspReceiver>()>;

// Test support: drops the current receiver (if built) and makes the next
// getrtsp() build its receiver with factory; an empty factory restores the
// product receiver. Only while no receiver thread delivers frames.
void replaceReceiverFactory(ReceiverFactory factory);

// Stops and joins every receiver thread and frees the receiver; no frame
// reaches a callback afterwards. A later getrtsp() builds a new one.
void shutdownReceiver();

// DisconnectAll on the receiver when one is built; never builds one (a
// receiver that failed at start-up has nothing to disconnect). False when
// there is none.
bool disconnectAll();

// Why the receiver refused the camera's stream ("" when it did not, or
// when no receiver is built), for the camera's page.
std::string refusalOf(int camid);

// Calls view with the product receiver when it is built (it is not built
// here), holding it meanwhile; false when there is none. For pages.
bool withProductReceiver(const std::function<void(RtspNetworkReceiver&)>& view);

}  // namespace rtsp
