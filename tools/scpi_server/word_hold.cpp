#include "word_hold.h"

#include <algorithm>

std::size_t room(const word_hold &h) { return h.capacity > h.count ? h.capacity - h.count : 0; }

void hold_add(word_hold &h, const int *words, int n)
{
    const std::size_t adding = std::min(static_cast<std::size_t>(n < 0 ? 0 : n), room(h));
    if (adding == 0)
        return;
    if (h.runs.empty() || h.runs.back().first + h.runs.back().words.size() != h.next)
        h.runs.push_back({h.next, {}});
    word_run &back = h.runs.back();
    back.words.insert(back.words.end(), words, words + adding);
    h.next += adding;
    h.count += adding;
}

std::vector<word_run> hold_take(word_hold &h, std::size_t most)
{
    std::vector<word_run> taken;
    while (most > 0 && !h.runs.empty()) {
        word_run &front = h.runs.front();
        const std::size_t n = std::min(most, front.words.size());
        word_run part{front.first, {}};
        part.words.assign(front.words.begin(), front.words.begin() + static_cast<std::ptrdiff_t>(n));
        front.words.erase(front.words.begin(), front.words.begin() + static_cast<std::ptrdiff_t>(n));
        front.first += n;
        if (front.words.empty())
            h.runs.pop_front();
        h.count -= n;
        most -= n;
        taken.push_back(std::move(part));
    }
    return taken;
}

void hold_return(word_hold &h, std::vector<word_run> &&taken)
{
    for (word_run &run : taken) {
        if (run.words.empty())
            continue;
        h.count += run.words.size();
        const auto place = std::find_if(h.runs.begin(), h.runs.end(),
                                        [&](const word_run &r) { return r.first > run.first; });
        h.runs.insert(place, std::move(run));
    }
}

std::size_t hold_clear(word_hold &h)
{
    const std::size_t dropped = h.count;
    h.runs.clear();
    h.count = 0;
    return dropped;
}
