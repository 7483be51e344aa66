#include "core/journal.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

count_journal::count_journal(std::size_t capacity, std::string identity)
    : capacity_(std::max<std::size_t>(capacity, 1)), identity_(std::move(identity))
{
}

std::string count_journal::new_identity()
{
    std::uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) // never in practice: the clock then
        bits = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
               static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

void count_journal::add(const std::int32_t *words, std::size_t n, std::int64_t read_at_ms)
{
    if (n == 0)
        return;
    if (marks_.empty() || marks_.back().read_at_ms != read_at_ms)
        marks_.push_back({next_, read_at_ms});
    for (std::size_t i = 0; i < n; ++i, ++next_) {
        if (ring_.size() < capacity_)
            ring_.push_back(words[i]); // index next_ is at next_ % capacity_ = next_ while it grows
        else
            ring_[static_cast<std::size_t>(next_ % capacity_)] = words[i];
    }
    // A mark goes with the last of its words.
    while (marks_.size() > 1 && marks_[1].first <= oldest())
        marks_.pop_front();
}

std::int64_t count_journal::read_at(std::uint64_t index) const
{
    const auto after = std::upper_bound(marks_.begin(), marks_.end(), index,
                                        [](std::uint64_t i, const mark &m) { return i < m.first; });
    return after == marks_.begin() ? 0 : std::prev(after)->read_at_ms;
}

std::uint64_t count_journal::first_read_since(std::int64_t ms) const
{
    const auto since = std::lower_bound(marks_.begin(), marks_.end(), ms,
                                        [](const mark &m, std::int64_t t) { return m.read_at_ms < t; });
    return since == marks_.end() ? next_ : std::max(since->first, oldest());
}

count_journal::span count_journal::read(std::uint64_t from, std::uint64_t most) const
{
    span s;
    s.first = std::max(from, oldest());
    s.missed = s.first - from;
    s.count = std::min<std::uint64_t>(most, next_ > s.first ? next_ - s.first : 0);
    return s;
}
