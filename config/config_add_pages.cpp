// Pages that add an action and delete an action or a zone. A deleted
// record stays in its registry, switched off and marked removed, so that
// its id keeps answering and the next save leaves it out of the file.
#include "config/actions.h"
#include "config/config.h"
#include "config/config_pages.h"
#include "config/form_fields.h"
#include "config/zones.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/refusal.h"
#include "http/server.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
// Method names are at least this long; the list's empty first choice is not.
constexpr std::size_t kMinTypeLength = 5;

enum class IdChoice { kOk, kNoFreeId, kFull };

// The id the next action gets: one above the largest (removed ones count),
// or, when that leaves the range the store reads back, the lowest id that
// no record holds. Called with the configuration lock held.
IdChoice nextActionId(int& id) {
  const std::vector<kovira::Action>& all = kovira::actions();
  if (all.size() >= kovira::kMaxActions) return IdChoice::kFull;
  int largest = 0;
  std::set<int> taken;
  for (const kovira::Action& a : all) {
    largest = std::max(largest, a.actid);
    taken.insert(a.actid);
  }
  if (largest < kovira::GlobalConfig::kMaxId) {
    id = largest + 1;
    return IdChoice::kOk;
  }
  for (int candidate = kovira::GlobalConfig::kMinId; candidate <= kovira::GlobalConfig::kMaxId; ++candidate) {
    if (taken.count(candidate) == 0) {
      id = candidate;
      return IdChoice::kOk;
    }
  }
  return IdChoice::kNoFreeId;
}

int noRoom(HttpResponse& resp, IdChoice why) {
  if (why == IdChoice::kFull)
    resp.body << "error: no room for another action, at most " << kovira::kMaxActions << " actions\n";
  else
    resp.body << "error: no free action id in " << kovira::GlobalConfig::kMinId << ".."
              << kovira::GlobalConfig::kMaxId << "\n";
  return 500;
}

// A deletion page: 404 for an id no record has; a POST switches the record
// off and marks it removed; anything else shows the confirmation form.
template <class Record, class Rows>
int deletePage(const HttpRequest& req, HttpResponse& resp, bool (*has)(int), Record& (*get)(int),
               const char* title, Rows rows) {
  const std::optional<int> id = kovira::routeId(req);
  if (!id || !has(*id)) return 404;
  if (req.method == "POST") {
    kovira::ConfigWriteLock lock;
    Record& r = get(*id);
    r.enabled = 0;
    r.removed = 1;
    return resp.redirect("/config/", 302);
  }
  std::string shown;
  {
    kovira::ConfigReadLock lock;
    shown = rows(get(*id));
  }
  resp.headers["Content-Type"] = kHtml;
  resp.body << "<h1>" << title << "</h1><hr><form method=post>" << shown
            << "<hr><button class='update'>del</button></form>";
  return 200;
}

}  // namespace

namespace kovira {

void subscribeAddPages(HttpServer& server) {
  server.subscribe("^/config/add/", http_act_add);
  server.subscribe("^/config/act(\\d+)/del", http_act_del);
  server.subscribe("^/config/zon(\\d+)/del", http_zon_del);
}

}  // namespace kovira

namespace config_add {
void modinit() { kovira::subscribeAddPages(webserver()); }
}  // namespace config_add

int http_act_add(const HttpRequest& req, HttpResponse& resp) {
  if (req.method == "POST" && req.has("type")) {
    kovira::FormFields form(req);
    const std::optional<std::string> type = form.text("type");
    if (!form.ok()) return answerRefused(resp, form.error());
    if (type->size() < kMinTypeLength) return resp.redirect("/config/", 302);
    int id = 0;
    {
      // The id is chosen and taken under one lock: two posts never share it.
      kovira::ConfigWriteLock lock;
      if (const IdChoice c = nextActionId(id); c != IdChoice::kOk) return noRoom(resp, c);
      kovira::Action& a = kovira::addAction(id);
      a.method = *type;
      a.accuracy = *type == "carflow" ? 0.1 : 1.0;
    }
    return resp.redirect("/config/act" + std::to_string(id) + "/", 302);
  }
  int id = 0;
  IdChoice choice;
  {
    kovira::ConfigReadLock lock;
    choice = nextActionId(id);
  }
  if (choice != IdChoice::kOk) return noRoom(resp, choice);
  resp.headers["Content-Type"] = kHtml;
  resp.body << "<h1>Добавление обработчика</h1><hr><form method=post><p>next id: " << id << "</p>"
            << "<p>Тип обработчика:<br><select name='type'><option value=''>N</option>";
  for (const char* t : {"speed", "wrongdir", "busline", "speed-kormelino", "busline-kormelino",
                        "wrongdir-kormelino", "carflow"})
    resp.body << "<option value='" << t << "'>" << t << "</option>";
  resp.body << "</select></p><hr><button class='update'>add</button></form>";
  return 200;
}

int http_act_del(const HttpRequest& req, HttpResponse& resp) {
  return deletePage(req, resp, kovira::hasAction, kovira::action, "Удаление обработчика",
                    [](const kovira::Action& a) {
                      return "<p>act id: " + std::to_string(a.actid) + "</p><p>method: " + htmlescape(a.method) +
                             "</p>";
                    });
}

int http_zon_del(const HttpRequest& req, HttpResponse& resp) {
  // The zone's form, too, labels its id "act id:".
  return deletePage(req, resp, kovira::hasZone, kovira::zone, "Удаление зоны", [](const kovira::Zone& z) {
    return "<p>act id: " + std::to_string(z.zoneid) + "</p><p>coords: " + htmlescape(z.coords) +
           "</p><p>area: " + std::to_string(z.area()) + " (площадь в пикс.)</p>";
  });
}
