// Fuzz target: arbitrary bytes as the operator's input to the command loop,
// on the virtual instrument. Beyond "no crash", every run must end, send
// exactly the frames its accepted commands call for (none for a refused
// value), print nothing but the dialogue, and break no bus rule.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console_model.h"
#include "console_session.h"
#include "instrument.h"
#include "violations.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    // Command 8 would otherwise wait, by design, for ever.
    const console_session s = run_console_session(input, [] { sim::keep_data_ready(true); });
    if (!s.bus_set_up) {
        std::fputs("the bus was not set up\n", stderr);
        std::abort();
    }
    const model_verdict verdict = check_console_run(input, s.out, s.status, s.bus);
    if (!verdict.ok) {
        std::fprintf(stderr, "console run differs from the model: %s\n", verdict.why.c_str());
        std::abort();
    }
    if (sim::violation_count() != 0) {
        std::fprintf(stderr, "protocol violation: %s\n", sim::to_string(sim::violations()[0].kind));
        std::abort();
    }
    return 0;
}
