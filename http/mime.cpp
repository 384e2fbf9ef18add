#include "http/mime.h"

const std::map<std::string, std::string>& mimeTypes() {
  static const std::map<std::string, std::string> table = {
      {"default", "application/octet-stream"},
      {"www", "application/x-www-form-urlencoded"},
      {"js", "application/javascript"},
      {"json", "application/json"},
      {"css", "text/css"},
      {"xml", "text/xml"},
      {"txt", "text/plain"},
      {"pdf", "application/pdf"},
      {"zip", "application/zip"},
      {"tar", "application/x-tar"},
      {"htm", "text/html"},
      {"html", "text/html"},
      {"jpeg", "image/jpeg"},
      {"jpg", "image/jpeg"},
      {"png", "image/png"},
  };
  return table;
}

const std::vector<std::string>& compressibleTypes() {
  static const std::vector<std::string> types = {
      "application/javascript", "text/plain", "text/html", "text/css", "text/xml",
  };
  return types;
}
