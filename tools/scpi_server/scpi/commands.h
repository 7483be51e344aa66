// The command set: one row per command, with its header pattern, the forms
// it takes, its parameters, what runs it and its line of help. Adding a
// command is adding a row.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bus_owner.h"
#include "core/delivery.h"
#include "scpi/parser.h"
#include "scpi/session.h"

// A query that cannot answer yet (DATA:READ? before its words exist) has
// its message wait: until the journal holds the word `word`, or `until`.
// It then runs again, told until when it was to wait.
struct scpi_pause {
    std::uint64_t word = 0;
    std::chrono::steady_clock::time_point until;
};

// What a command's handler works with: one call of it.
struct scpi_call {
    scpi_call(scpi_session &s, bus_owner &o, delivery_ticket &t, const scpi_parsed &p)
        : session(s), owner(o), taken(t), command(p)
    {
    }
    scpi_session &session;
    bus_owner &owner;
    delivery_ticket &taken;
    const scpi_parsed &command;
    std::string answer; // a query's answer
    bool may_wait = false; // its client can be woken, so its message may wait
    std::optional<std::chrono::steady_clock::time_point> waited_until; // run again after a pause
    std::optional<scpi_pause> pause; // asked for: the message waits, and this command runs again

    // Queues the error with the command's text; returns false (refused).
    bool refuse(scpi_err code, const std::string &why = "");
    // Parameter i as a whole number from min to max (MINimum and MAXimum
    // too, with `limits`); false, refused, otherwise.
    bool number(std::size_t i, long long min, long long max, bool limits, long long &value);
};

enum class command_form { set_only, query_only, both };

struct command_row {
    const char *pattern; // "[SENSe:]THReshold": short form in capitals, [optional] nodes
    command_form form;
    int least, most;     // parameters of the set form (or of a query-only command)
    bool (*run)(scpi_call &); // false: refused, its error queued, nothing sent
    const char *help;
    // It touches only the client's session (its format, its errors, its
    // status): it runs even while another client holds the instrument's lock.
    bool session_only = false;
};

const std::vector<command_row> &command_table();

// The row whose pattern the typed nodes match, or nullptr.
const command_row *find_command(const std::vector<std::string> &nodes);

// SYSTem:LOCK:WAIT's handler: whether a message says if its client waits for the lock.
bool lock_wait(scpi_call &c);

// The commands, one line each, for --help.
std::string command_help();

// The answer to *IDN? (without the version).
extern const char *const scpi_identity;
