// Limits of the embedded HTTP server, in one place. Exceeding one is an
// error the peer sees (400, 408, 413) or a closed connection, never a
// silent truncation.
#pragma once

#include <cstddef>

namespace http_limits {

// Request header, request line included, terminator included.
inline constexpr int kHeaderMax = 8096;
// Declared request bodies above this get 413 and are not read.
inline constexpr unsigned kBodyMax = 100u * kHeaderMax;  // 809600
// Header and body reading time-out of one request.
inline constexpr int kRequestTimeoutSec = 15;
// A response whose next kSendChunk bytes the client does not take within
// this long is dropped. Answers are sent by the listener as the socket
// takes them, so a slow or non-reading client holds memory (see
// kAnswerBudget), never a worker: a weak mobile link gets its page.
inline constexpr int kSendTimeoutSec = 300;
// Request bodies are collected by the listener before a worker sees the
// request; the bodies being collected hold at most this much memory in all.
// Beyond it the peer holding the most loses its oldest unfinished body.
inline constexpr std::size_t kBodyBudget = 32u << 20;
// Answers handed back by workers and not yet taken by their clients hold at
// most this much; beyond it the answer stalled longest is dropped.
inline constexpr std::size_t kAnswerBudget = 32u << 20;
// Bytes one connection moves in one turn of the listener, so one fast
// client does not starve the others.
inline constexpr std::size_t kTurnBytes = 65536;
// Worker threads running requests at once. Connections still sending their
// request, or taking their answer, wait in the listener, not in a worker;
// complete requests beyond this wait in a queue.
inline constexpr int kMaxConnections = 64;
// Connections one peer address may hold open at once (sending its request,
// served, or taking its answer). At the cap a new connection replaces the
// peer's oldest one not in a worker (one still sending its request first);
// half the workers at most, so one peer can never hold them all.
inline constexpr int kPeerConnectionsMax = kMaxConnections / 2;
// Open connections in all. The default follows the descriptor limit
// (kOpenShareOfDescriptors of it, the rest is the unit's own), between
// these two bounds. At the cap a new connection replaces the oldest one not
// in a worker of the peer with the most such, so a new peer always gets in.
inline constexpr int kOpenConnectionsMin = 16;
inline constexpr int kOpenConnectionsMax = 4096;
inline constexpr double kOpenShareOfDescriptors = 0.75;
// A worker thread with nothing to do waits this long for the next request
// before it ends.
inline constexpr int kIdleThreadKeepMs = 2000;
// The listener accepts as fast as connections come, so the queue only
// absorbs bursts; at 10 a burst of attackers made the kernel drop the
// handshake of the next client, which then waited a second or more for a
// retransmission.
inline constexpr int kListenBacklog = 128;
// Connections accepted in one turn of the listener before it looks at the
// others again.
inline constexpr int kAcceptBurst = 64;

// Arguments (query pairs, form fields, multipart parts) of one request;
// more get 413. A small body of tiny fields would otherwise cost a hundred
// times its size in map nodes.
inline constexpr std::size_t kArgumentsMax = 1024;
// After a request that held this much, the heap is given back to the system
// by the first worker that ends for want of work (a burst of large posts
// would otherwise keep its peak).
inline constexpr std::size_t kTrimAfterBytes = 64 * 1024;
// Stopping the server: requests in flight get this long to finish and their
// answers to go out. Handlers still running then get kStopLastWaitMs more
// (after the server's grace hook, which may cut what they wait for); a
// handler stuck beyond that is left to the process exit.
inline constexpr int kStopGraceMs = 2000;
inline constexpr int kStopLastWaitMs = 2000;
inline constexpr int kSocketSendBuffer = 0x10000;

// Socket I/O granularity: responses are read from their stream in
// kSendChunk pieces, each recv/send moves at most kIoChunk bytes.
inline constexpr std::size_t kSendChunk = 16384;
inline constexpr int kIoChunk = 4096;

// Bodies above this size of a compressible type are gzipped for clients
// that accept it.
inline constexpr unsigned long kCompressAbove = 8191;
inline constexpr std::size_t kGzipChunk = 32768;

// Back-off of the listener after a failed accept (descriptor exhaustion,
// aborted handshakes): it waits and accepts again, it never gives up.
inline constexpr int kAcceptBackoffMs = 100;
// After a response whose request body was left unread, the input is drained
// this long before closing, so the kernel sends FIN and not RST (an RST can
// destroy the response in the client's receive queue).
inline constexpr int kLingerMs = 1000;
inline constexpr std::size_t kLingerMaxBytes = 1 << 20;

}  // namespace http_limits
