// Fuzz target: arbitrary bytes as a client's stream to the SCPI server.
// Each command of each message (a newline inside a string or a block is
// data) is run alone: a refused command must send nothing on the bus and
// queue its error. Then the whole stream goes through one client, as a
// transport feeds it, in pieces cut where the input says. The parser and
// the commands must never crash, every error's text must be printable
// ASCII of at most 255 characters, every response ends with its newline,
// and words taken and put back keep the hold within its bound.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "instrument.h"
#include "pin_bank.h"
#include "scpi/client.h"
#include "scpi/parser.h"
#include "scpi/executor.h"
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
    owner_options options;
    options.hold_words = 64;
    bus_owner owner(options);
    scpi_session session;

    const std::string input(reinterpret_cast<const char *>(data), size);
    for (std::size_t at = 0; at < input.size();) {
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
            delivery_ticket taken = owner.new_ticket();
            const bool done = execute_command(session, owner, taken, p, path, answer);
            require(done || sim::events().empty(), "a refused command sent a frame");
            require(done || session.errors.size() > errors || errors == error_queue_size,
                    "a refused command queued no error");
            require(!done || !p.query || answer.find('\n') == std::string::npos || session.integer_format,
                    "an ASCII answer holds a newline");
            require(answer.empty() || p.query, "a command that asks nothing answered");
            check_errors(session);
        } // each ticket fails here: its words go back
    }

    scpi_client client(owner);
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t piece = 1 + static_cast<unsigned char>(input[at]) % 61;
        const std::size_t n = std::min(piece, input.size() - at);
        client.feed(input.data() + at, n, at + n == input.size());
        at += n;
        const byte_queue &out = client.output();
        require(out.backlog() == 0 || out.bytes.back() == '\n', "a response without its newline");
        client.settle(at % 2 == 0);
        client.output().clear();
        check_errors(client.session);
    }
    sim::record_events(false);
    require(sim::violation_count() == 0, "a frame broke a bus rule");
    check_errors(session);
    require(owner.held() <= owner.hold_capacity(), "the hold outgrew its bound");
    return 0;
}
