// The words the server has read from the instrument and not yet delivered,
// oldest first. Every word is numbered as it is read, so that words taken
// for a response that never reached its client go back in their place,
// before every word read after them, however many responses fail and in
// whatever order.
//
// Words are kept in one deque (4 bytes a word) with a mark (8 bytes) for
// each run of consecutive numbers, so a word costs about 12 bytes however
// the runs are cut, and little more than 4 in the usual long runs. Putting words back
// merges two ordered lists: linear in what is held and returned, and a
// prepend when the words returned are older than all that is held.
//
// *RST and INIT start a new epoch: words taken before it that come back are
// dropped, never delivered as part of a later run. (Words still held at an
// INIT stay: nobody took them, and they are delivered in order.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

// A run of consecutive numbers in 8 bytes: the number of its first word
// (48 bits: years of words at the bus's full speed) and its length (16
// bits; a longer run takes several marks).
class run_mark {
public:
    static constexpr std::uint64_t longest = 0xFFFF;
    run_mark(std::uint64_t first, std::uint64_t count) : bits_(first << 16 | count) {}
    std::uint64_t first() const { return bits_ >> 16; }
    std::uint64_t count() const { return bits_ & longest; }
    std::uint64_t end() const { return first() + count(); }

private:
    std::uint64_t bits_;
};

// Words with their numbers, in runs; the words lie in the order of the marks.
struct word_runs {
    std::deque<std::int32_t> words;
    std::deque<run_mark> marks;
    std::size_t size() const { return words.size(); }
    bool empty() const { return words.empty(); }
};

// Adds `from` after what `into` holds (a response's words to those of the
// responses before it), joining runs whose numbers meet.
void append_runs(word_runs &into, word_runs &&from);

struct word_hold {
    word_runs held;             // in order of their numbers
    std::uint64_t next = 0;     // the number the next word read gets
    std::uint64_t epoch = 0;    // counts *RST and INIT
    std::size_t capacity = 0;   // the most it holds, and has out in responses not yet delivered
    std::size_t in_flight = 0;  // taken, and neither delivered nor back
};

std::size_t room(const word_hold &h);
// New words, read from the instrument, at the back; at most room(h) of them.
// Returns how many were taken in.
std::size_t hold_add(word_hold &h, const std::int32_t *words, std::size_t n);
// Up to `most` words from the front.
word_runs hold_take(word_hold &h, std::size_t most);
// Words taken in epoch `taken_in` and not delivered, back in their place
// (room was kept for them while they were out). Words taken in an earlier
// epoch are dropped; returns how many.
std::size_t hold_return(word_hold &h, word_runs &&taken, std::uint64_t taken_in);
// Words taken and delivered: the room they kept is free.
void hold_delivered(word_hold &h, std::size_t n);
// Empties the hold and starts a new epoch; returns how many words it held.
std::size_t hold_clear(word_hold &h);
void hold_new_epoch(word_hold &h);
