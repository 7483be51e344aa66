#include "core/event_loop.h"

#include <algorithm>

#include "stop_signals.h"

void event_loop::watch(int fd, short events, fd_handler handler)
{
    watched_[fd] = {events, std::make_shared<fd_handler>(std::move(handler)), ++generation_};
}

void event_loop::change(int fd, short events)
{
    const auto w = watched_.find(fd);
    if (w != watched_.end())
        w->second.events = events;
}

void event_loop::forget(int fd) { watched_.erase(fd); }

event_loop::timer_id event_loop::at(clock::time_point when, std::function<void()> handler)
{
    timers_[++last_timer_] = {when, duration::zero(), std::make_shared<std::function<void()>>(std::move(handler))};
    return last_timer_;
}

event_loop::timer_id event_loop::after(duration delay, std::function<void()> handler)
{
    return at(clock::now() + delay, std::move(handler));
}

namespace {

// The first multiple of `period` on the clock after `now`.
event_loop::clock::time_point next_multiple(event_loop::clock::time_point now, event_loop::duration period)
{
    const auto since_epoch = now.time_since_epoch();
    return event_loop::clock::time_point((since_epoch / period + 1) * period);
}

} // namespace

event_loop::timer_id event_loop::every(duration period, std::function<void()> handler)
{
    const duration p = std::max<duration>(period, std::chrono::milliseconds(1));
    timers_[++last_timer_] = {next_multiple(clock::now(), p), p,
                              std::make_shared<std::function<void()>>(std::move(handler))};
    return last_timer_;
}

void event_loop::cancel(timer_id id) { timers_.erase(id); }

void event_loop::stop(std::string reason)
{
    if (stop_asked_.empty())
        stop_asked_ = reason.empty() ? "stopped" : std::move(reason);
}

event_loop::clock::time_point event_loop::soonest() const
{
    clock::time_point first = clock::time_point::max();
    for (const auto &[id, t] : timers_)
        first = std::min(first, t.next);
    return first;
}

int event_loop::timeout_ms(clock::time_point now) const
{
    const clock::time_point first = std::min(stopping_ ? deadline_ : clock::time_point::max(), soonest());
    if (first == clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

void event_loop::run_timers(clock::time_point now)
{
    // The due ones first, then each run if it is still there: a handler
    // may cancel another due in the same turn, or add timers.
    std::vector<timer_id> due;
    for (const auto &[id, t] : timers_)
        if (t.next <= now)
            due.push_back(id);
    for (const timer_id id : due) {
        const auto t = timers_.find(id);
        if (t == timers_.end())
            continue;
        const std::shared_ptr<std::function<void()>> handler = t->second.handler; // alive while it runs
        if (t->second.period == duration::zero())
            timers_.erase(t);
        else
            t->second.next = next_multiple(now, t->second.period);
        (*handler)();
    }
}

bool event_loop::take_stop()
{
    if (!stopping_ && (stop_signal() != 0 || !stop_asked_.empty())) {
        stopping_ = true;
        why_ = stop_signal() != 0 ? loop_stop{stop_signal(), ""} : loop_stop{0, stop_asked_};
        deadline_ = clock::now() + grace;
        if (on_stop)
            on_stop(why_);
    }
    return stopping_ && (!unfinished || !unfinished() || clock::now() >= deadline_);
}

void event_loop::turn(std::vector<pollfd> &fds, std::vector<std::pair<int, std::uint64_t>> &owners)
{
    fds.clear();
    owners.clear(); // the descriptor's handler, as it was when polled
    for (const auto &[fd, w] : watched_) {
        fds.push_back({fd, w.events, 0});
        owners.emplace_back(fd, w.generation);
    }
    const std::size_t own = fds.size();
    int timeout = timeout_ms(clock::now());
    std::vector<std::size_t> source_starts;
    for (loop_source *s : sources_) {
        source_starts.push_back(fds.size());
        s->prepare(fds, timeout);
    }
    if (poll_letting_signals_in(fds.data(), fds.size(), timeout) < 0)
        return; // a stop signal, or EINTR: seen at the top

    // Timers first: a drain that is due fills the hold before the
    // requests that take from it.
    run_timers(clock::now());
    for (std::size_t i = 0; i < own; ++i) {
        if (fds[i].revents == 0)
            continue;
        const auto w = watched_.find(owners[i].first);
        if (w == watched_.end() || w->second.generation != owners[i].second)
            continue; // forgot, or watched anew, since it was polled
        const std::shared_ptr<fd_handler> handler = w->second.handler; // alive while it runs
        (*handler)(fds[i].revents);
    }
    for (std::size_t k = 0; k < sources_.size(); ++k) {
        const std::size_t from = source_starts[k];
        const std::size_t to = k + 1 < sources_.size() ? source_starts[k + 1] : fds.size();
        sources_[k]->dispatch(fds.data() + from, to - from);
    }
}

loop_stop event_loop::run()
{
    std::vector<pollfd> fds;
    std::vector<std::pair<int, std::uint64_t>> owners;
    while (!take_stop())
        turn(fds, owners);
    return why_;
}
