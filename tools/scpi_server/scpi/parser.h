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

#include "scpi/errors.h"

enum class param_kind { number, character, string, block };

struct scpi_param {
    param_kind kind = param_kind::character;
    std::string text; // as written (number, character data), or the content (string, block)
    scpi_err fault = scpi_err::none; // a malformed parameter: the error it gets
};

struct scpi_parsed {
    std::vector<std::string> nodes; // the header's mnemonics as typed
    bool common = false;            // *IDN and the like
    bool rooted = false;            // began with ':': the path starts again from the root
    bool query = false;
    scpi_err error = scpi_err::none; // syntax_error when the header is malformed
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
// "+5", "1.0E3", "1000."), or #H/#Q/#B. none, or the error: data_type_error
// (not a number), data_out_of_range, illegal_parameter_value (not a whole
// number), suffix_not_allowed.
scpi_err integer_param(const scpi_param &p, long long min, long long max, long long &value);
