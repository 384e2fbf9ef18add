#include "evidence/upload.h"

#include "config/config.h"
#include "config/form_fields.h"
#include "core/clock.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "core/threads.h"
#include "core/working.h"
#include "devices/heartbeat.h"
#include "evidence/crypto.h"
#include "http/httpclient.h"
#include "http/request.h"
#include "http/response.h"
#include "http/refusal.h"
#include "http/server.h"

#include <cstdlib>
#include <ctime>
#include <optional>
#include <iostream>

UploadWebLazy lazyUpload;

namespace {

std::string asctimeText(std::uint32_t t) {
  const std::time_t tt = t;
  std::tm tm{};
  char buf[64] = {};
  if (!localtime_r(&tt, &tm) || !asctime_r(&tm, buf)) return "?\n";
  return buf;
}

std::string md5of(const SimpleFile& f) {
  return md5(reinterpret_cast<const unsigned char*>(f.bytes() ? f.bytes() : ""), f.size);
}

}  // namespace

UploadWebLazy::Poster UploadWebLazy::httpPoster() {
  return [](const std::string& u, const SimpleFile& f, const std::atomic<bool>* cancel) {
    return httppostStatus(u, f.bytes(), f.size, cancel);
  };
}

UploadWebLazy::UploadWebLazy(Poster poster, std::chrono::milliseconds minFailPause)
    : poster_(std::move(poster)), minFailPause_(minFailPause) {}

UploadWebLazy::~UploadWebLazy() { stop(); }

void UploadWebLazy::configure(std::string uploadUrl) { url = std::move(uploadUrl); }

void UploadWebLazy::start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { (*this)(); });
}

