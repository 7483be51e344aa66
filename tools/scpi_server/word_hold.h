// The words the server has read from the instrument and not yet handed
// whole to a client, oldest first. Every word is numbered as it is read, so
// that words taken for a response that never reached its client go back in
// their place, before every word read after them, even when responses to
// several clients fail in any order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// A run of words numbered first, first + 1, ...
struct word_run {
    std::uint64_t first = 0;
    std::deque<std::int32_t> words;
};

struct word_hold {
    std::deque<word_run> runs; // in order of their numbers, none empty
    std::uint64_t next = 0;    // the number the next word read gets
    std::size_t count = 0;     // words held
    std::size_t capacity = 0;  // the most it holds
};

std::size_t room(const word_hold &h);
// New words, read from the instrument, at the back; at most room(h) of them.
void hold_add(word_hold &h, const int *words, int n);
// Up to `most` words from the front, in runs of consecutive numbers.
std::vector<word_run> hold_take(word_hold &h, std::size_t most);
// Words taken and not delivered, back in their place.
void hold_return(word_hold &h, std::vector<word_run> &&taken);
// Empties the hold; returns how many words it held.
std::size_t hold_clear(word_hold &h);
