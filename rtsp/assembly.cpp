#include "rtsp/assembly.h"

#include "rtsp/h264_nal.h"
#include "rtsp/util.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>

namespace {

// How far b lies after a in sequence numbers (mod 2^16).
std::uint16_t seqAfter(std::uint16_t a, std::uint16_t b) { return static_cast<std::uint16_t>(b - a); }

}  // namespace

bool FrameAssembler::Add(const void* owner, std::unique_ptr<RtpPacket> packet, std::int64_t nowMs) {
  const auto [place, created] = streams_.try_emplace(Key{owner, packet->ssrc});
  Stream& stream = place->second;
  // A later stream of the camera (back from silence, or a sender that
  // started again under a new SSRC, however soon) resumes wherever its
  // sender is now: what it sends before the next key frame refers to
  // pictures never received.
  if (created) {
    if (!seen_.insert(owner).second) stream.awaitKey = true;
    stream.newest = packet->sequence;
  }
  stream.lastDatagram = nowMs;
  // A packet held as a sender's possible new first: the packet after it
  // in that numbering confirms it, any other shows it was a copy.
  if (stream.held) {
    std::unique_ptr<RtpPacket> held = std::move(stream.held);
    const std::uint16_t ahead = seqAfter(held->sequence, packet->sequence);
    if (ahead != 0 && ahead <= kMaxLossRun && behindJudged(stream, packet->sequence)) {
      renumber(owner, stream, held->sequence);
      inOrder(stream, held->sequence, stream.heldAt);
      store(owner, stream, std::move(held), stream.heldAt);
    } else {
      report(owner, 1, Drop::Late, 0);
    }
  }
  switch (late(owner, stream, *packet, nowMs)) {
    case Order::Late:
      return false;
    case Order::Held:
      stream.held = std::move(packet);
      stream.heldAt = nowMs;
      return false;
    case Order::InOrder:
      break;
  }
  return store(owner, stream, std::move(packet), nowMs);
}

