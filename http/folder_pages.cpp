#include "http/folder_pages.h"

#include "core/log.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/server.h"
#include "http/webutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

namespace {

// The classic folder-listing icons; the page links them, the unit does not
// serve them.
constexpr const char* kIconBase = "https://www.apache.org/icons/";
constexpr unsigned kMinWidth = 40;
constexpr unsigned kMaxWidth = 60;
constexpr int kDateColumn = 22;

std::string includeFolder() {
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : "/root") + "/include/";
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Any element of the path that is "..".
bool climbsUp(const std::string& rest) {
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t slash = rest.find('/', start);
    if (slash == std::string::npos) slash = rest.size();
    if (rest.compare(start, slash - start, "..") == 0) return true;
    start = slash + 1;
  }
  return false;
}

std::string realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

// Whether target's real path is root's real path or lies below it.
bool inside(const std::string& root, const std::string& target) {
  const std::string realRoot = realPath(root);
  const std::string realTarget = realPath(target);
  if (realRoot.empty() || realTarget.empty()) return false;
  if (realTarget == realRoot) return true;
  const std::string prefix = realRoot == "/" ? realRoot : realRoot + "/";
  return realTarget.compare(0, prefix.size(), prefix) == 0;
}

// Every path element URL-encoded, the slashes kept.
std::string encodePath(const std::string& path) {
  std::string out;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    out += urlencode(path.substr(start, slash - start));
    if (slash < path.size()) out += '/';
    start = slash + 1;
  }
  return out;
}

// The first n UTF-8 characters of s.
std::string firstChars(const std::string& s, int n) {
  std::size_t i = 0;
  for (int seen = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
    if (seen == n) break;
    ++seen;
  }
  return s.substr(0, i);
}

}  // namespace

const std::map<std::string, std::string> http_folders = {
    {"shared", "~/shared/"},
    {"include", includeFolder()},
    {"tmp", "/tmp/"},
};

const std::map<std::string, std::string> http_type_images = {
    {"default", "unknown.gif"}, {"object", "transfer.gif"}, {"blank", "blank.gif"},   {"back", "back.gif"},
    {"jpeg", "image2.gif"},     {"png", "image2.gif"},      {"jpg", "image2.gif"},    {"gif", "image2.gif"},
    {"dir", "folder.gif"},      {"avi", "movie.gif"},       {"mp4", "movie.gif"},     {"mkv", "movie.gif"},
    {"mov", "movie.gif"},       {"txt", "text.gif"},        {"cpp", "text.gif"},      {"css", "text.gif"},
    {"h", "text.gif"},          {"js", "text.gif"},         {"zip", "compressed.gif"}, {"tar", "compressed.gif"},
    {"tgz", "compressed.gif"},  {"pdf", "layout.gif"},
};

int strlen_utf8(const std::string& s) { return static_cast<int>(utf8strlen(s)); }

std::string padspace(int n) { return n < 1 ? std::string() : std::string(static_cast<std::size_t>(n), ' '); }

std::string UtcTimeToString(std::int64_t t) {
  if (t < 0) return {};
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (localtime_r(&tt, &tm) == nullptr) return {};
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%h-%d %R", &tm);
  return std::string(text, n);
}

std::string http_get_extfile(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string http_image_tag(const std::string& ext) {
  const auto it = http_type_images.find(strtolower(ext));
  const std::string icon = it == http_type_images.end() ? "unknown.gif" : it->second;
  return std::string("<img src=\"") + kIconBase + icon + "\" alt=\"\">";
}

std::string http_txtline(unsigned int width, std::string ext, std::string name, std::string link, std::string date,
                         std::string size) {
  std::string line = http_image_tag(ext) + " ";
  const int w = static_cast<int>(width);
  if (strlen_utf8(name) > w) name = firstChars(name, w - 2) + "..";
  const std::string shown = htmlescape(name);
  line += link.empty() ? shown : taglink(link, shown);
  line += padspace(w + 2 - strlen_utf8(name));
  line += date + padspace(kDateColumn - static_cast<int>(date.size()));
  line += size;
  return line;
}

int http_show_file(std::string& path, HttpResponse& resp) {
  // Non-blocking open: a FIFO put in place of the file must not hang the
  // connection; it fails the regular-file check below instead.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 500;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return 500;
  }
  resp.MIMEbyName(path);
  resp.fileBody(fd, static_cast<std::uint64_t>(st.st_size));
  return 200;
}

