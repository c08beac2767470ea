// A log that keeps the newest entries and counts all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mv620::sim {

inline constexpr std::size_t kLogCapacity = 4096;

// Entries are numbered from 0 in the order they were added since the last clear. Entry i is
// still held when total() - capacity <= i < total().
template <typename Entry, std::size_t Capacity = kLogCapacity> class BoundedLog {
public:
    void add(const Entry& entry) {
        if (entries_.size() < Capacity) {
            entries_.push_back(entry);
        } else {
            entries_[static_cast<std::size_t>(total_ % Capacity)] = entry;
        }
        ++total_;
    }

    void clear() noexcept {
        entries_.clear();
        total_ = 0;
    }

    std::uint64_t total() const noexcept { return total_; }

    // Entry `index`, or null when it was never added or has been pushed out.
    const Entry* find(std::uint64_t index) const noexcept {
        if (index >= total_ || total_ - index > entries_.size()) {
            return nullptr;
        }
        return &entries_[static_cast<std::size_t>(index % Capacity)];
    }

private:
    std::vector<Entry> entries_;
    std::uint64_t total_ = 0;
};

} // namespace mv620::sim
