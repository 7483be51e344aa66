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
    explicit count_history(std::size_t size = 1u << 16) : ring_(size) {}

    void add(const std::int32_t *counts, std::size_t n, std::int64_t read_at_ms)
    {
        for (std::size_t i = 0; i < n; ++i)
            ring_[(seen_ + i) % ring_.size()] = {counts[i], read_at_ms};
        seen_ += n;
    }
    // Counts ever read; the next one read gets this index.
    std::uint64_t seen() const { return seen_; }
    // The oldest index still kept.
    std::uint64_t oldest() const { return seen_ > ring_.size() ? seen_ - ring_.size() : 0; }
    const seen_count &at(std::uint64_t index) const { return ring_[index % ring_.size()]; }

private:
    std::vector<seen_count> ring_;
    std::uint64_t seen_ = 0;
};
