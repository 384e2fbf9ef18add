// The folder browser: files below a few fixed folders of the unit are
// downloaded, and directories listed as an "Index of" page (icon, name,
// modification time, size) under "/include/", "/shared/", "/other/" and
// "/tmp/".
//
// What may be reached: the path after the folder key is URL-decoded first;
// a NUL byte or any ".." element is refused, and the real path (symbolic
// links resolved) must lie under the folder's own real path. Files are sent
// from their descriptor in pieces, never read whole into memory.
// Handlers run on the server's connection threads; the tables are only read
// after static initialisation.
#pragma once

#include "http/request.h"
#include "http/response.h"

#include <cstdint>
#include <map>
#include <string>

class HttpServer;

struct http_diritem_t {
  std::string name;
  int type = 2;           // 0 directory, 1 regular file, 2 anything else
  std::int64_t time = 0;  // modification, seconds since 1970; -1 unknown
  std::uint64_t size = 0;
};

// Folder key -> directory path ("shared" is relative on purpose: it names
// a folder "~" under the working directory).
extern const std::map<std::string, std::string> http_folders;
// Lower-case extension (or kind) -> icon file name.
extern const std::map<std::string, std::string> http_type_images;

int http_directory_handler(const HttpRequest& req, HttpResponse& resp);
int http_show_file(std::string& path, HttpResponse& resp);
// key and rest as the handler decoded them; dir = folder + rest.
int http_show_dir(const std::string& key, const std::string& rest, const std::string& dir, HttpResponse& resp);
std::string http_txtline(unsigned int width, std::string ext, std::string name, std::string link, std::string date,
                         std::string size);
std::string http_image_tag(const std::string& ext);
std::string http_get_extfile(const std::string& name);
int strlen_utf8(const std::string& s);
std::string padspace(int n);
// Local time as "2026-Dec-05 20:30"; empty when it cannot be formatted.
std::string UtcTimeToString(std::int64_t t);

namespace directory {
void subscribe(HttpServer& server);
}  // namespace directory
