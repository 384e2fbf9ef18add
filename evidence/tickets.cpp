#include "evidence/tickets.h"

#include "core/clock.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "evidence/common.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

namespace {

// Only plain names made by tempSave are deleted: never a path.
bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

const char* vehicleLetter(std::uint32_t vclass) {
  switch (vclass) {
    case 2: return "B";
    case 3: return "C";
    case 4: return "L";
    case 5: return "M";
    case 6: return "T";
    default: return "";
  }
}

std::string& copyName(ticket_t& t, ScratchCopy which) {
  switch (which) {
    case ScratchCopy::Collage: return t.collage;
    case ScratchCopy::Frame: return t.frame;
    case ScratchCopy::Tar: break;
  }
  return t.tar;
}

}  // namespace

TicketList::TicketList(std::string scratch, std::uint64_t scratchCap)
    : scratch_(std::move(scratch)), cap_(scratchCap) {}

void TicketList::dropCopies(Entry& e, std::vector<std::string>& doomed) {
  for (ScratchCopy which : {ScratchCopy::Collage, ScratchCopy::Frame, ScratchCopy::Tar}) {
    std::string& name = copyName(e.t, which);
    std::uint64_t& bytes = e.bytes[static_cast<int>(which)];
    if (plainName(name)) doomed.push_back(std::move(name));
    name.clear();
    scratchBytes_ -= bytes;
    bytes = 0;
  }
}

void TicketList::remove(const std::vector<std::string>& names) const {
  for (const std::string& name : names) ::unlink((scratch_ + name).c_str());
}

ticket_t* TicketList::add(std::string type, std::string plate) {
  std::uint32_t id = 0;
  return push(std::move(type), std::move(plate), id);
}

std::uint32_t TicketList::addId(std::string type, std::string plate) {
  std::uint32_t id = 0;
  push(std::move(type), std::move(plate), id);
  return id;
}

ticket_t* TicketList::push(std::string type, std::string plate, std::uint32_t& id) {
  Entry fresh;
  fresh.t.type = std::move(type);
  fresh.t.plate = std::move(plate);
  fresh.t.time = timeformat("%Y/%m/%d %H:%M:%S", static_cast<unsigned>(now()));
  std::vector<std::string> doomed;
  ticket_t* added = nullptr;
  {
    std::lock_guard lock(_localmtx);
    if (list_.size() > kKeep) {
      dropCopies(list_.front(), doomed);
      list_.pop_front();
    }
    fresh.t.id = ++tid;
    list_.push_back(std::move(fresh));
    added = &list_.back().t;
    id = added->id;
  }
  remove(doomed);  // file system work outside the lock
  return added;
}

bool TicketList::update(std::uint32_t id, const std::function<void(ticket_t&)>& edit) {
  std::lock_guard lock(_localmtx);
  if (list_.empty() || id < list_.front().t.id) return false;
  const std::size_t index = id - list_.front().t.id;
  if (index >= list_.size()) return false;
  edit(list_[index].t);
  return true;
}

