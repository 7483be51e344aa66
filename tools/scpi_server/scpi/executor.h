// Runs what a client sent against the command table and its session: the
// answers it receives, and the words its queries took, owed to its ticket
// until it is known whether the client has the response.
#pragma once

#include <string>
#include <vector>

#include "core/bus_owner.h"
#include "core/delivery.h"
#include "scpi/parser.h"
#include "scpi/session.h"

// Executes one message, appending what the client receives to `reply`: its
// queries' answers joined by ';' and a newline, or nothing when it asked
// nothing.
void execute_message(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const std::string &message,
                     std::string &reply);

// One command of a message, its header continuing `path` (SCPI's header
// path rule). False when refused: its error is queued and nothing was sent.
bool execute_command(scpi_session &s, bus_owner &owner, delivery_ticket &taken, const scpi_parsed &p,
                     std::vector<std::string> &path, std::string &answer);
