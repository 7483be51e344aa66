#include "console_session.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "console.h"
#include "pin_bank.h"
#include "violations.h"

namespace {

// wiringPiSetup, 23 pin modes, then select and strobe to their idle levels.
constexpr std::size_t setup_calls = 26;

// Closing a memory stream sets its buffer and size for the last time, so
// they are read only afterwards, through the references.
std::string close_and_take(std::FILE *stream, char *&text, std::size_t &size)
{
    std::fclose(stream);
    std::string s(text, size);
    std::free(text);
    return s;
}

} // namespace

console_session run_console_session(const std::string &input, const std::function<void()> &prepare)
{
    sim::set_reporting(false);
    sim::power_on();
    prepare();
    sim::record_events(true);

    // fmemopen refuses an empty buffer.
    std::FILE *in = input.empty() ? std::fopen("/dev/null", "r")
                                  : fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE *out = open_memstream(&out_text, &out_size);
    std::FILE *err = open_memstream(&err_text, &err_size);
    if (in == nullptr || out == nullptr || err == nullptr)
        throw std::runtime_error("cannot open the console's streams in memory");

    console_session s;
    s.status = run_console(in, out, err);
    std::fclose(in);
    s.out = close_and_take(out, out_text, out_size);
    s.err = close_and_take(err, err_text, err_size);

    sim::record_events(false);
    const std::vector<sim::bus_event> &events = sim::events();
    s.bus_set_up = events.size() >= setup_calls;
    if (s.bus_set_up)
        s.bus = decode_bus({events.begin() + static_cast<long>(setup_calls), events.end()});
    return s;
}
