#include "event_loop.h"

#include <algorithm>

#include "stop_signals.h"

void event_loop::watch(int fd, short events, fd_handler handler)
{
    watched_[fd] = {events, std::move(handler), ++generation_};
}

void event_loop::change(int fd, short events)
{
    const auto w = watched_.find(fd);
    if (w != watched_.end())
        w->second.events = events;
}

void event_loop::forget(int fd) { watched_.erase(fd); }

void event_loop::every(std::chrono::milliseconds period, std::function<void()> handler)
{
    timers_.push_back({period, clock::now() + period, std::move(handler)});
}

int event_loop::timeout_ms(clock::time_point now, clock::time_point deadline, bool stopping) const
{
    clock::time_point soonest = stopping ? deadline : clock::time_point::max();
    for (const timer &t : timers_)
        soonest = std::min(soonest, t.next);
    if (soonest == clock::time_point::max())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

void event_loop::run_timers(clock::time_point now)
{
    for (std::size_t i = 0; i < timers_.size(); ++i) {
        if (timers_[i].next > now)
            continue;
        timers_[i].next = now + timers_[i].period;
        timers_[i].handler(); // may add timers: index, not iterator
    }
}

int event_loop::run()
{
    int stopped = 0;
    clock::time_point deadline{};
    std::vector<pollfd> fds;
    std::vector<std::pair<int, std::uint64_t>> owners; // the descriptor's handler, as it was when polled
    for (;;) {
        if (stopped == 0 && stop_signal() != 0) {
            stopped = stop_signal();
            deadline = clock::now() + grace;
            if (on_stop)
                on_stop(stopped);
        }
        if (stopped != 0 && (!busy || !busy() || clock::now() >= deadline))
            return stopped;

        fds.clear();
        owners.clear();
        for (const auto &[fd, w] : watched_) {
            fds.push_back({fd, w.events, 0});
            owners.emplace_back(fd, w.generation);
        }
        const std::size_t own = fds.size();
        int timeout = timeout_ms(clock::now(), deadline, stopped != 0);
        std::vector<std::size_t> source_starts;
        for (loop_source *s : sources_) {
            source_starts.push_back(fds.size());
            s->prepare(fds, timeout);
        }
        if (poll_letting_signals_in(fds.data(), fds.size(), timeout) < 0)
            continue; // a stop signal, or EINTR: seen at the top

        // Timers first: a drain that is due fills the hold before the
        // requests that take from it.
        run_timers(clock::now());
        for (std::size_t i = 0; i < own; ++i) {
            if (fds[i].revents == 0)
                continue;
            const auto w = watched_.find(owners[i].first);
            if (w != watched_.end() && w->second.generation == owners[i].second)
                w->second.handler(fds[i].revents);
        }
        for (std::size_t k = 0; k < sources_.size(); ++k) {
            const std::size_t from = source_starts[k];
            const std::size_t to = k + 1 < sources_.size() ? source_starts[k + 1] : fds.size();
            sources_[k]->dispatch(fds.data() + from, to - from);
        }
    }
}
