// What the SCPI server's commands do: the instrument, reached only through
// the link's operations, the state the server keeps for all its clients
// (the words it holds, the settings it made), and each connection's own
// (its error queue, event status and data format).
//
// Everything here runs on the server's one thread, so the operations of
// different connections never interleave on the bus.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scpi_parser.h"
#include "word_hold.h"

struct server_state {
    word_hold hold;
    bool running = false;        // a run started here is on: the instrument is drained
    bool said_hold_full = false;
    std::optional<int> threshold, polarity, period; // as last set here (the threshold as read back)
    // Says something to every connection's error queue, and to the log.
    std::function<void(int code, const std::string &text)> tell_everyone;
    std::function<void(const std::string &line)> log;
};

struct scpi_error {
    int code;
    std::string text;
};

struct connection_state {
    std::deque<scpi_error> errors; // oldest first, at most error_queue_size
    int esr = 0;                   // standard event status register
    int ese = 0;                   // its enable mask
    bool integer_format = false;   // FORMat INTeger,32, else ASCii
    bool swapped = false;          // FORMat:BORDer SWAPped: least significant byte first
};

constexpr std::size_t error_queue_size = 16;

// The response to one line: what the client receives (its queries'
// answers joined by ';', and a newline; empty when the line asked nothing),
// and the words it takes from the hold, which are delivered only once the
// whole response has been handed to the client's socket.
struct scpi_response {
    std::string text;
    std::vector<word_run> taken;
};

scpi_response execute_line(server_state &server, connection_state &connection, const std::string &line);

// One command of a parsed line; false when it was refused (its error is
// queued, and nothing was sent on the bus). `answer` gets a query's answer.
bool execute_command(server_state &server, connection_state &connection, const scpi_parsed &command,
                     std::string &answer, std::vector<word_run> &taken);

void push_error(connection_state &connection, int code, const std::string &text);

// While a run started here is on, moves the words the instrument holds into
// the hold (as many as it has room for; when it is full, says so once).
void drain_instrument(server_state &server);

// The answer to *IDN?.
extern const char *const scpi_identity;
