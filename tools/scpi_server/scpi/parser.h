// Reading SCPI program messages (IEEE 488.2): commands separated by ';',
// each a header (long or short mnemonics, any case, ':' between them, '?'
// for a query) and parameters separated by ','. A parameter is a number
// (decimal NRf, or #H, #Q, #B), character data (a mnemonic), a string in
// "..." or '...' (a quote doubled inside), or a block: definite,
// #<n><length><bytes>, or indefinite, #0<bytes> to the end of the message.
// Strings and blocks are whole parameters: a ';', ',' or newline inside one
// is data, never a separator.
//
// Parsing splits and classifies; it executes nothing (scpi/session.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class param_kind { number, character, string, block };

struct scpi_param {
    param_kind kind = param_kind::character;
    std::string text; // as written (number, character data), or the content (string, block)
    int fault = 0;    // a malformed parameter: the error it gets, else 0
};

struct scpi_parsed {
    std::vector<std::string> nodes; // the header's mnemonics as typed
    bool common = false;            // *IDN and the like
    bool rooted = false;            // began with ':': the path starts again from the root
    bool query = false;
    int error = 0;                  // -102 when the header is malformed
    std::vector<scpi_param> params;
    std::string text;               // the command as written, for messages
};

// One message (without its terminator) as commands. Never fails as a
// whole: each command carries its own error.
std::vector<scpi_parsed> parse_message(const std::string &message);

// Where a message ends in a stream of bytes: the newline that is not inside
// a string or a block. The scanner keeps its place between calls, so bytes
// may arrive in any pieces.
struct message_scanner {
    int state = 0;
    int digits_left = 0;
    std::uint64_t bytes_left = 0;
};
// The index of the newline ending the message that runs from `from`, or
// npos when it has not ended within `buffer`. Reset the scanner after each
// message.
std::size_t find_message_end(const std::string &buffer, std::size_t from, message_scanner &s);

// A whole number from min to max: a decimal NRf that is integral ("1000",
// "+5", "1.0E3", "1000."), or #H/#Q/#B. 0, or the error: -104 not a
// number, -222 out of range, -224 not a whole number, -138 a suffix.
int integer_param(const scpi_param &p, long long min, long long max, long long &value);

// An error's text for the error queue: the standard text, then ';' and the
// detail, printable ASCII only (others as \xNN), at most 255 characters.
std::string error_text(int code, const std::string &detail);
