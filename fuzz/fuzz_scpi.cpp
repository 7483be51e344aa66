// Fuzz target: arbitrary bytes as a client's stream to the SCPI server,
// framed as the socket frames it (a newline inside a string or a block is
// data). The parser and the commands must never crash, a refused command
// must send nothing on the bus, every error's text must be printable ASCII
// of at most 255 characters, and every answered message ends with its one
// newline. Words taken and put back keep the hold within its bound.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "instrument.h"
#include "pin_bank.h"
#include "scpi/parser.h"
#include "scpi/session.h"
#include "spi.h"
#include "violations.h"

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "SCPI server broke: %s\n", what);
        std::abort();
    }
}

void check_errors(const scpi_session &s)
{
    require(s.errors.size() <= error_queue_size, "the error queue outgrew its bound");
    for (const scpi_error &e : s.errors) {
        require(e.text.size() <= 255, "an error's text is longer than 255 characters");
        for (unsigned char c : e.text)
            require(c >= 0x20 && c < 0x7F, "an error's text holds a byte that is not printable ASCII");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    sim::set_reporting(false);
    sim::power_on();
    sim::load_fifo({1, 2, 3, 0x80000004u});
    setup_io();
    sim::record_events(true);
    bus_owner owner;
    owner.hold.capacity = 64;
    scpi_session session;

    const std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t at = 0;
    while (at < input.size()) {
        message_scanner scanner;
        std::size_t end = find_message_end(input, at, scanner);
        if (end == std::string::npos)
            end = input.size();
        const std::string message = input.substr(at, end - at);
        at = end + 1;
        std::vector<std::string> path;
        for (const scpi_parsed &p : parse_message(message)) {
            sim::clear_events();
            const std::size_t errors = session.errors.size();
            std::string answer;
            delivery_ticket taken(owner.hold);
            const bool done = execute_command(session, owner, taken, p, path, answer);
            require(done || sim::events().empty(), "a refused command sent a frame");
            require(done || session.errors.size() > errors || errors == error_queue_size,
                    "a refused command queued no error");
            require(!done || !p.query || answer.find('\n') == std::string::npos || session.integer_format,
                    "an ASCII answer holds a newline");
            require(answer.empty() || p.query, "a command that asks nothing answered");
            check_errors(session);
        } // each ticket fails here: its words go back
        delivery_ticket taken(owner.hold);
        const std::string reply = execute_message(session, owner, taken, message);
        require(reply.empty() || reply.back() == '\n', "a response without its newline");
        if (at % 2 == 0)
            taken.ack();
    }
    sim::record_events(false);
    require(sim::violation_count() == 0, "a frame broke a bus rule");
    check_errors(session);
    require(owner.hold.held.size() <= owner.hold.capacity, "the hold outgrew its bound");
    return 0;
}