bool FrameAssembler::store(const void* owner, Stream& stream, std::unique_ptr<RtpPacket> packet, std::int64_t nowMs) {
  auto it = std::find_if(stream.frames.begin(), stream.frames.end(),
                         [&](const Frame& f) { return f.timestamp == packet->timestamp; });
  if (it == stream.frames.end()) {
    // Judging a frame may split a next one off it.
    while (stream.frames.size() >= kMaxOpenFrames) {
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

bool FrameAssembler::behindJudged(const Stream& stream, std::uint16_t sequence) {
  const std::uint16_t behind = seqAfter(sequence, stream.nextSeq);
  // Not when the numbering jumped since that frame: the newest packet then
  // lies before the next one expected.
  const auto jumped = static_cast<std::int16_t>(seqAfter(stream.nextSeq, static_cast<std::uint16_t>(stream.newest + 1))) < 0;
  return stream.judged && !jumped && behind != 0 && behind <= kMaxLossRun;
}

void FrameAssembler::inOrder(Stream& stream, std::uint16_t sequence, std::int64_t nowMs) {
  stream.lastInOrder = nowMs;
  // The newest packet moves forward, or wherever the numbering jumps to; a
  // packet a little behind it (reordered) leaves it.
  const std::uint16_t behind = seqAfter(sequence, stream.newest);
  if (behind == 0 || behind > kMaxLossRun) stream.newest = sequence;
}

void FrameAssembler::renumber(const void* owner, Stream& stream, std::uint16_t sequence) {
  settleLoss(owner, stream);
  stream.judged = false;
  stream.awaitKey = true;
  stream.skipped.clear();
  stream.recent.clear();
  stream.newest = sequence;
}

FrameAssembler::Order FrameAssembler::late(const void* owner, Stream& stream, const RtpPacket& packet,
                                           std::int64_t nowMs) {
  const std::uint16_t sequence = packet.sequence;
  if (behindJudged(stream, sequence)) {
    // A straggler or a copy arriving after its frame was judged: a new
    // frame of it would be judged incomplete and take the expected
    // sequence number back.
    if (nowMs - stream.lastInOrder < renumberWaitMs(stream)) {
      report(owner, 1, Drop::Late, 0);
      return Order::Late;
    }
    // Nothing in order for a while. A packet of a frame judged lately is
    // a copy the network held back, or a sender that starts again with the
    // same numbers: what comes next tells.
    if (std::find(stream.judgedTimes.begin(), stream.judgedTimes.end(), packet.timestamp) != stream.judgedTimes.end())
      return Order::Held;
    // Else the sender numbers anew under the same SSRC, from wherever it is
    // in its groups.
    renumber(owner, stream, sequence);
  } else if (endOfJudged(stream, packet)) {
    // The frame was judged (and counted) without it: a frame of its own
    // would count it again.
    report(owner, 1, Drop::Late, 0);
    if (sequence == stream.nextSeq) {
      stream.nextSeq = static_cast<std::uint16_t>(sequence + 1u);
      stream.endedClean = packet.marker;
    }
    inOrder(stream, sequence, nowMs);
    return Order::Late;
  }
  inOrder(stream, sequence, nowMs);
  return Order::InOrder;
}

bool FrameAssembler::endOfJudged(const Stream& stream, const RtpPacket& packet) {
  if (!stream.judged || stream.endedClean || stream.judgedTimes.empty() ||
      stream.judgedTimes.back() != packet.timestamp || packet.StartPacket())
    return false;
  if (seqAfter(stream.nextSeq, packet.sequence) >= kMaxLossRun) return false;
  // Not when an open frame of that timestamp begins before it: it is that
  // frame's (a sender that stamps several frames alike).
  return std::none_of(stream.frames.begin(), stream.frames.end(), [&](const Frame& f) {
    return f.timestamp == packet.timestamp && seqAfter(f.base, packet.sequence) < kMaxFrameSpan;
  });
}

// Timestamps are presentation times: with B-frames the frames in decoding
// order step back and forth, in presentation order each step is one
// interval, or several over a gap. The step most of them share is the
// interval; a camera clock's jitter of a few milliseconds or one odd step
// does not move it, and a camera that changes its rate has it learned again
// within kJudgedTimes frames.
std::uint32_t FrameAssembler::frameInterval(const Stream& stream) {
  const std::size_t n = stream.judgedTimes.size();
  if (n < 3) return 0;
  std::vector<std::int64_t> times;
  times.reserve(n);
  for (const std::uint32_t t : stream.judgedTimes)
    times.push_back(static_cast<std::int32_t>(t - stream.judgedTimes.back()));  // wraps sort right
  std::sort(times.begin(), times.end());
  std::vector<std::int64_t> steps;
  for (std::size_t k = 1; k < n; ++k)
    if (const std::int64_t step = times[k] - times[k - 1]; step > 0 && step <= kMaxFrameInterval) steps.push_back(step);
  std::sort(steps.begin(), steps.end());
  // Around each step, those within kStepSlack of it; the largest group
  // (the smaller step on a tie), at least two, gives its middle step.
  std::size_t bestFirst = 0, bestCount = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::int64_t slack = steps[i] / kStepSlack;
    const auto first = std::lower_bound(steps.begin(), steps.end(), steps[i] - slack);
    const auto last = std::upper_bound(steps.begin(), steps.end(), steps[i] + slack);
    const auto count = static_cast<std::size_t>(last - first);
    if (count > bestCount) {
      bestCount = count;
      bestFirst = static_cast<std::size_t>(first - steps.begin());
    }
  }
  if (bestCount < 2) return 0;
  return static_cast<std::uint32_t>(steps[bestFirst + bestCount / 2]);
}

std::int64_t FrameAssembler::renumberWaitMs(const Stream& stream) {
  const std::int64_t intervalMs = std::int64_t{frameInterval(stream)} * kRenumberIntervals / 90;  // 90 kHz clock
  return std::clamp(intervalMs, kQuietMs, kSilentStreamMs);
}

void FrameAssembler::Skip(const void* owner, std::uint32_t ssrc, std::uint16_t sequence, std::uint32_t timestamp,
                          bool marker, std::int64_t nowMs) {
  const auto it = streams_.find(Key{owner, ssrc});
  if (it == streams_.end()) return;  // another source, or one not begun
  Stream& stream = it->second;
  stream.lastDatagram = nowMs;
  if (behindJudged(stream, sequence)) return;  // its place was judged already
  inOrder(stream, sequence, nowMs);
  if (skippedAt(stream, sequence)) return;
  if (stream.skipped.size() >= kMaxSkipped) stream.skipped.pop_front();
  stream.skipped.push_back({sequence, timestamp, marker});
}

bool FrameAssembler::skippedAt(const Stream& stream, std::uint16_t sequence) {
  return std::any_of(stream.skipped.begin(), stream.skipped.end(),
                     [&](const Skipped& s) { return s.sequence == sequence; });
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
    // Nothing followed a held packet: a copy.
    if (stream.held && nowMs >= stream.heldAt + kQuietMs) {
      stream.held.reset();
      report(it->first.first, 1, Drop::Late, 0);
      processed = true;
    }
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
      settleLoss(it->first.first, stream);
      it = streams_.erase(it);
      processed = true;
    } else {
      ++it;
    }
  }
  return processed;
}

