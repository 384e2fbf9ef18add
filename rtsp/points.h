// Frame and state delivery points: a publish/subscribe base through which
// the receiver hands assembled frames and connection states to consumers.
// A point has an identity (1 receiver, 3 decoder, 4 file writer, 8 frame
// statistics); subscriptions are keyed by (identity, camera id), and camera
// id 99 subscribes to the frames of every camera.
//
// Threads: PublishFrame runs on the RTP assembly thread and
// PublishReceiverState on the thread that changed a connection; each calls
// its callbacks while holding its list's mutex, so a callback must not
// subscribe or unsubscribe on the same publisher. A point unsubscribes from
// every publisher in its destructor; publishers must outlive subscribers.
#pragma once

#include "capture/frametypes.h"
#include "capture/receiver.h"
#include "rtsp/util.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

struct State {
  ReceiverState state = ReceiverStateNone;
  ReceiverError error = ReceiverErrorNone;
  std::uint64_t time = 0;  // NowMs() when reported
  std::uint32_t camid = 0;
};

// (camid, type, width, height, RTP timestamp, NTP seconds or 0.0, data, size)
using FrameCallback =
    std::function<void(unsigned, FrameType, unsigned, unsigned, unsigned, double, unsigned char*, unsigned)>;
using StateCallback = std::function<void(const State&)>;

struct FramesSubscriber {
  unsigned client;
  unsigned camid;
  FrameCallback callback;
};
struct StatesSubscriber {
  unsigned client;
  unsigned camid;
  StateCallback callback;
};

class ClientPoint {
 public:
  static constexpr unsigned kAllCameras = 99;

  explicit ClientPoint(unsigned id) : id_(id) {}
  virtual ~ClientPoint();
  ClientPoint(const ClientPoint&) = delete;
  ClientPoint& operator=(const ClientPoint&) = delete;

  // Subscriber side: this point subscribes to / leaves publisher.
  virtual void Subscribe(ClientPoint* publisher, unsigned camid);
  virtual void SubscribeFrames(ClientPoint* publisher, unsigned camid);
  virtual void UnsubscribeFrames(ClientPoint* publisher, unsigned camid);
  virtual void UnsubscribeFrames();
  virtual void SubscribeStates(ClientPoint* publisher, unsigned camid);
  virtual void UnsubscribeStates(ClientPoint* publisher, unsigned camid);
  virtual void UnsubscribeStates();

  // Publisher side.
  virtual void PublishFrame(unsigned camid, FrameType type, unsigned width, unsigned height, unsigned timestamp,
                            double ntp, unsigned char* data, unsigned size);
  virtual void PublishReceiverState(const State& state);
  virtual void Start() {}
  // Adds (client, camid) unless present; the first callback stays.
  virtual void SubscribeFrames(unsigned client, unsigned camid, FrameCallback callback);
  virtual void UnsubscribeFrames(unsigned client, unsigned camid);
  virtual void UnsubscribeFrames(unsigned client);
  virtual void SubscribeStates(unsigned client, unsigned camid, StateCallback callback);
  virtual void UnsubscribeStates(unsigned client, unsigned camid);
  virtual void UnsubscribeStates(unsigned client);

  // What a subscribed point does with what it receives.
  virtual void FramesCallback(unsigned /*camid*/, FrameType /*type*/, unsigned /*width*/, unsigned /*height*/,
                              unsigned /*timestamp*/, double /*ntp*/, unsigned char* /*data*/, unsigned /*size*/) {}
  virtual void StatesCallback(const State& /*state*/) {}

  unsigned id() const { return id_; }

 private:
  void remember(ClientPoint* publisher);

  const unsigned id_;
  std::mutex publishersMutex_;
  std::vector<ClientPoint*> publishers_;  // guarded by publishersMutex_
  std::mutex framesMutex_;
  std::vector<FramesSubscriber> frames_;  // guarded by framesMutex_
  std::mutex statesMutex_;
  std::vector<StatesSubscriber> states_;  // guarded by statesMutex_
};

// The point that assembled frames are delivered to (identity 1): plain
// callbacks first, in subscription order, then the published subscribers.
// An H.264 key frame without parameter sets in front (the I frame of an
// open GOP: file playback and RTP payloaders repeat the sets only before
// IDR frames; cameras that carry their sets only in the SDP send none)
// gets the camera's known ones, so that every stored group can be decoded
// on its own. The known sets are the last a key frame carried in band, or
// those of the camera's last description when that came later.
//
// setsMutex_ is taken alone and nothing is called while it is held:
// DeliverFrame takes it on the assembly thread (RTP mutex held),
// KnowParameterSets on a control session's response thread (its mutex
// held).
class ReceiverPoint : public ClientPoint {
 public:
  ReceiverPoint() : ClientPoint(1) {}

  void SimpleSubscribe(SimpleFrameCallback callback);
  void DeliverFrame(unsigned camid, FrameType type, unsigned chroma, unsigned width, unsigned height,
                    unsigned timestamp, double ntp, unsigned char* data, unsigned size);
  // sets (SPS and PPS NAL units, each after a start code) become the
  // camera's known sets, replacing any seen before.
  void KnowParameterSets(unsigned camid, std::vector<std::uint8_t> sets);

 private:
  std::mutex simpleMutex_;
  std::vector<SimpleFrameCallback> simple_;  // guarded by simpleMutex_
  std::mutex setsMutex_;
  std::map<unsigned, std::vector<std::uint8_t>> parameterSets_;  // by camera, guarded by setsMutex_
};
