// kovira::SmartBuffer: the lock-free ring of frame records of one camera.
//
// Records are addressed by 64-bit positions; [begin, end) is what is kept.
// They live in pages of 512 (kovira::SmartPage) held in `slotCount` slots;
// a page is shared by its slot, the optional history and every iterator
// standing on it, and is freed when the last of them lets go.
//
// Threading: exactly one writer (push_back, enableHistory, writerRecord);
// any number of readers (find, iterators) without a lock. The writer
// publishes a record by storing `end` after the record is complete and
// retires one by storing `begin` before it empties a slot; a reader that
// took a page re-tests `begin` afterwards, so an evicted record is never
// returned as found.
#pragma once

#include "capture/framemeta.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <vector>

namespace kovira {

class SmartBuffer;

class SmartPage {
 public:
  static constexpr std::uint32_t FramesPerPage = 512;

  explicit SmartPage(std::uint32_t firstIndex);
  ~SmartPage();
  SmartPage(const SmartPage&) = delete;
  SmartPage& operator=(const SmartPage&) = delete;

  // Copies the record in at dataEnd (writer only); returns the stored copy.
  FrameMetadata& push_back(const FrameMetadata& record);
  FrameMetadata& operator[](std::uint32_t pos);
  const FrameMetadata& operator[](std::uint32_t pos) const;

  std::uint32_t dataStart() const { return dataStart_; }
  std::uint32_t dataEnd() const { return dataEnd_.load(std::memory_order_acquire); }

 private:
  FrameMetadata* slot(std::uint32_t pos) {
    return std::launder(reinterpret_cast<FrameMetadata*>(storage_ + pos * sizeof(FrameMetadata)));
  }
  const FrameMetadata* slot(std::uint32_t pos) const {
    return std::launder(
        reinterpret_cast<const FrameMetadata*>(storage_ + pos * sizeof(FrameMetadata)));
  }

  alignas(FrameMetadata) std::byte storage_[FramesPerPage * sizeof(FrameMetadata)];
  std::uint32_t dataStart_;
  std::atomic<std::uint32_t> dataEnd_;
};

class SmartBufferIteratorBase {
 public:
  static constexpr std::uint64_t POSITION_END = ~std::uint64_t{0} - 1;  // past the newest
  static constexpr std::uint64_t POSITION_BEFORE = ~std::uint64_t{0};   // before the oldest

  SmartBufferIteratorBase() = default;

  // Step to the next newer / older retained record. An iterator whose
  // record was evicted meanwhile steps forward to the oldest retained one.
  void go_forward();
  void go_backward();

  FrameMetadata* operator->() const;
  FrameMetadata& operator*() const { return *operator->(); }

  std::uint64_t position() const { return position_; }
  bool isEnd() const { return position_ == POSITION_END; }
  bool isBeforeBegin() const { return position_ == POSITION_BEFORE; }
  // Stands on a record (neither END nor before-begin).
  bool valid() const { return position_ < POSITION_END && page_ != nullptr; }
  const SmartBuffer* buffer() const { return buffer_; }

  bool operator==(const SmartBufferIteratorBase& other) const {
    return position_ == other.position_ && buffer_ == other.buffer_;
  }

 protected:
  friend class SmartBuffer;
  SmartBufferIteratorBase(std::uint64_t position, const SmartBuffer* buffer,
                          std::shared_ptr<SmartPage> page);

  void release() {
    page_ = nullptr;
    ref_.reset();
  }
  // Loads the page of candidate; false when the slot is empty.
  bool take(std::uint64_t candidate);

  std::uint64_t position_ = POSITION_END;
  const SmartBuffer* buffer_ = nullptr;
  SmartPage* page_ = nullptr;
  std::shared_ptr<SmartPage> ref_;  // keeps page_ alive
};

class SmartBufferIterator : public SmartBufferIteratorBase {
 public:
  using SmartBufferIteratorBase::SmartBufferIteratorBase;
  SmartBufferIterator() = default;
  SmartBufferIterator(const SmartBufferIteratorBase& base) : SmartBufferIteratorBase(base) {}

  SmartBufferIterator& operator++() {
    go_forward();
    return *this;
  }
  SmartBufferIterator& operator--() {
    go_backward();
    return *this;
  }
};

class SmartBuffer {
 public:
  static constexpr std::uint32_t FramesPerPage = SmartPage::FramesPerPage;
  static constexpr unsigned PageShift = 9;
  static_assert((1u << PageShift) == FramesPerPage);

  SmartBuffer(std::uint64_t capacity, std::uint64_t firstPosition);
  ~SmartBuffer();
  SmartBuffer(const SmartBuffer&) = delete;
  SmartBuffer& operator=(const SmartBuffer&) = delete;

  // Appends a copy of record (writer only), evicting the oldest record when
  // `capacity` are held; sets its position and returns that position.
  std::uint64_t push_back(const FrameMetadata& record);

  SmartBufferIterator find(std::uint64_t position) const;
  bool find(std::uint64_t position, FrameMetadata& out) const;
  SmartBufferIterator endIterator() const;
  // Oldest and newest retained records (END when empty).
  SmartBufferIterator oldest() const;
  SmartBufferIterator newest() const;

  // 0 turns history off; otherwise keeps up to ceil(records / 512)
  // evicted pages alive. Writer only.
  void enableHistory(std::uint64_t records);
  // Keeps an evicted page alive while history is on. Writer only.
  void saveRemovedPage(std::shared_ptr<SmartPage> page);

  // The record at a retained position, for the writer's own walks (no
  // reference counting; the writer is the only one who frees pages).
  FrameMetadata& writerRecord(std::uint64_t position);
  // The record pushed last (writer only; the buffer must not be empty).
  FrameMetadata& writerBack() { return writerRecord(end() - 1); }

  std::uint64_t begin() const { return begin_.load(); }
  std::uint64_t end() const { return end_.load(); }
  std::uint64_t size() const;
  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t slotCount() const { return slotCount_; }
  std::size_t historyPages() const { return history_ ? history_->size() : 0; }

 private:
  friend class SmartBufferIteratorBase;
  std::size_t slotOf(std::uint64_t position) const {
    return static_cast<std::size_t>((position >> PageShift) % slotCount_);
  }
  std::shared_ptr<SmartPage> loadSlot(std::uint64_t position) const {
    return std::atomic_load(&slots_[slotOf(position)]);
  }

  std::atomic<std::uint64_t> begin_;
  std::atomic<std::uint64_t> end_;
  const std::uint64_t capacity_;
  const std::uint64_t slotCount_;
  std::unique_ptr<std::deque<std::shared_ptr<SmartPage>>> history_;  // writer only
  // Read and written only with std::atomic_load / std::atomic_store.
  std::unique_ptr<std::shared_ptr<SmartPage>[]> slots_;
  std::vector<SmartPage*> writerPages_;  // writer's plain view of slots_
  std::uint64_t historyMax_ = 0;
};

}  // namespace kovira
