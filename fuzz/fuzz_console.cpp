// Fuzz target: arbitrary bytes as the operator's input to the command loop,
// on the virtual instrument. Beyond "no crash", every run must end, send
// exactly the frames its accepted commands call for (none for a refused
// value), print nothing but the dialogue, and break no bus rule.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console.h"
#include "console_model.h"
#include "instrument.h"
#include "pin_bank.h"
#include "violations.h"

namespace {

// The calls of the bus start-up, which come before any frame.
constexpr std::size_t setup_calls = 26;

std::string drain(std::FILE *stream, char *&text, std::size_t &size)
{
    std::fclose(stream);
    std::string s(text, size);
    std::free(text);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    sim::set_reporting(false);
    sim::power_on();
    sim::keep_data_ready(true); // command 8 would otherwise wait, by design, for ever
    sim::record_events(true);

    std::FILE *in = size > 0 ? fmemopen(const_cast<char *>(input.data()), size, "r") : std::fopen("/dev/null", "r");
    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE *out = open_memstream(&out_text, &out_size);
    std::FILE *err = open_memstream(&err_text, &err_size);
    if (in == nullptr || out == nullptr || err == nullptr)
        std::abort();

    const int status = run_console(in, out, err);
    std::fclose(in);
    const std::string out_seen = drain(out, out_text, out_size);
    drain(err, err_text, err_size);

    const std::vector<sim::bus_event> &events = sim::events();
    if (events.size() < setup_calls) {
        std::fputs("the bus was not set up\n", stderr);
        std::abort();
    }
    const bus_trace bus = decode_bus({events.begin() + setup_calls, events.end()});
    const model_verdict verdict = check_console_run(input, out_seen, status, bus);
    if (!verdict.ok) {
        std::fprintf(stderr, "console run differs from the model: %s\n", verdict.why.c_str());
        std::abort();
    }
    if (sim::violation_count() != 0) {
        std::fprintf(stderr, "protocol violation: %s\n", sim::to_string(sim::violations()[0].kind));
        std::abort();
    }
    sim::record_events(false);
    return 0;
}
