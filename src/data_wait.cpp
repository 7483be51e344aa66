#include "data_wait.h"

#include "bus_lock.h"
#include "platform.h"
#include "spi.h"
#include "stop_signals.h"

int query_data_size()
{
    const int count = datasize();
    return sleep_unless_stopped(data_poll_interval) ? count : -1;
}

int query_data_size_in_run()
{
    const int count = query_data_size();
    if (count >= 0)
        platform_waited(std::chrono::duration_cast<std::chrono::microseconds>(data_poll_interval).count());
    return count;
}

data_wait_result wait_for_data(const data_wait &how)
{
    using clock_type = std::chrono::steady_clock;
    const auto started = clock_type::now();
    bool told = how.quiet;
    for (;;) {
        const int count = query_data_size();
        if (count < 0)
            return {0, data_wait_end::signal};
        if (bus_taken_away()) // said by the wait's recheck of the lock
            return {0, data_wait_end::bus_lost};
        if (count > 0)
            return {count, data_wait_end::data};
        const auto now = clock_type::now();
        if (how.deadline && now >= *how.deadline)
            return {0, data_wait_end::deadline};
        if (!told && now - started >= data_quiet_wait) {
            told = true;
            if (how.before_message)
                how.before_message();
            std::fprintf(how.err, "%s: waiting for the instrument to report data (is it started?); Ctrl-C %s\n",
                         how.program, how.ctrl_c_does);
        }
    }
}
