// Waiting for the instrument to hold data, as the console's command 8 and
// countctl's read and acquire do: the data size is queried with a sleep of
// data_poll_interval after every query, the last one too, so that a
// read-out begins at least 1 ms after its size was learnt. There is no
// time-out unless the caller sets one; after data_quiet_wait in silence the
// person waiting is told what is waited for.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>

constexpr auto data_poll_interval = std::chrono::microseconds(1000);
constexpr auto data_quiet_wait = std::chrono::seconds(2);

// One data-size query and the sleep after it: the size, or -1 when a stop
// signal came during the sleep.
int query_data_size();
// The same during a run that this program started and reads out (acquire,
// scan): the platform is told of the sleep (platform_waited).
int query_data_size_in_run();

struct data_wait {
    std::FILE *err;
    const char *program;     // who says it waits
    const char *ctrl_c_does; // "abandons the wait", "ends the wait"
    bool quiet = false;      // say nothing
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::function<void()> before_message; // makes standard error ready to say something
};

enum class data_wait_end { data, deadline, signal, bus_lost };

struct data_wait_result {
    int count = 0; // the data size, when data came
    data_wait_end end = data_wait_end::data;
};

data_wait_result wait_for_data(const data_wait &how);
