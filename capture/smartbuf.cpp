#include "capture/smartbuf.h"

#include "capture/contract.h"

#include <algorithm>
#include <utility>

namespace kovira {

namespace {
constexpr std::uint32_t kPageMask = SmartPage::FramesPerPage - 1;
}

// ---- SmartPage ----

SmartPage::SmartPage(std::uint32_t firstIndex) : dataStart_(firstIndex), dataEnd_(firstIndex) {
  KOVIRA_CONTRACT(dataStart_ < FramesPerPage, "dataStart < FramesPerPage");
}

SmartPage::~SmartPage() {
  const std::uint32_t endIndex = dataEnd_.load(std::memory_order_acquire);
  KOVIRA_CONTRACT(dataStart_ <= endIndex && endIndex <= FramesPerPage,
                  "dataStart <= dataEnd && dataEnd <= FramesPerPage");
  for (std::uint32_t i = dataStart_; i < endIndex; ++i) slot(i)->~FrameMetadata();
}

FrameMetadata& SmartPage::push_back(const FrameMetadata& record) {
  const std::uint32_t endIndex = dataEnd_.load(std::memory_order_relaxed);
  KOVIRA_CONTRACT(endIndex < FramesPerPage, "dataEnd < FramesPerPage");
  auto* stored = new (storage_ + endIndex * sizeof(FrameMetadata)) FrameMetadata(record);
  dataEnd_.store(endIndex + 1, std::memory_order_release);
  return *stored;
}

FrameMetadata& SmartPage::operator[](std::uint32_t pos) {
  KOVIRA_CONTRACT(pos >= dataStart_ && pos < dataEnd(), "pos >= dataStart && pos < dataEnd");
  return *slot(pos);
}

const FrameMetadata& SmartPage::operator[](std::uint32_t pos) const {
  KOVIRA_CONTRACT(pos >= dataStart_ && pos < dataEnd(), "pos >= dataStart && pos < dataEnd");
  return *slot(pos);
}

// ---- iterators ----

SmartBufferIteratorBase::SmartBufferIteratorBase(std::uint64_t position, const SmartBuffer* buffer,
                                                 std::shared_ptr<SmartPage> page)
    : position_(position), buffer_(buffer), page_(page.get()), ref_(std::move(page)) {}

FrameMetadata* SmartBufferIteratorBase::operator->() const {
  KOVIRA_CONTRACT(position_ < POSITION_END && page_ != nullptr,
                  "position < POSITION_END && page != nullptr");
  return &(*page_)[static_cast<std::uint32_t>(position_ & kPageMask)];
}

bool SmartBufferIteratorBase::take(std::uint64_t candidate) {
  ref_ = buffer_->loadSlot(candidate);
  page_ = ref_.get();
  return page_ != nullptr;
}

void SmartBufferIteratorBase::go_forward() {
  if (buffer_ == nullptr || position_ == POSITION_END) return;
  const std::uint64_t oldestNow = buffer_->begin();
  std::uint64_t candidate =
      position_ == POSITION_BEFORE ? oldestNow : std::max(position_ + 1, oldestNow);
  for (;;) {
    if (candidate >= buffer_->end()) {
      release();
      position_ = POSITION_END;
      return;
    }
    const bool samePage = page_ != nullptr && position_ < POSITION_END &&
                          (candidate >> SmartBuffer::PageShift) == (position_ >> SmartBuffer::PageShift);
    if (!samePage) {
      release();
      take(candidate);
    }
    // Re-test after taking the page: the record may have been evicted while
    // we loaded it, and then its slot may already hold a newer page.
    const std::uint64_t oldest = buffer_->begin();
    if (candidate < oldest) {
      release();
      candidate = oldest;
      continue;
    }
    if (page_ == nullptr) continue;  // slot not visible yet: load it again
    position_ = candidate;
    return;
  }
}

void SmartBufferIteratorBase::go_backward() {
  if (buffer_ == nullptr || position_ == POSITION_BEFORE) return;
  const std::uint64_t current = position_ == POSITION_END ? buffer_->end() : position_;
  if (current == 0 || current - 1 < buffer_->begin()) {
    release();
    position_ = POSITION_BEFORE;
    return;
  }
  const std::uint64_t candidate = current - 1;
  const bool samePage = page_ != nullptr && position_ < POSITION_END &&
                        (candidate >> SmartBuffer::PageShift) == (position_ >> SmartBuffer::PageShift);
  if (!samePage) {
    release();
    take(candidate);
  }
  if (page_ == nullptr || candidate < buffer_->begin()) {
    release();
    position_ = POSITION_BEFORE;
    return;
  }
  position_ = candidate;
}

// ---- SmartBuffer ----

SmartBuffer::SmartBuffer(std::uint64_t capacity, std::uint64_t firstPosition)
    : begin_(firstPosition),
      end_(firstPosition),
      capacity_(capacity),
      slotCount_(capacity / FramesPerPage + 2),
      slots_(new std::shared_ptr<SmartPage>[slotCount_]),
      writerPages_(slotCount_, nullptr) {}

SmartBuffer::~SmartBuffer() = default;

std::uint64_t SmartBuffer::size() const {
  const std::uint64_t b = begin_.load();
  const std::uint64_t e = end_.load();
  return std::min(e - b, capacity_);
}

std::uint64_t SmartBuffer::push_back(const FrameMetadata& record) {
  const std::uint64_t b = begin_.load();
  const std::uint64_t e = end_.load();
  if (e - b >= capacity_) {
    begin_.store(b + 1);
    if (((b + 1) & kPageMask) == 0) {
      // Record b was the last of its page: the page leaves the buffer.
      const std::size_t s = slotOf(b);
      auto page = std::atomic_load(&slots_[s]);
      if (history_) saveRemovedPage(std::move(page));
      std::atomic_store(&slots_[s], std::shared_ptr<SmartPage>());
      writerPages_[s] = nullptr;
    }
  }
  const std::size_t s = slotOf(e);
  if ((e & kPageMask) == 0 || writerPages_[s] == nullptr) {
    auto page = std::make_shared<SmartPage>(static_cast<std::uint32_t>(e & kPageMask));
    writerPages_[s] = page.get();
    std::atomic_store(&slots_[s], std::move(page));
  }
  FrameMetadata& stored = writerPages_[s]->push_back(record);
  stored.position = static_cast<std::uint32_t>(e);
  end_.store(e + 1);
  return e;
}

SmartBufferIterator SmartBuffer::endIterator() const {
  return SmartBufferIterator(SmartBufferIteratorBase::POSITION_END, this, nullptr);
}

SmartBufferIterator SmartBuffer::find(std::uint64_t position) const {
  if (position < begin_.load() || position >= end_.load()) return endIterator();
  auto page = loadSlot(position);
  if (page == nullptr || position < begin_.load()) return endIterator();
  return SmartBufferIterator(position, this, std::move(page));
}

bool SmartBuffer::find(std::uint64_t position, FrameMetadata& out) const {
  auto it = find(position);
  if (!it.valid()) return false;
  out = *it;
  return true;
}

SmartBufferIterator SmartBuffer::oldest() const {
  SmartBufferIterator it(SmartBufferIteratorBase::POSITION_BEFORE, this, nullptr);
  it.go_forward();
  return it;
}

SmartBufferIterator SmartBuffer::newest() const {
  SmartBufferIterator it = endIterator();
  it.go_backward();
  if (it.isBeforeBegin()) return endIterator();
  return it;
}

void SmartBuffer::enableHistory(std::uint64_t records) {
  if (records == 0) {
    history_.reset();
    historyMax_ = 0;
    return;
  }
  if (!history_) history_ = std::make_unique<std::deque<std::shared_ptr<SmartPage>>>();
  historyMax_ = (records + FramesPerPage - 1) / FramesPerPage;
  while (history_->size() > historyMax_) history_->pop_front();
}

void SmartBuffer::saveRemovedPage(std::shared_ptr<SmartPage> page) {
  if (!history_ || historyMax_ == 0) return;
  while (!history_->empty() && history_->size() >= historyMax_) history_->pop_front();
  history_->push_back(std::move(page));
}

FrameMetadata& SmartBuffer::writerRecord(std::uint64_t position) {
  return (*writerPages_[slotOf(position)])[static_cast<std::uint32_t>(position & kPageMask)];
}

}  // namespace kovira
