#include "rtsp/points.h"

#include <algorithm>
#include <optional>
#include <span>

ClientPoint::~ClientPoint() {
  std::vector<ClientPoint*> publishers;
  {
    std::lock_guard lock(publishersMutex_);
    publishers = publishers_;
  }
  for (ClientPoint* p : publishers) p->UnsubscribeFrames(id_);
  for (ClientPoint* p : publishers) p->UnsubscribeStates(id_);
}

void ClientPoint::remember(ClientPoint* publisher) {
  std::lock_guard lock(publishersMutex_);
  if (std::find(publishers_.begin(), publishers_.end(), publisher) == publishers_.end())
    publishers_.push_back(publisher);
}

void ClientPoint::Subscribe(ClientPoint* /*publisher*/, unsigned /*camid*/) {}

void ClientPoint::SubscribeFrames(ClientPoint* publisher, unsigned camid) {
  if (publisher == nullptr) return;
  remember(publisher);
  publisher->SubscribeFrames(id_, camid,
                             [this](unsigned c, FrameType t, unsigned w, unsigned h, unsigned ts, double ntp,
                                    unsigned char* d, unsigned n) { FramesCallback(c, t, w, h, ts, ntp, d, n); });
}

void ClientPoint::UnsubscribeFrames(ClientPoint* publisher, unsigned camid) {
  if (publisher != nullptr) publisher->UnsubscribeFrames(id_, camid);
}

void ClientPoint::UnsubscribeFrames() {
  std::lock_guard lock(publishersMutex_);
  for (ClientPoint* p : publishers_) p->UnsubscribeFrames(id_);
}

void ClientPoint::SubscribeStates(ClientPoint* publisher, unsigned camid) {
  if (publisher == nullptr) return;
  remember(publisher);
  publisher->SubscribeStates(id_, camid, [this](const State& s) { StatesCallback(s); });
}

void ClientPoint::UnsubscribeStates(ClientPoint* publisher, unsigned camid) {
  if (publisher != nullptr) publisher->UnsubscribeStates(id_, camid);
}

void ClientPoint::UnsubscribeStates() {
  std::lock_guard lock(publishersMutex_);
  for (ClientPoint* p : publishers_) p->UnsubscribeStates(id_);
}

void ClientPoint::PublishFrame(unsigned camid, FrameType type, unsigned width, unsigned height, unsigned timestamp,
                               double ntp, unsigned char* data, unsigned size) {
  std::lock_guard lock(framesMutex_);
  for (const FramesSubscriber& s : frames_)
    if (s.camid == camid || s.camid == kAllCameras) s.callback(camid, type, width, height, timestamp, ntp, data, size);
}

void ClientPoint::PublishReceiverState(const State& state) {
  std::lock_guard lock(statesMutex_);
  for (const StatesSubscriber& s : states_)
    if (s.camid == state.camid) s.callback(state);
}

namespace {

// The frame and state lists follow the same rules: one entry per
// (client, camera), the first callback stays.
template <typename Subscriber, typename Callback>
void addOnce(std::mutex& mutex, std::vector<Subscriber>& list, unsigned client, unsigned camid, Callback callback) {
  std::lock_guard lock(mutex);
  if (std::none_of(list.begin(), list.end(), [&](const auto& s) { return s.client == client && s.camid == camid; }))
    list.push_back({client, camid, std::move(callback)});
}

// Removes the client's entries: of one camera, or all when camid is empty.
template <typename Subscriber>
void remove(std::mutex& mutex, std::vector<Subscriber>& list, unsigned client, std::optional<unsigned> camid) {
  std::lock_guard lock(mutex);
  std::erase_if(list, [&](const auto& s) { return s.client == client && (!camid || s.camid == *camid); });
}

}  // namespace

void ClientPoint::SubscribeFrames(unsigned client, unsigned camid, FrameCallback callback) {
  addOnce(framesMutex_, frames_, client, camid, std::move(callback));
}
void ClientPoint::UnsubscribeFrames(unsigned client, unsigned camid) { remove(framesMutex_, frames_, client, camid); }
void ClientPoint::UnsubscribeFrames(unsigned client) { remove(framesMutex_, frames_, client, std::nullopt); }
void ClientPoint::SubscribeStates(unsigned client, unsigned camid, StateCallback callback) {
  addOnce(statesMutex_, states_, client, camid, std::move(callback));
}
void ClientPoint::UnsubscribeStates(unsigned client, unsigned camid) { remove(statesMutex_, states_, client, camid); }
void ClientPoint::UnsubscribeStates(unsigned client) { remove(statesMutex_, states_, client, std::nullopt); }

void ReceiverPoint::SimpleSubscribe(SimpleFrameCallback callback) {
  std::lock_guard lock(simpleMutex_);
  simple_.push_back(callback);
}

void ReceiverPoint::KnowParameterSets(unsigned camid, std::vector<std::uint8_t> sets) {
  std::lock_guard lock(setsMutex_);
  parameterSets_[camid] = std::move(sets);
}

void ReceiverPoint::DeliverFrame(unsigned camid, FrameType type, unsigned chroma, unsigned width, unsigned height,
                                 unsigned timestamp, double ntp, unsigned char* data, unsigned size) {
  std::vector<unsigned char> repaired;
  if (type == FRAME_I && data != nullptr) {
    const H264ParameterSets sets = H264LeadingParameterSets(std::span<const std::uint8_t>(data, size));
    std::lock_guard lock(setsMutex_);
    std::vector<std::uint8_t>& last = parameterSets_[camid];
    if (sets.sps && sets.pps) {
      last = sets.bytes;
    } else if (!sets.sps && !last.empty()) {
      repaired.reserve(last.size() + size);
      repaired.insert(repaired.end(), last.begin(), last.end());
      repaired.insert(repaired.end(), data, data + size);
      data = repaired.data();
      size = static_cast<unsigned>(repaired.size());
    }
  }
  {
    std::lock_guard lock(simpleMutex_);
    for (SimpleFrameCallback cb : simple_)
      cb(static_cast<int>(camid), type, static_cast<int>(chroma), static_cast<int>(width), static_cast<int>(height),
         timestamp, data, size);
  }
  PublishFrame(camid, type, width, height, timestamp, ntp, data, size);
}
