#include "rtsp/assembly.h"

#include "rtsp/util.h"

#include <algorithm>
#include <iterator>
#include <optional>

bool FrameAssembler::Add(const void* owner, std::unique_ptr<RtpPacket> packet, std::int64_t nowMs) {
  const auto [place, created] = streams_.try_emplace(Key{owner, packet->ssrc});
  Stream& stream = place->second;
  // A stream back from silence resumes wherever its sender is now: what
  // it sends before the next key frame refers to pictures never received.
  if (created && silenced_.erase(owner) > 0) stream.awaitKey = true;
  stream.lastDatagram = nowMs;
  auto it = std::find_if(stream.frames.begin(), stream.frames.end(),
                         [&](const Frame& f) { return f.timestamp == packet->timestamp; });
  if (it == stream.frames.end()) {
    if (stream.frames.size() >= kMaxOpenFrames) {
      const auto first = stream.frames.begin() + static_cast<std::ptrdiff_t>(oldest(stream.frames));
      Frame pushed = std::move(*first);
      stream.frames.erase(first);
      judge(owner, stream, pushed);
    }
    it = stream.frames.emplace(stream.frames.end());
    it->timestamp = packet->timestamp;
  }
  Frame& frame = *it;
  const std::uint16_t seq = packet->sequence;
  if (frame.count == 0 || static_cast<std::int16_t>(static_cast<std::uint16_t>(seq - frame.last)) > 0)
    frame.last = seq;
  if (frame.oversize) {
    ++frame.count;
    frame.lastUpdate = nowMs;
    return false;
  }
  if (frame.bytes + packet->data.size() > kMaxFrameBytes) {
    // Kept open (its later packets land here, not in a new frame) but
    // holding nothing: judged as oversize once it is quiet.
    frame.oversize = true;
    frame.slots.clear();
    frame.slots.shrink_to_fit();
    frame.bytes = 0;
    ++frame.count;
    frame.lastUpdate = nowMs;
    return false;
  }
  const std::size_t size = packet->data.size();
  if (frame.count == 0) {
    frame.base = seq;
    frame.slots.clear();
    frame.slots.push_back(std::move(packet));
  } else {
    const auto diff = static_cast<std::int16_t>(static_cast<std::uint16_t>(seq - frame.base));
    if (diff >= 0) {
      const auto index = static_cast<std::size_t>(diff);
      if (index >= kMaxFrameSpan) return false;
      if (frame.slots.size() <= index) frame.slots.resize(index + 1);
      if (frame.slots[index]) return false;  // duplicate
      frame.slots[index] = std::move(packet);
    } else {
      const auto shift = static_cast<std::size_t>(-diff);
      if (frame.slots.size() + shift > kMaxFrameSpan) return false;
      std::vector<std::unique_ptr<RtpPacket>> moved(shift);
      moved[0] = std::move(packet);
      frame.slots.insert(frame.slots.begin(), std::make_move_iterator(moved.begin()),
                         std::make_move_iterator(moved.end()));
      frame.base = seq;
    }
  }
  ++frame.count;
  frame.bytes += size;
  frame.lastUpdate = nowMs;
  return true;
}

// The frame whose packets were sent first (lowest sequence number, wraps
// allowed). Not the lowest timestamp: with B-frames the timestamp is the
// presentation time, and frames must leave in the order they are decoded.
std::size_t FrameAssembler::oldest(const std::vector<Frame>& frames) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < frames.size(); ++i)
    if (static_cast<std::int16_t>(static_cast<std::uint16_t>(frames[i].base - frames[best].base)) < 0) best = i;
  return best;
}

std::size_t FrameAssembler::openFrames() const {
  std::size_t n = 0;
  for (const auto& [key, stream] : streams_) n += stream.frames.size();
  return n;
}

bool FrameAssembler::Collect(std::int64_t nowMs) {
  bool processed = false;
  for (auto it = streams_.begin(); it != streams_.end();) {
    Stream& stream = it->second;
    if (!stream.frames.empty()) {
      const std::size_t i = oldest(stream.frames);
      if (nowMs >= stream.frames[i].lastUpdate + kQuietMs) {
        Frame frame = std::move(stream.frames[i]);
        stream.frames.erase(stream.frames.begin() + static_cast<std::ptrdiff_t>(i));
        judge(it->first.first, stream, frame);
        processed = true;
      }
    }
    if (stream.frames.empty() && nowMs - stream.lastDatagram > kSilentStreamMs) {
      silenced_.insert(it->first.first);
      it = streams_.erase(it);
      processed = true;
    } else {
      ++it;
    }
  }
  return processed;
}

void FrameAssembler::report(const void* owner, unsigned packets, Drop why) const {
  if (sink_.dropped) sink_.dropped(owner, packets, why);
}

