#include "bus_owner.h"

#include <algorithm>

#include "spi.h"

namespace {

void say(const bus_owner &o, const std::string &line)
{
    if (o.log)
        o.log(line);
}

} // namespace

void owner_read_out(bus_owner &o)
{
    static std::int32_t words[max_data_words];
    const int count = datasize();
    if (count <= 0)
        return;
    const int read = readDATA(count, words, max_data_words);
    if (o.marker != gap_marker::none) {
        for (int i = 0; i < read; ++i) {
            const marked_word w = read_marked(o.marker, words[i]);
            o.gaps += w.follows_gap;
            words[i] = w.count;
        }
    }
    // Gaps are said at most once a second: a FIFO that overflows all the
    // time must not flood the log.
    const auto now = std::chrono::steady_clock::now();
    if (o.gaps != o.gaps_said && now - o.gaps_said_at >= std::chrono::seconds(1)) {
        say(o, "the instrument marked " + std::to_string(o.gaps - o.gaps_said) +
                   " gaps in its words: its FIFO overflowed and measurements were lost (" + std::to_string(o.gaps) +
                   " gaps in all)");
        o.gaps_said = o.gaps;
        o.gaps_said_at = now;
    }
    o.seen.add(words, static_cast<std::size_t>(read), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        std::chrono::system_clock::now().time_since_epoch())
                                                        .count());
    const std::size_t kept = hold_add(o.hold, words, static_cast<std::size_t>(read));
    const std::size_t lost = static_cast<std::size_t>(read) - kept;
    if (lost > 0) {
        o.words_lost += lost;
        if (!o.hold_full)
            say(o, "the hold is full (" + std::to_string(o.hold.held.size()) +
                       " words, all it may): words read are dropped and counted until clients take some");
        o.hold_full = true;
    } else if (o.hold_full && room(o.hold) > 0) {
        o.hold_full = false;
        say(o, "the hold has room again; " + std::to_string(o.words_lost) + " words lost in all");
    }
}

void owner_drain(bus_owner &o)
{
    if (o.running)
        owner_read_out(o);
}

void owner_send_defaults(bus_owner &o)
{
    if (o.defaults.period)
        owner_set_period(o, *o.defaults.period);
    if (o.defaults.polarity)
        owner_set_polarity(o, *o.defaults.polarity);
    if (o.defaults.threshold)
        owner_set_threshold(o, *o.defaults.threshold);
}

std::size_t owner_reset(bus_owner &o)
{
    reset();
    o.running = false;
    o.hold_full = false;
    o.settings = known_settings{};
    const std::size_t dropped = hold_clear(o.hold);
    owner_send_defaults(o);
    say(o, "*RST: the instrument is reset, and the " + std::to_string(dropped) + " words held are dropped");
    return dropped;
}

bool owner_start(bus_owner &o)
{
    if (o.running)
        return false;
    start();
    o.running = true;
    ++o.runs_started;
    hold_new_epoch(o.hold);
    if (o.run_started)
        o.run_started();
    return true;
}

void owner_stop(bus_owner &o)
{
    stop();
    owner_read_out(o); // what was measured before the stop
    o.running = false;
}

int owner_set_threshold(bus_owner &o, int threshold)
{
    const int back = setTHR(threshold);
    o.settings.threshold = back;
    return back;
}

void owner_set_polarity(bus_owner &o, int polarity)
{
    setPOL(polarity);
    o.settings.polarity = polarity;
}

void owner_set_period(bus_owner &o, int period)
{
    setPeriod(period);
    o.settings.period = period;
}

bool owner_run_flag(bus_owner &) { return run() != 0; }

std::uint64_t owner_points(bus_owner &o) { return o.hold.held.size() + static_cast<std::uint64_t>(datasize()); }

int owner_interface_test(bus_owner &, int value) { return ifc_rd(value); }

int owner_self_test(bus_owner &o)
{
    for (const int pattern : {0x000000, 0xFFFFFF, 0x555555, 0xAAAAAA, 0x0F0F0F, 0xF0F0F0}) {
        const auto expected = static_cast<int>(((~static_cast<unsigned>(pattern) & 0xFFu) << 24) |
                                               static_cast<unsigned>(pattern));
        const int reply = ifc_rd(pattern);
        if (reply != expected) {
            char text[160];
            std::snprintf(text, sizeof text, "*TST?: the interface test sent 0x%06X and got 0x%08X, not 0x%08X",
                          static_cast<unsigned>(pattern), static_cast<unsigned>(reply), static_cast<unsigned>(expected));
            say(o, text);
            return 1;
        }
    }
    return 0;
}

std::uint64_t owner_loss(const bus_owner &o) { return o.words_lost + o.gaps; }

bool bus_owner::lock(long client)
{
    if (!may_run(client))
        return false;
    lock_holder_ = client;
    return true;
}

bool bus_owner::unlock(long client)
{
    if (!holds_lock(client))
        return false;
    lock_holder_ = 0;
    // A copy: a client that goes on may stop waiting, or take the lock.
    const std::map<waiting_id, std::function<void()>> waiting = released_;
    for (const auto &[id, resume] : waiting)
        if (released_.count(id) > 0 && lock_holder_ == 0)
            resume();
    return true;
}

bus_owner::waiting_id bus_owner::when_released(std::function<void()> resume)
{
    released_[++last_waiting_] = std::move(resume);
    return last_waiting_;
}
