// Runs what a client sent against the command table and its session: the
// answers it receives, and the words its queries took, owed to its ticket
// until it is known whether the client has the response. A message may
// wait partway (a query asked for words not yet read): it then goes on
// from that command when it is run again.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/bus_owner.h"
#include "core/delivery.h"
#include "scpi/commands.h"
#include "scpi/parser.h"
#include "scpi/session.h"

// A message under way: its commands, the next to run, the header path so
// far, and its answers so far (sent whole, on one line, when it ends).
struct message_run {
    std::vector<scpi_parsed> commands;
    std::size_t next = 0;
    std::vector<std::string> path;
    std::string reply;
    bool asked = false;
    std::optional<scpi_pause> pause; // what it waits for, while it waits
};

struct scpi_context {
    scpi_session &session;
    bus_owner &owner;
    delivery_ticket &taken;
    bool may_wait = false; // its client can be woken: a message may wait
};

// Runs the message's commands from where it stopped. True when it ended:
// its reply (the queries' answers joined by ';' and a newline, or nothing
// when it asked nothing) is in `run.reply`. False while it waits for
// `run.pause`.
bool run_message(const scpi_context &x, message_run &run);

// A message that may run while another client holds the lock: every command
// of it touches only the session (the rows' session_only), and its client
// does not wait for the lock (SYST:LOCK:WAIT OFF) or the message says
// whether it does. A client that waits has all its other messages wait.
bool runs_through_the_lock(const std::vector<scpi_parsed> &commands, bool client_waits);

// A whole message at once (no command of it may wait), its reply appended
// to `reply`.
void execute_message(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const std::string &message,
                     std::string &reply);

// One command of a message, its header continuing `path` (SCPI's header
// path rule). False when refused: its error is queued and nothing was sent.
bool execute_command(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const scpi_parsed &p,
                     std::vector<std::string> &path, std::string &answer);
