// The event queue's storage: records by value in a ring that doubles when it
// is full, so that a queue in steady use allocates nothing. After a burst it
// shrinks again when told to (an idle second): its peak would otherwise stay
// allocated for the life of the process.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstddef>
#include <memory>
#include <new>
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
    size_t capacity() const noexcept { return capacity_; }
    /// When the capacity is more than four times the records held: moves them
    /// to the smallest ring that holds them twice over (at least the first
    /// capacity) and returns the old storage, for the caller to free where it
    /// likes; null otherwise, or when that ring cannot be had.
    std::unique_ptr<EventParms[]> shrink() noexcept {
        if (capacity_ <= kFirstCapacity || capacity_ <= 4 * size_) return nullptr;
        size_t capacity = kFirstCapacity;
        while (capacity < 2 * size_) capacity *= 2;
        std::unique_ptr<EventParms[]> slots(new (std::nothrow) EventParms[capacity]);
        if (!slots) return nullptr;
        moveTo(slots.get());
        std::swap(slots_, slots);
        capacity_ = capacity;
        head_ = 0;
        return slots;
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
        moveTo(slots.get());
        slots_ = std::move(slots);
        capacity_ = capacity;
        head_ = 0;
    }

    void moveTo(EventParms* to) const noexcept {
        for (size_t i = 0; i < size_; ++i) to[i] = slots_[(head_ + i) & (capacity_ - 1)];
    }

    std::unique_ptr<EventParms[]> slots_;
    size_t capacity_ = 0; ///< a power of two, or 0 before the first push
    size_t head_ = 0;
    size_t size_ = 0;
};

} // namespace ox::core
