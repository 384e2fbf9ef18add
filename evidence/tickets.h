// Tickets: one line per plate group a processing module handled, listed on
// the page "^/debug/tickets/" ("Проезды"), newest first. Memory only; the
// list keeps the most recent kKeep (+1) tickets.
//
// The scratch folder holds the copies the tickets link to, and only those:
// a ticket's copies are deleted when it leaves the list; once the copies
// of all tickets exceed the scratch cap, the oldest tickets lose theirs (the
// links go, the lines stay); at start-up sweep() removes whatever an earlier
// run left, since no ticket of this run refers to it.
//
// Threading: the list is guarded by `_localmtx`; adders are the result-queue
// workers, readers the HTTP threads. A module fills a ticket in after adding
// it through updatewebticket (under the mutex), since a page may copy it at
// the same time. Pointers from add stay valid until the ticket is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class HttpRequest;
class HttpResponse;

struct ticket_t {
  std::uint32_t id = 0;
  std::uint32_t cnt = 0;     // points of the track
  std::uint32_t way = 0;     // direction: 1 or 2
  std::uint32_t mask = 0;    // the plate matched a configured mask
  std::uint32_t track = 0;   // track id
  std::uint32_t vclass = 0;  // vehicle type code
  float acc = 0;
  float speed = 0;  // km/h; 0 or negative when none
  std::string plate;
  std::string type;     // module name
  std::string time;     // "%Y/%m/%d %H:%M:%S", local
  std::string collage;  // scratch file names ("" when none)
  std::string frame;
  std::string tar;
  std::uint32_t highlight = 0;
  std::uint32_t alert = 0;
};

// The three scratch copies a ticket links to.
enum class ScratchCopy { Collage, Frame, Tar };

class TicketList {
 public:
  static constexpr std::size_t kKeep = 2500;
  static constexpr std::size_t kPageRows = 900;
  // Bytes of scratch copies kept for all tickets together: far below the
  // 2 GiB that evidence needs free on /tmp, where the folder lives.
  static constexpr std::uint64_t kScratchCap = 512ull << 20;

  // scratch: the folder (ending in "/") holding the tickets' scratch copies.
  explicit TicketList(std::string scratch, std::uint64_t scratchCap = kScratchCap);

  // The pointer stays valid only until kKeep more tickets are added: a
  // caller that may run beside other adders takes the id from addId.
  ticket_t* add(std::string type, std::string plate);
  std::uint32_t addId(std::string type, std::string plate);
  // Runs edit on the ticket under the mutex; false when it was dropped.
  bool update(std::uint32_t id, const std::function<void(ticket_t&)>& edit);
  // Links the scratch copy `name` (a file in the scratch folder) to the
  // ticket and counts its bytes against the cap, deleting the oldest copies
  // beyond it. A copy whose ticket was already dropped is deleted at once;
  // an empty name (a failed write) changes nothing.
  void attach(std::uint32_t id, ScratchCopy which, const std::string& name);
  // Deletes every file of the scratch folder that no ticket links to;
  // returns how many. Subfolders and what links point at are left alone.
  std::size_t sweep() const;
  // Copies of the newest n tickets, newest first.
  std::vector<ticket_t> newest(std::size_t n) const;
  std::size_t size() const;
  int page(const HttpRequest& req, HttpResponse& res) const;

 private:
  ticket_t* push(std::string type, std::string plate, std::uint32_t& id);
  struct Entry {
    ticket_t t;
    std::uint64_t bytes[3] = {0, 0, 0};  // of its copies, by ScratchCopy
  };
  // Called with _localmtx held: empties the entry's links and moves their
  // names to `doomed`, subtracting their bytes.
  void dropCopies(Entry& e, std::vector<std::string>& doomed);
  void remove(const std::vector<std::string>& names) const;  // outside the lock

  std::string scratch_;
  std::uint64_t cap_;
  mutable std::mutex _localmtx;
  std::deque<Entry> list_;     // guarded by _localmtx, oldest first, ids consecutive
  std::uint32_t tid = 0;       // guarded by _localmtx
  std::uint64_t scratchBytes_ = 0;  // guarded by _localmtx: counted copies of all tickets
};

// The process-wide list, scratch folder "/tmp/cashed/".
TicketList& webtickets();
ticket_t* addwebticket(std::string type, std::string plate);
std::uint32_t addwebticketId(std::string type, std::string plate);
bool updatewebticket(std::uint32_t id, const std::function<void(ticket_t&)>& edit);
void attachwebcopy(std::uint32_t id, ScratchCopy which, const std::string& name);

// "" for an empty name, else taglink(folder + name, text).
std::string linktofile(std::string folder, std::string name, std::string text);
// One table row of the page (exposed for tests).
std::string ticketRow(const ticket_t& t);

int http_tickets(const HttpRequest& req, HttpResponse& res);
