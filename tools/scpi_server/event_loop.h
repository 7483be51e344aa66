// The server's one loop: descriptors with their handlers, timers, and
// sources (a library that brings descriptors of its own gives them each
// turn and is told what is ready). One ppoll, with the stop signals let in
// only there; after a stop signal the loop goes on, for a grace time, while
// something is still busy: shutdown is a state of the loop.
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
#include <vector>

class loop_source {
public:
    virtual ~loop_source() = default;
    // Adds its descriptors; may shorten the timeout (milliseconds, -1 none).
    virtual void prepare(std::vector<pollfd> &fds, int &timeout_ms) = 0;
    // Its descriptors as polled, in the order it added them.
    virtual void dispatch(const pollfd *fds, std::size_t count) = 0;
};

class event_loop {
public:
    using clock = std::chrono::steady_clock;
    using fd_handler = std::function<void(short revents)>;
    using timer_id = std::uint64_t; // 0 is no timer

    void watch(int fd, short events, fd_handler handler);
    void change(int fd, short events);
    void forget(int fd);

    // Once, `delay` from now.
    timer_id after(clock::duration delay, std::function<void()> handler);
    // Once, at `when`.
    timer_id at(clock::time_point when, std::function<void()> handler);
    // Every `period`, on its multiples of the clock, until cancelled.
    timer_id every(std::chrono::milliseconds period, std::function<void()> handler);
    // A timer that has run (one-shot) or was cancelled already is no error.
    void cancel(timer_id id);
    bool scheduled(timer_id id) const { return timers_.count(id) > 0; }

    void add_source(loop_source &s) { sources_.push_back(&s); }

    // Called once when a stop signal comes, with its number.
    std::function<void(int signal)> on_stop;
    // While stopping: true while something must still be finished.
    std::function<bool()> busy;
    std::chrono::milliseconds grace{5000};

    // Runs until, after a stop signal, nothing is busy or the grace is over.
    // Returns the signal.
    int run();

    // The timers due at `now` run (the loop calls this each turn; tests
    // call it with a clock of their own). Their next time is soonest().
    void run_timers(clock::time_point now);
    clock::time_point soonest() const;

private:
    struct watched {
        short events;
        std::shared_ptr<fd_handler> handler;
        std::uint64_t generation;
    };
    struct timer {
        clock::time_point next;
        clock::duration period; // zero: once
        std::shared_ptr<std::function<void()>> handler;
    };
    std::map<int, watched> watched_;
    std::map<timer_id, timer> timers_;
    std::vector<loop_source *> sources_;
    std::uint64_t generation_ = 0;
    timer_id last_timer_ = 0;

    int timeout_ms(clock::time_point now, clock::time_point deadline, bool stopping) const;
};
