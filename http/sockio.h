// Socket reading and writing with time-outs for the HTTP server. Each call
// is used by one connection thread on its own descriptor; nothing is shared.
//
// Results: the byte count on success, kSockError (-1) on an error (or a
// header that does not end within max bytes), kSockTimeout (-2) when
// timeout seconds passed, kSockClosed (-3) when the peer closed the
// connection (reading only). Every recv/send is non-blocking; between
// attempts the thread waits in poll() for the descriptor, never past the
// deadline. send uses MSG_NOSIGNAL: a vanished peer is an error, not SIGPIPE.
// Every call tries once before it looks at the clock, so a time-out of 0 is
// one non-blocking attempt.
#pragma once

#include <string>

inline constexpr int kSockError = -1;
inline constexpr int kSockTimeout = -2;
inline constexpr int kSockClosed = -3;

// errno values after which the same call is simply tried again.
bool transient(int err);

// Request bytes wait unread: a refused body, or a second request sent
// without waiting for the first answer. Closing now would reset the
// connection and could destroy the answer in the client's receive queue.
bool inputPending(int socket);

// Reads a request header into buffer[0..max): returns the byte count once
// the bytes read contain "\r\n\r\n" or "\n\n" (terminator included). No
// byte after the terminator is consumed, so the body stays in the socket.
int sock_readheader(int socket, unsigned char* buffer, int max, int timeout);

enum class HeaderStep { kComplete, kNeedMore, kClosed, kError, kTooLong };
// One non-blocking step of reading a header: appends what has arrived to
// header (never past the terminator, never beyond max bytes in all).
HeaderStep sock_readheader_step(int socket, std::string& header, int max);

// Reads exactly length bytes.
int sock_read(int socket, unsigned char* buffer, int length, int timeout);

// Sends exactly length bytes.
int sock_send(int socket, const unsigned char* buffer, int length, int timeout);
