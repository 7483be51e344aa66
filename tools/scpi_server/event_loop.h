// The server's one loop: descriptors with their handlers, periodic timers,
// and sources (a library that brings descriptors of its own gives them
// each turn and is told what is ready). One ppoll, with the stop signals
// let in only there; after a stop signal the loop goes on, for a grace
// time, while something is still busy: shutdown is a state of the loop.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
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

    void watch(int fd, short events, fd_handler handler);
    void change(int fd, short events);
    void forget(int fd); // safe from inside a handler

    void every(std::chrono::milliseconds period, std::function<void()> handler);
    void add_source(loop_source &s) { sources_.push_back(&s); }

    // Called once when a stop signal comes, with its number.
    std::function<void(int signal)> on_stop;
    // While stopping: true while something must still be finished.
    std::function<bool()> busy;
    std::chrono::milliseconds grace{5000};

    // Runs until, after a stop signal, nothing is busy or the grace is over.
    // Returns the signal.
    int run();

private:
    struct watched {
        short events;
        fd_handler handler;
        std::uint64_t generation;
    };
    struct timer {
        std::chrono::milliseconds period;
        clock::time_point next;
        std::function<void()> handler;
    };
    std::map<int, watched> watched_;
    std::vector<timer> timers_;
    std::vector<loop_source *> sources_;
    std::uint64_t generation_ = 0;

    int timeout_ms(clock::time_point now, clock::time_point deadline, bool stopping) const;
    void run_timers(clock::time_point now);
};
