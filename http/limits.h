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
// A slow client gets this long for each kSendChunk bytes of the response.
inline constexpr int kSendTimeoutSec = 300;
// Connection threads alive at once; later connections are closed at once
// until one ends, so a flood cannot exhaust threads or memory.
inline constexpr int kMaxConnections = 64;
// A connection thread with nothing to do waits this long for the next
// connection before it ends.
inline constexpr int kIdleThreadKeepMs = 2000;
inline constexpr int kListenBacklog = 10;
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
