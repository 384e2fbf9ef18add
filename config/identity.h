// Device identity files, read once when the configuration singleton is
// built: "/etc/kovira.conf" (JSON object: "token", and the base addresses of
// the servers the unit talks to) and "/etc/skygateway.conf" (JSON object:
// "devid", then "camid", which wins). A missing or broken identity file is
// not an error: the values stay empty / 0. Pure functions over files.
#pragma once

#include <string>

namespace kovira {

struct IdentityPaths {
  std::string kovira = "/etc/kovira.conf";
  std::string skygateway = "/etc/skygateway.conf";
};

// Servers named in "/etc/kovira.conf". Empty means "not sent".
struct Endpoints {
  std::string upload;     // "upload": evidence collection server, "http://host[:port]"
  std::string telemetry;  // "telemetry": heartbeat server, "http://host[:port]"
  std::string backup;     // "backup": configuration backup server, "http://host[:port]"
  std::string feedback;   // "feedback": feedback-frame server, "http://host[:port]"
  std::string buslist;    // "buslist": IPv4 address of the bus-lane allow-list server
};

struct Identity {
  std::string token;
  int devid = 0;
  Endpoints endpoints;
};

// Reads both files. Bad endpoint values are left out with a "[WARNING] "
// line naming the key; everything else fails silently.
Identity readIdentity(const IdentityPaths& paths);

// "http://host[:port]" with a non-empty host, no path, port 1..65535.
bool isBaseUrl(const std::string& text);
// Dotted-quad IPv4 address.
bool isIPv4(const std::string& text);

}  // namespace kovira
