// Fuzz target: arbitrary bytes as lines a client sends the SCPI server. The
// parser and the commands must never crash, a refused command must send
// nothing on the bus, and every query that is answered gives one answer:
// the answers of a line are joined by ';' and end with its one newline.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "instrument.h"
#include "pin_bank.h"
#include "scpi_session.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    sim::set_reporting(false);
    sim::power_on();
    sim::load_fifo({1, 2, 3, 0x80000004u});
    setup_io();
    sim::record_events(true);
    server_state server;
    server.hold.capacity = 64;
    connection_state connection;

    const std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t at = 0;
    while (at < input.size()) {
        std::size_t end = input.find('\n', at);
        if (end == std::string::npos)
            end = input.size();
        const std::string line = input.substr(at, end - at);
        at = end + 1;
        for (const scpi_parsed &p : parse_scpi_line(line)) {
            sim::clear_events();
            const std::size_t errors = connection.errors.size();
            std::string answer;
            std::vector<word_run> taken;
            const bool done = execute_command(server, connection, p, answer, taken);
            require(done || sim::events().empty(), "a refused command sent a frame");
            require(done || connection.errors.size() > errors || errors + 1 >= error_queue_size,
                    "a refused command queued no error");
            require(!done || !p.query || answer.find('\n') == std::string::npos ||
                        connection.integer_format,
                    "an ASCII answer holds a newline");
            require(answer.empty() || p.query, "a command that asks nothing answered");
            hold_return(server.hold, std::move(taken));
        }
        const scpi_response r = execute_line(server, connection, line);
        require(r.text.empty() || r.text.back() == '\n', "a response without its newline");
    }
    sim::record_events(false);
    require(sim::violation_count() == 0, "a frame broke a bus rule");
    require(connection.errors.size() <= error_queue_size, "the error queue outgrew its bound");
    require(server.hold.count <= server.hold.capacity, "the hold outgrew its bound");
    return 0;
}
