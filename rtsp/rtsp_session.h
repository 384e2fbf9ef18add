// RtspSession: the RTSP/1.0 client of one network camera. Over one TCP
// connection it walks OPTIONS, DESCRIBE (one authenticated retry), SETUP,
// PLAY and one GET_PARAMETER, tells the RTP and RTCP sessions where the
// camera sends from, and publishes every step and failure as a State.
//
// Threads: one response thread per session, started by the constructor and
// joined by the destructor; it takes the replies the packet buffer cut for
// this session (waking at least once a second), runs their handlers, keeps
// a session alive with GET_PARAMETER and reconnects a camera that sent no
// RTP for 61 s. Setup may also be called from other threads. mutex_ guards
// the conversation state; it is held while a request is sent (sends time
// out after 1 s) and never while the packet buffer's mutexes are taken
// (under it a description's parameter sets go to the receiver point, whose
// mutex for them is taken alone).
#pragma once

#include "rtsp/packetsbuffer.h"
#include "rtsp/rtsp_message.h"
#include "rtsp/sockets.h"
#include "rtsp/util.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class RtcpSession;
class Session;
class ReceiverPoint;

class RtspSession : public RtspProtocol {
 public:
  // Seconds without RTP (or since the last attempt) before a reconnect.
  static constexpr std::int64_t kWatchdogSeconds = 61;
  // Keep-alive period when the SETUP reply names no timeout.
  static constexpr std::int64_t kDefaultSessionTimeout = 60;

  // watchdogSeconds: kWatchdogSeconds but in tests.
  RtspSession(PacketsBuffer* buffer, Session* session, std::int64_t watchdogSeconds = kWatchdogSeconds);
  ~RtspSession();
  RtspSession(const RtspSession&) = delete;
  RtspSession& operator=(const RtspSession&) = delete;

  // Connects to url and sends OPTIONS; false when the URL does not parse
  // (nothing changes then), the connection fails or the send fails.
  bool Setup(const std::string& url);
  // Joins the response thread and closes the connection; nothing reaches
  // the packet buffer afterwards. The buffer calls it before it goes; the
  // destructor too.
  void Stop();
  bool Play();
  bool Pause() { return true; }  // no PAUSE is ever sent
  bool Teardown();
  // Sets Disconnected (publishing it) when Connecting or Connected and
  // says so; in any other state nothing happens.
  bool Disconnect();

  ReceiverState state() const { return state_.load(); }
  // Why the camera's last description was refused ("" when it was not, or a
  // later SETUP succeeded).
  std::string refusal() const;

  // The camera's communication log, copied under the log's mutex.
  static std::string CommunicationLogOf(unsigned camid);

 private:
  using Handler = bool (RtspSession::*)(const std::string&);

  void ResponseThread();
  void watchdog();
  bool setupLocked(const std::string& url);
  bool send(Method method, const std::string& uri, Handler handler);
  void publish(ReceiverState state, ReceiverError error);
  void CommunicationLog(const std::string& text);

  bool ProcessOptionsResponse(const std::string& text);
  bool ProcessDescribeResponse(const std::string& text);
  bool ProcessSetupResponse(const std::string& text);
  bool ProcessPlayResponse(const std::string& text);
  bool ProcessGetParameterResponse(const std::string& text);
  bool ProcessTeardownResponse(const std::string& text);
  // Status of a plain reply: 200 → true; else the error is published.
  bool plainReply(const std::string& text);
  // A description the receiver cannot take: the error is published, the
  // connection closed, and a new reason goes to the console once.
  void refuse(const std::string& reason);

  PacketsBuffer* const buffer_;
  const std::int64_t watchdogSeconds_;
  PacketsBuffer::ListBuffer* replies_ = nullptr;  // in buffer_, set at construction
  Session* const session_;
  ReceiverPoint* const receiver_;
  TcpSocket tcp_;

  std::mutex mutex_;
  std::atomic<ReceiverState> state_{ReceiverStateDisconnected};
  std::string url_;                    // guarded by mutex_
  std::string user_, password_, host_;  // guarded by mutex_
  unsigned port_ = kDefaultPort;       // guarded by mutex_
  std::int64_t setupTime_ = 0;         // guarded by mutex_
  std::string baseUrl_;                // guarded by mutex_
  std::string streamUrl_;              // guarded by mutex_ (SETUP)
  std::string aggregateUrl_;           // guarded by mutex_ (PLAY, GET_PARAMETER, TEARDOWN)
  std::string sessionId_;              // guarded by mutex_
  std::uint32_t authType_ = AuthNone;  // guarded by mutex_; kept across reconnects
  std::string realm_, nonce_;          // guarded by mutex_
  bool authRetried_ = false;           // guarded by mutex_
  std::map<unsigned, Handler> pending_;  // guarded by mutex_
  unsigned cseq_ = 0;                  // guarded by mutex_; never reset
  bool playing_ = false;               // guarded by mutex_
  std::int64_t keepAlivePeriod_ = 0;   // guarded by mutex_; 0: none
  std::int64_t lastKeepAlive_ = 0;     // guarded by mutex_

  mutable std::mutex refusalMutex_;
  std::string refusal_;  // guarded by refusalMutex_

  std::atomic<bool> stop_{false};
  std::mutex stopMutex_;  // Stop is reached from the buffer and the destructor
  std::thread thread_;
};
