// Test clients for the HTTP server: a raw socket client for byte-exact
// checks, the curl command line, and a parser of raw replies.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace httptest {

// A connected TCP socket to 127.0.0.1:port (-1 on failure). rcvbuf > 0
// sets SO_RCVBUF before connecting; source binds a loopback address of
// 127.0.0.0/8 first, so one test can play several peers.
int connectTo(int port, int rcvbuf = 0, const char* source = nullptr);
// Sends all of data; false on failure.
bool sendAll(int fd, std::string_view data);
// Reads until the server closes the connection (or the seconds pass).
std::string readAll(int fd, int seconds = 10);
// Connects, sends request, reads the whole reply, closes.
std::string roundTrip(int port, std::string_view request);

struct Reply {
  std::string statusLine;                                   // without CR LF
  std::vector<std::pair<std::string, std::string>> headers;  // wire order
  std::string body;
  bool complete = false;  // a blank line ended the header

  const std::string* header(const std::string& name) const;
};
Reply parseReply(const std::string& raw);

// Runs a shell command and returns its standard output and error.
std::string run(const std::string& command);

// gunzip of one gzip member; empty on error.
std::string gunzip(std::string_view data);

}  // namespace httptest
