#include "evidence/tickets.h"

#include "core/clock.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "evidence/common.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"

#include <unistd.h>

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

}  // namespace

TicketList::TicketList(std::string scratch) : scratch_(std::move(scratch)) {}

void TicketList::forget(const ticket_t& t) const {
  for (const std::string* name : {&t.collage, &t.frame, &t.tar})
    if (plainName(*name)) ::unlink((scratch_ + *name).c_str());
}

ticket_t* TicketList::add(std::string type, std::string plate) {
  ticket_t fresh;
  fresh.type = std::move(type);
  fresh.plate = std::move(plate);
  fresh.time = timeformat("%Y/%m/%d %H:%M:%S", static_cast<unsigned>(now()));
  ticket_t dropped;
  bool drop = false;
  ticket_t* added = nullptr;
  {
    std::lock_guard lock(_localmtx);
    if (list_.size() > kKeep) {
      dropped = std::move(list_.front());
      list_.pop_front();
      drop = true;
    }
    fresh.id = ++tid;
    list_.push_back(std::move(fresh));
    added = &list_.back();
  }
  if (drop) forget(dropped);  // file system work outside the lock
  return added;
}

bool TicketList::update(std::uint32_t id, const std::function<void(ticket_t&)>& edit) {
  std::lock_guard lock(_localmtx);
  if (list_.empty() || id < list_.front().id) return false;
  const std::size_t index = id - list_.front().id;
  if (index >= list_.size()) return false;
  edit(list_[index]);
  return true;
}

std::vector<ticket_t> TicketList::newest(std::size_t n) const {
  std::lock_guard lock(_localmtx);
  std::vector<ticket_t> out;
  out.reserve(std::min(n, list_.size()));
  for (auto it = list_.rbegin(); it != list_.rend() && out.size() < n; ++it) out.push_back(*it);
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

bool updatewebticket(std::uint32_t id, const std::function<void(ticket_t&)>& edit) {
  return webtickets().update(id, edit);
}

int http_tickets(const HttpRequest& req, HttpResponse& res) { return webtickets().page(req, res); }

namespace ticketsweb {
void webinit() { webserver().subscribe("^/debug/tickets/", http_tickets); }
}  // namespace ticketsweb