void TicketList::attach(std::uint32_t id, ScratchCopy which, const std::string& name) {
  if (!plainName(name)) return;
  struct stat st {};
  const std::uint64_t bytes =
      ::stat((scratch_ + name).c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  std::vector<std::string> doomed;
  {
    std::lock_guard lock(_localmtx);
    Entry* e = nullptr;
    if (!list_.empty() && id >= list_.front().t.id && id - list_.front().t.id < list_.size())
      e = &list_[id - list_.front().t.id];
    if (e == nullptr) {
      doomed.push_back(name);  // no line would ever link it, nor delete it
    } else {
      std::string& slot = copyName(e->t, which);
      std::uint64_t& counted = e->bytes[static_cast<int>(which)];
      if (plainName(slot) && slot != name) doomed.push_back(slot);
      slot = name;
      scratchBytes_ += bytes - counted;
      counted = bytes;
      // Oldest copies go first; the list is short, so a walk is cheap.
      for (Entry& old : list_) {
        if (scratchBytes_ <= cap_) break;
        dropCopies(old, doomed);
      }
    }
  }
  remove(doomed);
}

std::size_t TicketList::sweep() const {
  std::set<std::string> linked;
  {
    std::lock_guard lock(_localmtx);
    for (const Entry& e : list_)
      for (const std::string* name : {&e.t.collage, &e.t.frame, &e.t.tar})
        if (!name->empty()) linked.insert(*name);
  }
  std::string folder = scratch_;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  // The folder itself must not be a link: the sweep deletes inside it.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return 0;
  }
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || linked.count(name) != 0) continue;
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) continue;
    if (::unlinkat(fd, name.c_str(), 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

std::vector<ticket_t> TicketList::newest(std::size_t n) const {
  std::lock_guard lock(_localmtx);
  std::vector<ticket_t> out;
  out.reserve(std::min(n, list_.size()));
  for (auto it = list_.rbegin(); it != list_.rend() && out.size() < n; ++it) out.push_back(it->t);
  return out;
}

std::size_t TicketList::size() const {
  std::lock_guard lock(_localmtx);
  return list_.size();
}

std::string linktofile(std::string folder, std::string name, std::string text) {
  if (name.empty()) return {};
  return taglink(folder + name, text);
}

std::string ticketRow(const ticket_t& t) {
  std::string style;
  if (t.acc < 1.0f) style = " style=\"color:#aaa\"";
  if (t.highlight) style = " style=\"background:#ffffa0\"";
  if (t.alert) style = " style=\"background:#ffdddd\"";
  const std::string track = std::to_string(t.track);
  const std::string way = t.way == 1 ? "<" : t.way == 2 ? ">" : "";
  std::ostringstream row;
  auto cell = [&row](const std::string& s) { row << "<td>" << s << "</td>"; };
  row << "<tr" << style << ">";
  cell(std::to_string(t.id));
  cell(htmlescape(t.plate));
  cell(htmlescape(t.type));
  cell(t.time);
  cell(t.mask ? "Y" : "N");
  cell(vehicleLetter(t.vclass));
  cell(way);
  cell(taglink("/debug/tracks/" + track + "/", track));
  cell(format("%.2f", static_cast<double>(t.acc)));
  cell(std::to_string(t.cnt));
  cell(format("%.1f", t.speed > 0 ? static_cast<double>(t.speed) : 0.0));
  cell(linktofile(evidence::kCashedDir, t.collage, "collage"));
  cell(linktofile(evidence::kCashedDir, t.frame, "frame"));
  cell(linktofile(evidence::kCashedDir, t.tar, "tar"));
  row << "</tr>\n";
  return row.str();
}

int TicketList::page(const HttpRequest&, HttpResponse& res) const {
  const std::vector<ticket_t> rows = newest(kPageRows);
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  auto& out = res.body;
  out << "<h1>Проезды</h1>" << "<table class=bordertable>" << "<tr>";
  for (const char* head : {"id", "plate", "type", "time", "M", "T", "Way", "Track", "acc", "cnt", "speed", "img1",
                           "img2", "tar"})
    out << "<td>" << head << "</td>";
  out << "</tr>\n";
  for (const ticket_t& t : rows) out << ticketRow(t);
  out << "</table>" << "<style>" << "\n" << ".bordertable {border-collapse: collapse; margin: 10px 0;}" << "\n"
      << ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}" << "\n" << "</style>";
  return 200;
}

TicketList& webtickets() {
  static TicketList* list = new TicketList(evidence::kCashedDir);  // never destroyed: workers may outlive main
  return *list;
}

ticket_t* addwebticket(std::string type, std::string plate) {
  return webtickets().add(std::move(type), std::move(plate));
}

std::uint32_t addwebticketId(std::string type, std::string plate) {
  return webtickets().addId(std::move(type), std::move(plate));
}

bool updatewebticket(std::uint32_t id, const std::function<void(ticket_t&)>& edit) {
  return webtickets().update(id, edit);
}

void attachwebcopy(std::uint32_t id, ScratchCopy which, const std::string& name) {
  webtickets().attach(id, which, name);
}

int http_tickets(const HttpRequest& req, HttpResponse& res) { return webtickets().page(req, res); }

namespace ticketsweb {
void webinit() {
  // Tickets live in memory: what an earlier run left in the scratch folder
  // has no line to link it and nobody to delete it.
  (void)webtickets().sweep();
  webserver().subscribe("^/debug/tickets/", http_tickets);
}
}  // namespace ticketsweb
