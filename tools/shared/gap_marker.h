// What a data word is: a count, all 32 bits, signed, exactly as register 7
// answered it. Nothing on the bus says that a word marks anything else.
//
// An instrument may still mark, in its words, where it lost measurements.
// The one way this system knows of is the virtual instrument's own model:
// bit 31 set on the first word stored after its FIFO overflowed, the count
// in bits 30..0. A lab whose instrument marks gaps that way says so
// (gap_marker = "bit31" in the lab configuration, --gap-marker=bit31 for the
// server). Until it does, a word is only ever its own value, and no loss is
// read into it.
#pragma once

#include <cstdint>
#include <string>

enum class gap_marker { none, bit31 };

// A word as the lab's marker reads it: whether it follows a gap, and its count.
struct marked_word {
    bool follows_gap;
    int count;
};

inline marked_word read_marked(gap_marker m, int word)
{
    constexpr std::uint32_t bit31 = 1u << 31;
    const auto bits = static_cast<std::uint32_t>(word);
    if (m != gap_marker::bit31 || (bits & bit31) == 0)
        return {false, word};
    return {true, static_cast<int>(bits & ~bit31)};
}

// "none" or "bit31"; false for anything else.
inline bool parse_gap_marker(const std::string &text, gap_marker &m)
{
    if (text == "none")
        m = gap_marker::none;
    else if (text == "bit31")
        m = gap_marker::bit31;
    else
        return false;
    return true;
}