void FrameAssembler::report(const void* owner, unsigned packets, Drop why, unsigned frames) const {
  if (sink_.dropped) sink_.dropped(owner, packets, why, frames);
}

// Frames in decoding order against their timestamps, which are
// presentation times: with B-frames they step back and forth around a steady
// frame clock. How far a frame lies off that clock is told by its neighbours
// in a row (its timestamp against theirs, less the frames between), against
// their average: the frame before a gap by those before it, the frame after
// by those after it. The timestamp step over the gap less both offsets is
// the frames between.
void FrameAssembler::openLoss(const void* owner, Stream& stream, std::uint32_t timestamp, unsigned missing,
                              bool started) const {
  // A frame cut at an edge of the gap (its end or its start missing) holds
  // at least one of the missing packets, and is counted on its own; with
  // both edges whole, at least one frame was lost whole.
  const unsigned cut = (stream.endedClean ? 0u : 1u) + (started ? 0u : 1u);
  const unsigned most = std::min(missing > cut ? missing - cut : 0u, kMaxLostFramesPerGap);
  const unsigned least = std::min(cut == 0 ? 1u : 0u, most);
  const std::uint32_t known = frameInterval(stream);
  if (known == 0 || stream.recent.empty()) {
    if (least != 0) report(owner, 0, Drop::Missing, least);
    return;
  }
  const double interval = known;
  const std::size_t n = stream.recent.size();
  double off = 0;
  for (std::size_t k = 0; k < n; ++k)
    off += static_cast<std::int32_t>(stream.recent.back() - stream.recent[k]) / interval - static_cast<double>(n - 1 - k);
  off /= static_cast<double>(n);
  const double step = static_cast<std::int32_t>(timestamp - stream.recent.back()) / interval;
  stream.loss = Stream::Loss{step - 1.0 + off, least, most, known};
}

// Called with the frames judged since the gap in recent, the first one after
// it in front.
void FrameAssembler::settleLoss(const void* owner, Stream& stream) const {
  if (!stream.loss) return;
  const Stream::Loss loss = *stream.loss;
  stream.loss.reset();
  double lost = loss.frames;
  if (const std::size_t n = stream.recent.size(); n != 0) {
    double off = 0;
    for (std::size_t k = 0; k < n; ++k)
      off += static_cast<std::int32_t>(stream.recent.front() - stream.recent[k]) / static_cast<double>(loss.interval) +
             static_cast<double>(k);
    lost -= off / static_cast<double>(n);
  }
  // Never more frames than packets missing. Below that, a step that is no
  // whole number of intervals (a pause, a camera that changed its rate in
  // the gap) tells nothing of the frames in it.
  unsigned frames = loss.least;
  const double whole = std::round(lost);
  if (lost >= loss.most) frames = loss.most;
  else if (std::abs(lost - whole) <= kWholeSlack && whole > loss.least) frames = static_cast<unsigned>(whole);
  if (frames != 0) report(owner, 0, Drop::Missing, frames);
}

