#include "run_loop.h"

#include <algorithm>

#include "bus_lock.h"
#include "data_wait.h"
#include "spi.h"
#include "stop_signals.h"

namespace {

run_end read_until_done(const run_limits &limits, const run_reader &reader)
{
    const long long target = limits.target_words;
    for (;;) {
        if (target > 0 && reader.taken() >= static_cast<std::uint64_t>(target))
            return run_end::target_reached;
        if (limits.deadline && std::chrono::steady_clock::now() >= *limits.deadline)
            return run_end::time_limit;
        if (reader.each_turn && !reader.each_turn())
            return run_end::reader_failed;
        if (bus_taken_away()) // the wait between queries rechecks the lock, and says what changed
            return run_end::bus_lost;
        const int count = query_data_size_in_run();
        if (count < 0)
            return run_end::signal;
        long long take = count;
        if (target > 0)
            take = std::min<long long>(take, target - static_cast<long long>(reader.taken()));
        if (take > 0 && !reader.take(static_cast<int>(take)))
            return run_end::reader_failed;
        if (poll_stop_signals() != 0)
            return run_end::signal;
    }
}

} // namespace

run_end run_and_read(const run_limits &limits, const run_reader &reader)
{
    start();
    run_end e = read_until_done(limits, reader);
    if (e != run_end::bus_lost) // not this program's bus any more: nothing is driven
        stop();
    // Words measured before the time ran out count too; those past the
    // target go where the reader says.
    const std::function<bool(int)> *rest = e == run_end::time_limit                                ? &reader.take
                                           : e == run_end::target_reached && reader.past_target ? &reader.past_target
                                                                                                 : nullptr;
    while (rest != nullptr) {
        const int left = query_data_size();
        if (left < 0)
            e = run_end::signal;
        else if (left > 0 && (*rest)(left))
            continue;
        else if (left > 0)
            e = run_end::reader_failed;
        break;
    }
    return e;
}
