// Every word the server reads from the instrument, once, whole and signed,
// with its index: the words counted since the server started, under the
// identity of this life of the server (chosen at random at its start), so
// that a reader tells a restart from a gap. Nothing is taken by reading: a
// read names its first index and may be made again, and when that index
// has left the journal, the read starts at the oldest held and says how
// many words were missed before it. The journal is bounded: the oldest
// words leave as new ones come.
//
// A word's time of reading is its read-out's: the words one read-out brings
// share one time, in milliseconds since the epoch (UTC). The journal keeps
// one mark a read-out (at most one a millisecond), and forgets it with the
// last of its words. Its memory: 4 bytes a word, and 16 bytes a read-out.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class count_journal {
public:
    explicit count_journal(std::size_t capacity = 4u << 20, std::string identity = new_identity());

    // Words read together, at `read_at_ms`, after all the others.
    void add(const std::int32_t *words, std::size_t n, std::int64_t read_at_ms);

    const std::string &identity() const { return identity_; }
    std::size_t capacity() const { return capacity_; }
    // The index the next word read gets: words read since the start.
    std::uint64_t next() const { return next_; }
    // The oldest index still held.
    std::uint64_t oldest() const { return next_ > capacity_ ? next_ - capacity_ : 0; }

    // For oldest() <= index < next().
    std::int32_t at(std::uint64_t index) const { return ring_[static_cast<std::size_t>(index % capacity_)]; }
    std::int64_t read_at(std::uint64_t index) const;
    // The first index read at or after `ms`: next() when none was.
    std::uint64_t first_read_since(std::int64_t ms) const;

    // A read from `from` of at most `most` words: where it starts, how many
    // words had left the journal before it, and how many it has.
    struct span {
        std::uint64_t first = 0;
        std::uint64_t missed = 0;
        std::uint64_t count = 0;
    };
    // `from` at most next(): a later index is no word of this life's.
    span read(std::uint64_t from, std::uint64_t most) const;

    // The words of [first, first + count) as they lie in the ring: one or
    // two runs, each `f(pointer, n)`. All of them held (oldest() <= first,
    // first + count <= next()).
    template <typename F> void each_run(std::uint64_t first, std::uint64_t count, F f) const
    {
        while (count > 0) {
            const std::size_t at = static_cast<std::size_t>(first % capacity_);
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, ring_.size() - at));
            f(ring_.data() + at, n);
            first += n;
            count -= n;
        }
    }

    // Sixteen hexadecimal digits from the system's randomness.
    static std::string new_identity();

private:
    struct mark {
        std::uint64_t first; // the index of a read-out's first word
        std::int64_t read_at_ms;
    };
    std::size_t capacity_;
    std::string identity_;
    std::vector<std::int32_t> ring_; // grows as words come, up to the capacity
    std::uint64_t next_ = 0;
    std::deque<mark> marks_;
};
