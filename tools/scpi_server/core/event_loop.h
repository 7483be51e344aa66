// The server's one loop: descriptors with their handlers, timers, and
// sources (a library that brings descriptors of its own gives them each
// turn and is told what is ready). One ppoll, with the stop signals let in
// only there; after a stop (a signal, or stop() for a reason of the
// server's own) the loop goes on, for a grace time, while something is
// still busy: shutdown is a state of the loop.
//
// A deadline is a one-shot timer, cancelled when it no longer applies;
// nothing is looked at "every so often" to see whether its time has come.
// A periodic timer falls on whole multiples of its period on the loop's
// clock, so timers of periods that divide each other wake it together.
//
// Handlers may watch, forget, schedule and cancel anything, themselves
// included: each is kept alive while it runs, and a descriptor or timer
// forgotten is never called again, even in the turn it was ready.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class loop_source {
public:
    virtual ~loop_source() = default;
    // Adds its descriptors; may shorten the timeout (milliseconds, -1 none).
    virtual void prepare(std::vector<pollfd> &fds, int &timeout_ms) = 0;
    // Its descriptors as polled, in the order it added them.
    virtual void dispatch(const pollfd *fds, std::size_t count) = 0;
};

// Why the loop ended: a stop signal's number, or 0 and the server's own reason.
struct loop_stop {
    int signal = 0;
    std::string reason;
};

class event_loop {
public:
    using clock = std::chrono::steady_clock;
    using duration = clock::duration;
    using fd_handler = std::function<void(short revents)>;
    using timer_id = std::uint64_t; // 0 is no timer

    void watch(int fd, short events, fd_handler handler);
    void change(int fd, short events);
    void forget(int fd);

    // Once, `delay` from now.
    timer_id after(duration delay, std::function<void()> handler);
    // Once, at `when`.
    timer_id at(clock::time_point when, std::function<void()> handler);
    // Every `period`, on its multiples of the clock, until cancelled.
    timer_id every(duration period, std::function<void()> handler);
    // A timer that has run (one-shot) or was cancelled already is no error.
    void cancel(timer_id id);

    void add_source(loop_source &s) { sources_.push_back(&s); }

    // Ends the loop as a stop signal does, for a reason of the server's own;
    // taken at the top of the next turn, as a signal is.
    void stop(std::string reason);

    // Called once when the loop begins to end: a stop signal came, or stop().
    std::function<void(const loop_stop &)> on_stop;
    // While stopping: true while something must still be finished.
    std::function<bool()> unfinished;
    duration grace = std::chrono::seconds(5);

    // Runs until, after a stop, nothing is unfinished or the grace is over.
    loop_stop run();

private:
    friend class event_loop_test_seam; // runs timers on a clock of its own, and looks at them

    struct watched {
        short events;
        std::shared_ptr<fd_handler> handler;
        std::uint64_t generation;
    };
    struct timer {
        clock::time_point next;
        duration period; // zero: once
        std::shared_ptr<std::function<void()>> handler;
    };
    std::map<int, watched> watched_;
    std::map<timer_id, timer> timers_;
    std::vector<loop_source *> sources_;
    std::uint64_t generation_ = 0;
    timer_id last_timer_ = 0;
    std::string stop_asked_;  // by stop(), not yet taken
    bool stopping_ = false;
    loop_stop why_;
    clock::time_point deadline_{};

    // The timers due at `now` run; their next time is soonest().
    void run_timers(clock::time_point now);
    clock::time_point soonest() const;
    int timeout_ms(clock::time_point now) const;
    // True when the loop is to end now.
    bool take_stop();
    void turn(std::vector<pollfd> &fds, std::vector<std::pair<int, std::uint64_t>> &owners);
};
