// The counts the server has read, kept for looking at (the web page's
// plots): a ring of the latest, each with the time it was read. Looking
// never takes a word from the hold; the ring only forgets the oldest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct seen_count {
    std::int32_t count;
    std::int64_t read_at_ms; // wall clock, milliseconds since the epoch
};

class count_history {
public:
    explicit count_history(std::size_t size = 1u << 16) : size_(size) {}

    void add(const std::int32_t *counts, std::size_t n, std::int64_t read_at_ms)
    {
        // The ring grows as counts come (a full one is a megabyte), then
        // each count takes the place of the oldest.
        for (std::size_t i = 0; i < n; ++i, ++seen_) {
            if (ring_.size() < size_)
                ring_.push_back({counts[i], read_at_ms});
            else
                ring_[seen_ % size_] = {counts[i], read_at_ms};
        }
    }
    // Counts ever read; the next one read gets this index.
    std::uint64_t seen() const { return seen_; }
    // The oldest index still kept.
    std::uint64_t oldest() const { return seen_ > size_ ? seen_ - size_ : 0; }
    const seen_count &at(std::uint64_t index) const { return ring_[index % size_]; }

private:
    std::size_t size_;
    std::vector<seen_count> ring_;
    std::uint64_t seen_ = 0;
};
