#include "modules/maskfind.h"

#include "core/startup_functions.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "recognition/multitrack.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"

#include <algorithm>

namespace mask {

std::string shapeOf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    // ASCII classes only: each byte of a Cyrillic letter gives "-".
    if (c >= '0' && c <= '9') out += 'N';
    else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) out += 's';
    else out += '-';
  }
  return out;
}

void MaskTable::add(const std::string& shape) {
  std::lock_guard lock(mutex_);
  const auto row = std::find_if(rows_.begin(), rows_.end(), [&](const MaskCollect& r) { return r.mask == shape; });
  if (row != rows_.end()) {
    ++row->count;
    std::stable_sort(rows_.begin(), rows_.end(),
                     [](const MaskCollect& a, const MaskCollect& b) { return a.count > b.count; });
  } else if (rows_.size() < kMaxRows) {
    rows_.push_back({shape, 1});
  }
}

std::vector<MaskCollect> MaskTable::rows(std::size_t n) const {
  std::lock_guard lock(mutex_);
  return {rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(std::min(n, rows_.size()))};
}

MaskTable& collected() {
  static MaskTable table;
  return table;
}

int funnyt52(kovira::MultiTrack& group) {
  for (const kovira::Track& track : group.tracks) {
    if (track.checkMask() || track.advAccuracy() < kMinAccuracy) continue;
    if (track.points.size() < kMinPoints) continue;
    const std::string text = track.text();
    if (text.size() < kMinTextBytes) continue;
    collected().add(shapeOf(text));
  }
  return 0;
}

int http_mask_collect(const HttpRequest&, HttpResponse& res) {
  const std::vector<MaskCollect> rows = collected().rows(kPageRows);
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  res.body << "<h1>Mask collect</h1><table class=bordertable><tr><td>mask</td><td>count</td></tr>";
  // Shapes hold only "N", "s" and "-": nothing to escape.
  for (const MaskCollect& r : rows) res.body << "<tr><td>" << r.mask << "</td><td>" << r.count << "</td></tr>";
  res.body << "</table><style>\n"
              ".bordertable {border-collapse: collapse; margin: 10px 0;}\n"
              ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}\n"
              "</style>";
  return 200;
}

void modinit() {
  resproc.addProcModule("maskfind", funnyt52);
  webserver().subscribe("^/debug/mask/$", http_mask_collect);
}

}  // namespace mask
