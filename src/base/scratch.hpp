// A list of fixed-size records with no fixed bound, in scratch pages of its
// own (sys.map_memory): mapped at its first record, grown as it fills, and
// given back whole when it is released or goes out of scope, so that what
// a kill or a reading of the process table needed does not stay resident.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "base/system_ops.hpp"

namespace vorn {

template <typename T>
class scratch_list {
    static_assert(std::is_trivially_copyable_v<T>, "records are copied as bytes");

public:
    scratch_list() = default;
    ~scratch_list() { release(); }
    scratch_list(const scratch_list&) = delete;
    scratch_list& operator=(const scratch_list&) = delete;

    // Appends one record: false when no memory can be had for it.
    bool push(const T& item) {
        if (count_ == capacity_ && !grow()) return false;
        std::memcpy(static_cast<void*>(items_ + count_), &item, sizeof item);
        ++count_;
        return true;
    }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T* data() { return items_; }
    const T* data() const { return items_; }
    // Room for n records in all, without appending any: false when no
    // memory can be had.
    bool reserve(std::size_t n) {
        while (capacity_ < n)
            if (!grow()) return false;
        return true;
    }
    // Keeps the first n records (n no more than size()).
    void shrink_to(std::size_t n) { count_ = n < count_ ? n : count_; }
    // The first n records are those written into data() directly, within
    // the room reserve() made.
    void set_written(std::size_t n) { count_ = n < capacity_ ? n : capacity_; }
    // No record left, and the pages given back.
    void release() {
        if (items_ != nullptr) sys.unmap_memory(items_, mapped_);
        items_ = nullptr;
        count_ = capacity_ = mapped_ = 0;
    }

private:
    static constexpr std::size_t first_bytes = 16384;

    bool grow() {
        const std::size_t bytes = mapped_ == 0 ? first_bytes : 2 * mapped_;
        if (bytes / 2 < mapped_) return false;  // would overflow
        void* pages =
            items_ == nullptr ? sys.map_memory(bytes) : sys.remap_memory(items_, mapped_, bytes);
        if (pages == nullptr) return false;
        items_ = static_cast<T*>(pages);
        mapped_ = bytes;
        capacity_ = bytes / sizeof(T);
        return true;
    }

    T* items_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
    std::size_t mapped_ = 0;  // bytes
};

// Sorts items in place so that none comes before an item that goes
// `before` it (heap sort: no memory, no recursion).
template <typename T, typename Before>
void heap_sort(T* items, std::size_t count, Before before) {
    const auto sift_down = [&](std::size_t at, std::size_t end) {
        for (;;) {
            std::size_t last = at;
            const std::size_t left = 2 * at + 1, right = left + 1;
            if (left < end && before(items[last], items[left])) last = left;
            if (right < end && before(items[last], items[right])) last = right;
            if (last == at) return;
            const T kept = items[at];
            items[at] = items[last];
            items[last] = kept;
            at = last;
        }
    };
    for (std::size_t i = count / 2; i-- > 0;) sift_down(i, count);
    for (std::size_t end = count; end-- > 1;) {
        const T kept = items[0];
        items[0] = items[end];
        items[end] = kept;
        sift_down(0, end);
    }
}

}  // namespace vorn
