// The regular expression the request-line scanner replaces, as the
// reference that tests and the fuzz target compare the scanner with.
#pragma once

#include "http/request_parse.h"

#include <boost/regex.hpp>

#include <stdexcept>

inline bool referenceRequestLine(const std::string& line, RequestLine& out) {
  static const boost::regex re("^(POST|GET|PUT) ([^?]+)(\\?(.*))? HTTP/(1.[01])$");
  boost::smatch m;
  try {
    if (!boost::regex_search(line, m, re)) return false;
  } catch (const std::runtime_error&) {
    return false;
  }
  out.method = m[1].str();
  out.path = m[2].str();
  out.query = m[4].matched ? m[4].str() : std::string();
  out.version = m[5].str();
  return true;
}
