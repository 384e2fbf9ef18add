#include "rtsp/rtcp.h"

#include "core/clock.h"
#include "core/log.h"
#include "core/threads.h"
#include "rtsp/util.h"

#include <unistd.h>

#include <random>

namespace {

std::uint32_t chooseSsrc() {
  std::mt19937 gen;  // default seed: every session of every unit uses the same SSRC
  std::uint32_t v = gen();
  while (v == 0xFFFFFFFFu) v = gen();
  return v + 1;
}

std::string hostName() {
  char name[64] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return std::string(name);
}

}  // namespace

RtcpSession::RtcpSession(PacketsBuffer* buffer, RtpSession* rtp, UdpSocket* socket)
    : UdpSession(buffer, socket),
      ownSsrc(chooseSsrc()),
      rtp_(rtp),
      deadline_(std::chrono::system_clock::now() + kReportPeriod) {}

RtcpSession::~RtcpSession() { Stop(); }

void RtcpSession::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
    deadline_ = std::chrono::system_clock::now() + kReportPeriod;
  }
  thread_ = std::thread(&RtcpSession::run, this);
  thread_name(thread_, "rtcp-session");
}

void RtcpSession::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RtcpSession::SendEmptyReport() {
  if (!Send(std::string())) return;
  std::lock_guard lock(mutex_);
  deadline_ += kReportPeriod;
}

void RtcpSession::SendReport() {
  const auto now = static_cast<std::uint32_t>(NowSec());
  Send(BuildReceiverReport(ownSsrc, rtp_ != nullptr ? rtp_->remoteSsrc.load() : 0,
                           rtp_ != nullptr ? rtp_->datagrams.load() : 0, lastReceipt_, now, hostName()));
}

void RtcpSession::Deliver(std::vector<std::unique_ptr<RtcpPacket>> packets) {
  {
    std::lock_guard lock(mutex_);
    // Bounded: a session that is not running keeps only the newest packets.
    for (auto& p : packets) inbox_.push_back(std::move(p));
    while (inbox_.size() > 64) inbox_.pop_front();
  }
  wake_.notify_all();
}

RtcpSession::SenderReport RtcpSession::senderReport() const {
  std::lock_guard lock(srMutex_);
  return sr_;
}

void RtcpSession::drain() {
  std::deque<std::unique_ptr<RtcpPacket>> packets;
  {
    std::lock_guard lock(mutex_);
    packets.swap(inbox_);
  }
  for (const auto& p : packets) {
    if (p->ntpSeconds != 0) {
      std::lock_guard lock(srMutex_);
      sr_.ntp = NtpTimeToDouble(p->ntpSeconds, p->ntpFraction);
      sr_.rtpTimestamp = p->rtpTimestamp;
    }
    lastReceipt_ = static_cast<std::uint32_t>(NowSec());
  }
}

void RtcpSession::run() {
  try {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      wake_.wait_until(lock, deadline_, [this] { return stop_ || !inbox_.empty(); });
      if (stop_) break;
      const bool due = std::chrono::system_clock::now() >= deadline_;
      if (due) deadline_ += kReportPeriod;
      lock.unlock();
      if (due) SendReport();
      drain();
      lock.lock();
    }
  } catch (const std::exception& e) {
    log_error_format("RTCP session ended: %s", e.what());
  }
}
