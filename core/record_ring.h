// The event queue's storage: records by value in a ring that doubles when it
// is full and never shrinks, so that a queue in steady use allocates nothing.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstddef>
#include <memory>
#include <utility>

namespace ox::core {

class RecordRing {
public:
    RecordRing() = default;
    RecordRing(RecordRing&& other) noexcept { swap(other); }
    RecordRing& operator=(RecordRing&& other) noexcept {
        swap(other);
        return *this;
    }

    bool empty() const noexcept { return size_ == 0; }
    size_t size() const noexcept { return size_; }

    /// Appends a copy; allocates only when the ring is full (and may throw then,
    /// leaving the ring as it was).
    void push(EventParms const& e) {
        if (size_ == capacity_) grow();
        slots_[(head_ + size_) & (capacity_ - 1)] = e;
        ++size_;
    }
    /// Removes and returns the oldest record; the ring must not be empty.
    EventParms pop() noexcept {
        EventParms const e = slots_[head_];
        head_ = (head_ + 1) & (capacity_ - 1);
        --size_;
        return e;
    }
    /// Calls `f` with each record, oldest first.
    template <typename F>
    void forEach(F&& f) const {
        for (size_t i = 0; i < size_; ++i) f(slots_[(head_ + i) & (capacity_ - 1)]);
    }
    void swap(RecordRing& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(head_, other.head_);
        std::swap(size_, other.size_);
    }

private:
    static constexpr size_t kFirstCapacity = 256; // a burst of a few hundred records never grows it

    void grow() {
        size_t const capacity = capacity_ ? capacity_ * 2 : kFirstCapacity;
        std::unique_ptr<EventParms[]> slots(new EventParms[capacity]);
        for (size_t i = 0; i < size_; ++i) slots[i] = slots_[(head_ + i) & (capacity_ - 1)];
        slots_ = std::move(slots);
        capacity_ = capacity;
        head_ = 0;
    }

    std::unique_ptr<EventParms[]> slots_;
    size_t capacity_ = 0; ///< a power of two, or 0 before the first push
    size_t head_ = 0;
    size_t size_ = 0;
};

} // namespace ox::core