void FrameAssembler::judge(const void* owner, Stream& stream, Frame& frame) {
  // Packets left out on purpose before the frame judged last are accounted for.
  if (stream.judged)
    std::erase_if(stream.skipped, [&](const Skipped& s) {
      const std::uint16_t behind = seqAfter(s.sequence, stream.nextSeq);
      return behind != 0 && behind <= kMaxLossRun;
    });
  // The frame ends at its first marker packet, or at one left out that
  // carries the marker for it: RFC 6184 sets it on the access unit's last
  // packet, which may hold an end of sequence.
  std::optional<std::size_t> marker;
  for (std::size_t i = 0; i < frame.slots.size() && !marker; ++i)
    if (frame.slots[i] && frame.slots[i]->marker) marker = i;
  for (const Skipped& s : stream.skipped) {
    const std::size_t at = seqAfter(frame.base, s.sequence);
    if (s.marker && s.timestamp == frame.timestamp && at < kMaxFrameSpan && (!marker || at < *marker)) marker = at;
  }
  if (marker && !frame.oversize) splitAfter(stream, frame, *marker);
  const bool started = !frame.oversize && !frame.slots.empty() && frame.slots[0] && frame.slots[0]->StartPacket();
  const auto stored = [&](std::size_t i) { return i < frame.slots.size() && frame.slots[i] != nullptr; };
  // 1. Continuity: packets between the frame judged before and this one
  //    never arrived (those left out on purpose aside). What is missing
  //    may be whole frames: counted from the timestamps.
  if (stream.judged) {
    const std::uint16_t gap = seqAfter(stream.nextSeq, frame.base);
    unsigned missing = gap;
    if (gap <= kMaxLossRun)
      for (const Skipped& s : stream.skipped) missing -= seqAfter(stream.nextSeq, s.sequence) < gap ? 1u : 0u;
    if (missing != 0) {
      stream.awaitKey = true;
      settleLoss(owner, stream);
      if (gap <= kMaxLossRun) openLoss(owner, stream, frame.timestamp, missing, started);
      stream.recent.clear();
    }
  }
  stream.judgedTimes.push_back(frame.timestamp);
  if (stream.judgedTimes.size() > kJudgedTimes) stream.judgedTimes.pop_front();
  stream.recent.push_back(frame.timestamp);
  if (stream.recent.size() > kRecentFrames) stream.recent.pop_front();
  if (stream.recent.size() >= kSettleFrames) settleLoss(owner, stream);
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
  unsigned lost = 0;
  for (std::size_t i = 0; i <= *marker; ++i) {
    if (stored(i)) ++received;
    else if (!skippedAt(stream, static_cast<std::uint16_t>(frame.base + i))) ++lost;
  }
  if (lost * 100 / received > 0) {
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
  const RtpPacket* last = nullptr;
  for (std::size_t i = 0; i <= *marker; ++i) {
    const RtpPacket* p = stored(i) ? frame.slots[i].get() : nullptr;
    if (p == nullptr) {
      if (!skippedAt(stream, static_cast<std::uint16_t>(frame.base + i))) bytes_.insert(bytes_.end(), total / (i + 1), 0);
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
    last = p;
  }
  last->FinishFrame(bytes_);
  if (kovira::isH264(out.type)) out.type = H264FrameType(bytes_, out.type);
  out.bytes = &bytes_;
  deliver(owner, stream, received, out);
}

// Senders that stamp several frames with one time (a server that clipped
// the first times of a file with B-frames) end each at its marker packet;
// the packets after it, in the same open frame, are the next frame's.
void FrameAssembler::splitAfter(Stream& stream, Frame& frame, std::size_t end) {
  std::size_t next = end + 1;
  while (next < frame.slots.size() && !frame.slots[next]) ++next;
  if (next >= frame.slots.size()) return;
  Frame rest;
  rest.timestamp = frame.timestamp;
  rest.lastUpdate = frame.lastUpdate;
  rest.base = static_cast<std::uint16_t>(frame.base + next);
  rest.last = frame.last;
  for (std::size_t i = next; i < frame.slots.size(); ++i) {
    if (!frame.slots[i]) continue;
    ++rest.count;
    rest.bytes += frame.slots[i]->data.size();
  }
  rest.slots.assign(std::make_move_iterator(frame.slots.begin() + static_cast<std::ptrdiff_t>(next)),
                    std::make_move_iterator(frame.slots.end()));
  frame.slots.resize(end + 1);
  frame.count -= rest.count;
  frame.bytes -= rest.bytes;
  frame.last = static_cast<std::uint16_t>(frame.base + end);
  stream.frames.push_back(std::move(rest));
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
  for (std::size_t i = 0; i + 4 < au.size(); ++i) {
    if (au[i] != 0 || au[i + 1] != 0 || au[i + 2] != 0 || au[i + 3] != 1) continue;
    if ((au[i + 4] & 0x1Fu) != 7) continue;
    return H264SpsPictureSize(au.subspan(i + 4), width, height, chroma_format_idc);
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