int http_show_dir(const std::string& key, const std::string& rest, const std::string& dir, HttpResponse& resp) {
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (!d) return 500;
  std::vector<http_diritem_t> items;
  unsigned width = kMinWidth;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    http_diritem_t item;
    item.name = name;
    struct stat st {};
    const std::string full = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
    if (::stat(full.c_str(), &st) == 0 || ::lstat(full.c_str(), &st) == 0) {
      item.time = st.st_mtime;
      if (S_ISDIR(st.st_mode)) {
        item.type = 0;
      } else if (S_ISREG(st.st_mode)) {
        item.type = 1;
        item.size = static_cast<std::uint64_t>(st.st_size);
      }
    } else {
      item.time = -1;
    }
    width = std::max(width, static_cast<unsigned>(std::min<std::size_t>(name.size() + 1, UINT_MAX)));
    items.push_back(std::move(item));
  }
  width = std::min(width, kMaxWidth);
  std::sort(items.begin(), items.end(), [](const http_diritem_t& a, const http_diritem_t& b) {
    if (a.type != b.type) return a.type < b.type;
    return ::strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
  });

  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  std::ostream& out = resp.body;
  out << "<h1>Index of /" << htmlescape(key) << "/" << htmlescape(rest) << "</h1><pre>"
      << http_txtline(width, "blank", "Name ", "", "Last modified", "Size") << "\n<hr>";
  if (!rest.empty()) {
    // The parent in the URL's own terms: "/key/" and rest up to the slash
    // before its last element.
    const std::size_t cut = rest.size() >= 2 ? rest.rfind('/', rest.size() - 2) : std::string::npos;
    const std::string parent = cut == std::string::npos ? std::string() : rest.substr(0, cut + 1);
    out << http_txtline(width, "back", "Parent Directory ", "/" + key + "/" + encodePath(parent), "", "") << "\n";
  }
  for (const http_diritem_t& item : items) {
    const std::string date = UtcTimeToString(item.time);
    if (item.type == 0)
      out << http_txtline(width, "dir", item.name + "/", urlencode(item.name) + "/", date, "-");
    else if (item.type == 1)
      out << http_txtline(width, http_get_extfile(item.name), item.name, urlencode(item.name), date,
                          std::to_string(item.size));
    else
      out << http_txtline(width, "object", item.name, "", date, "-");
    out << "\n";
  }
  out << "</pre><hr>\n<address>TarvolinWebServer/0.1, " << UtcTimeToString(std::time(nullptr)) << "</address>\n";
  return 200;
}

int http_directory_handler(const HttpRequest& req, HttpResponse& resp) {
  const std::string key = req.match[1];
  const auto folder = http_folders.find(key);
  if (folder == http_folders.end()) return 404;
  // Decoded before any check, so "%2e%2e" is seen as "..".
  const std::string rest = urldecode(req.match[2]);
  if (rest.find('\0') != std::string::npos || climbsUp(rest)) {
    log_error_format("HttpServer: object %s must be inside direcory", (folder->second + rest).c_str());
    return 404;
  }
  std::string target = folder->second + rest;
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 404 : 500;
  if (!inside(folder->second, target)) {
    log_error_format("HttpServer: object %s must be inside direcory", target.c_str());
    return 404;
  }
  if (S_ISREG(st.st_mode)) return http_show_file(target, resp);
  if (S_ISDIR(st.st_mode)) return http_show_dir(key, rest, target, resp);
  log_error_format("HttpServer: object must be regular file or directory: %s", target.c_str());
  return 500;
}

namespace directory {

void subscribe(HttpServer& server) { server.subscribe("^/(include|shared|other|tmp)/(.*)", http_directory_handler); }

void directory_httphook_init() { subscribe(webserver()); }

}  // namespace directory
