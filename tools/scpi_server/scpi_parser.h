// Reading SCPI program messages: one line, several commands separated by
// ';', each a header (long or short mnemonics, any case, ':' between them,
// '?' for a query) and parameters separated by ','. A header that does not
// begin with ':' or '*' continues the path of the command before it on the
// line, as SCPI's header path rule has it: after "SENS:THR 1" a bare "PER 5"
// means "SENS:PER 5".
//
// Parsing names the command and splits its parameters; it does nothing.
// What the commands do is in scpi_session.h.
#pragma once

#include <string>
#include <vector>

enum class scpi_command {
    none, // the header is none of ours (-113), or is malformed (-102)
    idn, rst, cls, esr, ese, stb, opc, wai,
    error_next, error_count, version,
    initiate, abort, operation_condition,
    threshold, polarity, period,
    data_points, data_remove,
    format_data, format_border,
    interface_test,
};

struct scpi_parsed {
    scpi_command command = scpi_command::none;
    bool query = false;
    int error = 0;                   // -102 or -113 when the header cannot be used, else 0
    std::vector<std::string> params; // trimmed, as written
    std::string text;                // the command as written, for messages
};

// Splits one line (without its newline) into commands, following the header
// path from one to the next. Never fails as a whole: each command carries
// its own error.
std::vector<scpi_parsed> parse_scpi_line(const std::string &line);