void UploadWebLazy::stop() {
  {
    std::lock_guard lock(mutex);
    stop_ = true;
  }
  wake.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool UploadWebLazy::running() const { return working >= 1 && !stop_; }

bool UploadWebLazy::pause(std::chrono::milliseconds d) {
  std::unique_lock lock(mutex);
  wake.wait_for(lock, d, [this] { return stop_.load(); });
  return running();
}

bool UploadWebLazy::push(const SimpleFile& file) {
  if (url.empty()) {
    // The archive is stored but will never reach the collector: count it
    // so the page says so instead of showing an empty, healthy queue.
    ++unsent;
    std::cout << "[DBG] no upload server: archive of " << file.size << " bytes not sent" << std::endl;
    return false;
  }
  const std::uint64_t limit = limsize.load() * kMiB;
  std::uint64_t total = 0;
  {
    // The check and the append are one step: two workers cannot both fit
    // into the last free megabytes.
    std::lock_guard lock(mutex);
    total = queuedBytes_ + file.size;
    if (total <= limit) {
      queue_.push_back(file);
      queuedBytes_ = total;
      if (total > maxfill) {
        maxfill = total;
        maxfilltime = static_cast<std::uint32_t>(now());
      }
    }
  }
  if (total > limit) {
    ++dropped;
    std::cout << "[DBG] upload queue full (" << limsize.load() << " MiB): archive of " << file.size
              << " bytes dropped" << std::endl;
    return false;
  }
  wake.notify_all();
  return true;
}

void UploadWebLazy::appendHistory(const UploadHistoryEntry& entry) {
  history_.push_back(entry);
  while (history_.size() > kHistoryMax) history_.pop_front();
}

void UploadWebLazy::recordFailure() {
  std::lock_guard lock(mutex);
  // One entry per run of failures; its time is that of the run's first one.
  if (!history_.empty() && history_.back().status == 0)
    ++history_.back().failcount;
  else
    appendHistory({static_cast<std::uint32_t>(now()), 1, 0, 0, 0});
}

void UploadWebLazy::recordSuccess(const SimpleFile& file, std::uint32_t ms) {
  std::lock_guard lock(mutex);
  appendHistory({static_cast<std::uint32_t>(now()), 0, 1, static_cast<std::uint32_t>(file.size), ms});
  // Only this thread removes or reorders entries, so the head is still ours.
  if (!queue_.empty() && queue_.front().data == file.data) {
    queuedBytes_ -= queue_.front().size;
    queue_.pop_front();
  }
}

void UploadWebLazy::operator()() {
  thread_name("lazyupload");
  // Refusals of the head archive since it became the head; outage answers
  // between them neither count nor start the count again.
  std::uint32_t headRefusals = 0;
  while (running()) {
    // a. Wait for work, waking every kIdleCheck to look at `working`.
    SimpleFile file;
    {
      std::unique_lock lock(mutex);
      while (queue_.empty()) {
        wake.wait_for(lock, kIdleCheck);
        if (!running()) return;
      }
      file = queue_.front();  // stays queued while it is posted
    }
    // b-d. Post it; a post that throws counts as a failed one.
    const auto t0 = std::chrono::steady_clock::now();
    int status = -1;
    try {
      status = poster_(url + "?type=upload&hash=" + md5of(file), file, &stop_);
    } catch (const std::exception& e) {
      std::cout << "[ERR] upload: " << e.what() << std::endl;
    } catch (...) {
      std::cout << "[ERR] upload: unknown failure" << std::endl;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    if (!running()) return;
    if (status == 200) {
      sent += file.size;  // counted before the archive leaves the queue
      recordSuccess(file, static_cast<std::uint32_t>(ms.count()));
      headRefusals = 0;
      continue;
    }
    // e. Failure: count it, pause. Only a server that answered and refused
    // this very archive again and again is a reason to let the others pass;
    // an outage (no answer, time-out, 5xx from a proxy whose back end is
    // down, 429) refuses every archive alike, and moving the head would
    // only deliver them out of order once it is over.
    recordFailure();
    ++failed;
    if (refusesArchive(status) && ++headRefusals >= kMaxHeadFailures) {
      headRefusals = 0;
      bool moved = false;
      {
        std::lock_guard lock(mutex);
        if (queue_.size() > 1 && queue_.front().data == file.data) {
          queue_.push_back(queue_.front());
          queue_.pop_front();
          moved = true;
        }
      }
      if (moved)
        std::cout << "[DBG] upload: archive of " << file.size << " bytes failed " << kMaxHeadFailures
                  << " times in a row, moved to the back of the queue" << std::endl;
    }
    const auto configured = std::chrono::milliseconds(static_cast<std::uint32_t>(faildelay.load()) * 1000ull);
    if (!pause(std::max(configured, minFailPause_))) return;
  }
}

bool refusesArchive(int status) { return status >= 400 && status < 500 && status != 408 && status != 429; }

void UploadWebLazy::report() {
  const std::uint64_t limit = limsize.load() * kMiB;
  if (limit == 0) return;
  const double ratio = static_cast<double>(queuedBytes()) / static_cast<double>(limit);
  if (ratio < 0.015)
    heartbeatStore().emplace("lazybuffused", 0);
  else if (ratio > 1.0)
    heartbeatStore().emplace("lazybuffused", 1);
  else
    heartbeatStore().emplace("lazybuffused", ratio);
}

std::size_t UploadWebLazy::queued() const {
  std::lock_guard lock(mutex);
  return queue_.size();
}

std::uint64_t UploadWebLazy::queuedBytes() const {
  std::lock_guard lock(mutex);
  return queuedBytes_;
}

std::vector<UploadHistoryEntry> UploadWebLazy::history() const {
  std::lock_guard lock(mutex);
  return {history_.begin(), history_.end()};
}

std::string lazyHistoryRow(const UploadHistoryEntry& e) {
  std::string row = "<tr><td>" + asctimeText(e.time) + "</td>";
  if (e.status == 0) {
    row += "<td>FAIL</td><td>" + std::to_string(e.failcount) + "</td><td>-</td><td>-</td>";
  } else {
    const std::uint32_t speed = e.ms == 0 ? 0u : (e.size / e.ms) * 8u;
    row += "<td>SUCCESS</td><td>" + format("%0.3f", e.ms / 1000.0) + "</td><td>" + std::to_string(e.size / 1024) +
           "K</td><td>" + std::to_string(speed) + " kbps</td>";
  }
  return row + "</tr>";
}

int UploadWebLazy::page(const HttpRequest& req, HttpResponse& res) {
  if (req.method == "POST") {
    // Values out of range (a typing error, a negative number) refuse the
    // whole form with 400 instead of wrapping into an absurd limit or pause.
    kovira::FormFields form(req);
    const std::optional<long long> delay = form.integer("faildelay", 0, static_cast<long long>(kMaxFaildelay));
    const std::optional<long long> size = form.integer("limsize", 0, static_cast<long long>(kMaxLimsize));
    if (!form.ok()) return answerRefused(res, form.error());
    if (delay) faildelay = static_cast<std::uint64_t>(*delay);
    if (size) limsize = static_cast<std::uint64_t>(*size);
    return res.redirect("/debug/lazyupload/", 302);
  }

  std::size_t count = 0;
  std::uint64_t bytes = 0;
  std::vector<UploadHistoryEntry> entries;
  std::uint64_t successSum = 0, successCount = 0;
  {
    std::lock_guard lock(mutex);
    count = queue_.size();
    bytes = queuedBytes_;
    const std::size_t first = history_.size() > kPageRows ? history_.size() - kPageRows : 0;
    entries.assign(history_.begin() + static_cast<std::ptrdiff_t>(first), history_.end());
    for (const auto& e : history_)
      if (e.status == 1) {
        successSum += e.size;
        ++successCount;
      }
  }
  const std::uint64_t lim = limsize.load();
  const std::uint64_t limit = lim * kMiB;
  const std::uint64_t mf = maxfill.load();

  res.headers["Content-Type"] = "text/html; charset=utf-8";
  auto& out = res.body;
  out << "<h1>LazyUploader</h1><hr>" << "<form method=post action=\"?\">";
  out << "<p>Объем памяти: " << "<input type=text size=3 name=limsize value=" << lim << "> мб" << "</p>";
  out << "<p>Задержка (при неудочной попытке выгрузки): " << "<input type=text size=4 name=faildelay value="
      << faildelay.load() << "> сек" << "</p>";
  out << "<p>" << "Заполненность внутреннего хранилища: " << (limit == 0 ? 100 : 100 * bytes / limit) << "%</p>";
  if (mf > 0 && mf * 10 > limit)
    out << "<p>" << "Максимальная заполненность: " << (limit == 0 ? 0 : mf * 100 / limit) << "%" << " - "
        << asctimeText(maxfilltime.load()) << "</p>";
  out << "<p>" << "Объектов ожидает выгрузки: " << count << "</p>";
  out << "<p>" << "Неудачных попыток выгрузки: " << failed.load() << "</p>";
  out << "<p>" << "Отброшено (заполнена память): " << dropped.load() << "</p>";
  out << "<p>" << "Средний размер: " << (successCount == 0 ? 0 : successSum / successCount / 1024) << "K</p>";
  out << "<p>" << "Отправлено: " << sent.load() / kMiB << " мб</p>";
  out << "<hr>" << "<button class=update>Update config</button>" << "</form>" << "<h2>История загрузок</h2>"
      << "<table class=bordertable>" << "<tr><td>Date/time</td><td>Status</td><td>Time</td><td>Size</td><td>Speed</td></tr>";
  for (const auto& e : entries) out << lazyHistoryRow(e);
  out << "</table>";
  const std::uint64_t notSent = unsent.load();
  if (notSent > 0 || !configured())
    out << "<p>" << "Не отправлено (не задан сервер выгрузки \"upload\" в /etc/kovira.conf): " << notSent << "</p>";
  out << "<style>" << "\n" << ".bordertable {border-collapse: collapse; margin: 10px 0;}" << "\n"
      << ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}" << "\n" << "</style>";
  return 200;
}

void lazyUploadPush(const SimpleFile& file) { lazyUpload.push(file); }

void lazyloop(unsigned int) { lazyUpload.report(); }

int http_lazyindex(const HttpRequest& req, HttpResponse& res) { return lazyUpload.page(req, res); }

namespace upload {
void modinit() {
  webserver().subscribe("^/debug/lazyupload/$", http_lazyindex);
  scheduler.add(lazyloop, std::chrono::seconds(90), false, "lazyloop");
  std::string base;
  {
    kovira::ConfigReadLock lock;
    base = kovira::config().endpoints.upload;
  }
  if (base.empty()) {
    std::cout << "[DBG] no \"upload\" server in /etc/kovira.conf: evidence is stored, not uploaded" << std::endl;
    return;
  }
  lazyUpload.configure(base + UploadWebLazy::kPath);
  lazyUpload.start();
  // The thread reads the configuration's neighbours (the heartbeat, the
  // crypto library); it ends before they are torn down at exit.
  std::atexit([] { lazyUpload.stop(); });
}
}  // namespace upload
