#include "scpi/session.h"

namespace {

// The event status bit an error sets: command, execution, device or query.
int event_bit(scpi_err e)
{
    const int code = code_of(e);
    if (code <= -100 && code > -200)
        return 1 << 5;
    if (code <= -200 && code > -300)
        return 1 << 4;
    if (code <= -300 && code > -400)
        return 1 << 3;
    if (code <= -400 && code > -500)
        return 1 << 2;
    return 0;
}

} // namespace

void push_error(scpi_session &s, scpi_err e, const std::string &detail)
{
    s.esr |= event_bit(e);
    if (s.errors.size() < error_queue_size)
        s.errors.push_back({code_of(e), error_message(e, detail)});
    else
        s.errors.back() = {code_of(scpi_err::queue_overflow), error_message(scpi_err::queue_overflow, "")};
}

int status_byte(const scpi_session &s)
{
    const int summary = (s.errors.empty() ? 0 : 1 << 2) | ((s.esr & s.ese) != 0 ? 1 << 5 : 0);
    return summary | ((summary & s.sre) != 0 ? 1 << 6 : 0);
}