void FrameAssembler::judge(const void* owner, Stream& stream, Frame& frame) {
  std::optional<std::size_t> marker;
  for (std::size_t i = 0; i < frame.slots.size() && !marker; ++i)
    if (frame.slots[i] && frame.slots[i]->marker) marker = i;
  const bool started = !frame.oversize && !frame.slots.empty() && frame.slots[0] && frame.slots[0]->StartPacket();
  // 1. Continuity: packets between the frame judged before and this one
  //    never arrived. When both are whole at that edge, what is missing
  //    are whole frames: counted as one (how many cannot be told from the
  //    packets that did arrive).
  if (stream.judged) {
    const auto gap = static_cast<std::uint16_t>(frame.base - stream.nextSeq);
    if (gap != 0) {
      stream.awaitKey = true;
      if (gap <= kMaxLossRun && stream.endedClean && started) report(owner, 0, Drop::Missing);
    }
  }
  stream.judged = true;
  stream.endedClean = marker.has_value();
  stream.nextSeq = static_cast<std::uint16_t>((marker ? frame.base + *marker : frame.last) + 1u);

  // 2. Frames not delivered; later frames may refer to them.
  if (frame.oversize) {
    stream.awaitKey = true;
    report(owner, frame.count, Drop::Oversize);
    return;
  }
  // A frame needs its start packet in slot 0 and a marker packet.
  if (!started || !marker) {
    stream.awaitKey = true;
    report(owner, frame.count, Drop::Incomplete);
    return;
  }
  // 3. Loss in percent of what arrived; any loss drops the frame, so one
  //    missing packet is tolerated only in frames of more than 100 packets.
  unsigned received = 0;
  for (std::size_t i = 0; i <= *marker; ++i) received += frame.slots[i] ? 1u : 0u;
  const auto expected = static_cast<unsigned>(*marker + 1);
  if ((expected - received) * 100 / received > 0) {
    stream.awaitKey = true;
    report(owner, received, Drop::Gap);
    return;
  }
  // 4. Payloads in order; a tolerated gap is filled with zero bytes of the
  //    running average packet size (decoders conceal such small holes).
  bytes_.clear();
  AssembledFrame out;
  out.type = frame.slots[0]->GetFrameType();
  out.timestamp = frame.timestamp;
  out.ssrc = frame.slots[0]->ssrc;
  std::size_t total = 0;
  for (std::size_t i = 0; i <= *marker; ++i) {
    const RtpPacket* p = frame.slots[i].get();
    if (p == nullptr) {
      bytes_.insert(bytes_.end(), total / (i + 1), 0);
      continue;
    }
    if (!p->ParsePayload(bytes_)) {  // abandoned, not counted
      stream.awaitKey = true;
      return;
    }
    if (p->width != 0) {
      out.width = p->width;
      out.height = p->height;
    }
    if (p->GetFrameType() == FRAME_I) out.type = FRAME_I;
    total += p->data.size();
  }
  frame.slots[*marker]->FinishFrame(bytes_);
  if (kovira::isH264(out.type)) out.type = H264FrameType(bytes_, out.type);
  out.bytes = &bytes_;
  deliver(owner, stream, received, out);
}

void FrameAssembler::deliver(const void* owner, Stream& stream, unsigned packets, const AssembledFrame& out) {
  if (kovira::isH264(out.type) && stream.awaitKey) {
    if (out.type != FRAME_I) {
      report(owner, packets, Drop::AfterLoss);
      return;
    }
    stream.awaitKey = false;
  }
  if (sink_.frame) sink_.frame(owner, out);
}

bool FindSpsPictureSize(std::span<const std::uint8_t> au, unsigned& width, unsigned& height,
                        unsigned& chroma_format_idc) {
  constexpr std::size_t kMaxSps = 1024;
  for (std::size_t i = 0; i + 4 < au.size(); ++i) {
    if (au[i] != 0 || au[i + 1] != 0 || au[i + 2] != 0 || au[i + 3] != 1) continue;
    if ((au[i + 4] & 0x1Fu) != 7) continue;
    // The set's bytes up to the next start code, emulation prevention
    // (00 00 03) removed.
    std::vector<std::uint8_t> rbsp;
    int zeros = 0;
    for (std::size_t j = i + 5; j < au.size() && rbsp.size() < kMaxSps; ++j) {
      if (zeros >= 2 && au[j] == 3) {
        zeros = 0;
        continue;
      }
      if (j + 3 < au.size() && au[j] == 0 && au[j + 1] == 0 && (au[j + 2] == 1 || (au[j + 2] == 0 && au[j + 3] == 1)))
        break;
      zeros = au[j] == 0 ? zeros + 1 : 0;
      rbsp.push_back(au[j]);
    }
    return ParseSps(rbsp, width, height, chroma_format_idc);
  }
  return false;
}

std::vector<FrameAssembler::StreamView> FrameAssembler::Snapshot() const {
  std::vector<StreamView> out;
  for (const auto& [key, stream] : streams_) {
    StreamView view{key.first, key.second, {}};
    for (const Frame& f : stream.frames) {
      FrameView fv;
      fv.timestamp = f.timestamp;
      fv.lastUpdate = f.lastUpdate;
      fv.count = f.count;
      fv.hasSlots = !f.slots.empty() || f.oversize;
      fv.oversize = f.oversize;
      for (const auto& p : f.slots) {
        if (!p) continue;
        fv.packets.push_back({p->sequence, p->payloadLength, p->marker});
        fv.bytes += p->data.size();
        if (p->marker && !f.slots.empty() && f.slots[0])
          fv.expected = static_cast<std::uint16_t>(p->sequence - f.slots[0]->sequence) + 1u;
      }
      view.frames.push_back(std::move(fv));
    }
    out.push_back(std::move(view));
  }
  return out;
}
