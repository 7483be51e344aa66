#include "core/word_hold.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// Puts a run's mark after the last one, joining them when the numbers meet.
void push_mark(std::deque<run_mark> &marks, std::uint64_t first, std::uint64_t count)
{
    while (count > 0) {
        if (!marks.empty() && marks.back().end() == first && marks.back().count() < run_mark::longest) {
            const std::uint64_t more = std::min(count, run_mark::longest - marks.back().count());
            marks.back() = run_mark(marks.back().first(), marks.back().count() + more);
            first += more;
            count -= more;
            continue;
        }
        const std::uint64_t part = std::min(count, run_mark::longest);
        marks.emplace_back(first, part);
        first += part;
        count -= part;
    }
}

// A run of `from`: its mark and where its words begin.
struct run_at {
    std::uint64_t first;
    std::uint64_t count;
    std::size_t offset;
};

std::vector<run_at> runs_of(const word_runs &r)
{
    std::vector<run_at> runs;
    runs.reserve(r.marks.size());
    std::size_t offset = 0;
    for (const run_mark &m : r.marks) {
        runs.push_back({m.first(), m.count(), offset});
        offset += m.count();
    }
    return runs;
}

} // namespace

void append_runs(word_runs &into, word_runs &&from)
{
    for (const run_mark &m : from.marks)
        push_mark(into.marks, m.first(), m.count());
    into.words.insert(into.words.end(), from.words.begin(), from.words.end());
    from = word_runs{};
}

std::size_t room(const word_hold &h)
{
    const std::size_t owned = h.held.size() + h.in_flight;
    return h.capacity > owned ? h.capacity - owned : 0;
}

void hold_delivered(word_hold &h, std::size_t n) { h.in_flight -= std::min(n, h.in_flight); }

std::size_t hold_add(word_hold &h, const std::int32_t *words, std::size_t n)
{
    const std::size_t adding = std::min(n, room(h));
    if (adding == 0)
        return 0;
    push_mark(h.held.marks, h.next, adding);
    h.held.words.insert(h.held.words.end(), words, words + adding);
    h.next += adding;
    return adding;
}

word_runs hold_take(word_hold &h, std::size_t most)
{
    word_runs taken;
    most = std::min(most, h.held.size());
    std::size_t left = most;
    while (left > 0) {
        run_mark &front = h.held.marks.front();
        const std::uint64_t n = std::min<std::uint64_t>(left, front.count());
        push_mark(taken.marks, front.first(), n);
        if (n == front.count())
            h.held.marks.pop_front();
        else
            front = run_mark(front.first() + n, front.count() - n);
        left -= static_cast<std::size_t>(n);
    }
    const auto end = h.held.words.begin() + static_cast<std::ptrdiff_t>(most);
    taken.words.assign(h.held.words.begin(), end);
    h.held.words.erase(h.held.words.begin(), end);
    h.in_flight += most;
    return taken;
}

std::size_t hold_return(word_hold &h, word_runs &&taken, std::uint64_t taken_in)
{
    hold_delivered(h, taken.size()); // out no more, whatever becomes of them
    if (taken_in != h.epoch) {
        const std::size_t dropped = taken.size();
        taken = word_runs{};
        return dropped;
    }
    // The runs coming back, oldest first.
    std::vector<run_at> back = runs_of(taken);
    std::sort(back.begin(), back.end(), [](const run_at &a, const run_at &b) { return a.first < b.first; });
    if (back.empty())
        return 0;

    if (h.held.marks.empty() || back.back().first + back.back().count <= h.held.marks.front().first()) {
        // All older than what is held: in front of it, newest first.
        std::deque<run_mark> marks;
        for (const run_at &r : back)
            push_mark(marks, r.first, r.count);
        for (const run_mark &m : h.held.marks)
            push_mark(marks, m.first(), m.count());
        for (auto r = back.rbegin(); r != back.rend(); ++r)
            for (std::size_t i = static_cast<std::size_t>(r->count); i-- > 0;)
                h.held.words.push_front(taken.words[r->offset + i]);
        h.held.marks = std::move(marks);
        taken = word_runs{};
        return 0;
    }

    // Otherwise one ordered merge of what is held and what comes back.
    const std::vector<run_at> held = runs_of(h.held);
    word_runs merged;
    std::size_t i = 0, j = 0;
    while (i < held.size() || j < back.size()) {
        const bool from_held = j == back.size() || (i < held.size() && held[i].first < back[j].first);
        const run_at &r = from_held ? held[i++] : back[j++];
        const std::deque<std::int32_t> &source = from_held ? h.held.words : taken.words;
        push_mark(merged.marks, r.first, r.count);
        const auto begin = source.begin() + static_cast<std::ptrdiff_t>(r.offset);
        merged.words.insert(merged.words.end(), begin, begin + static_cast<std::ptrdiff_t>(r.count));
    }
    h.held = std::move(merged);
    taken = word_runs{};
    return 0;
}

std::size_t hold_clear(word_hold &h)
{
    const std::size_t dropped = h.held.size();
    h.held = word_runs{};
    hold_new_epoch(h);
    return dropped;
}

void hold_new_epoch(word_hold &h) { ++h.epoch; }
