#include "core/bus_owner.h"

#include <algorithm>
#include <cstdio>

#include "spi.h"

void bus_owner::say(const std::string &line) const
{
    if (options_.log)
        options_.log(line);
}

read_rates bus_view::rates() const
{
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    read_rates r;
    const std::uint64_t from = journal_.first_read_since(now - 999);
    for (std::uint64_t i = from; i < journal_.next(); ++i)
        r.counts_per_s += count_at(i);
    r.words_per_s = journal_.next() - from;
    return r;
}

std::uint64_t bus_view::first_viewed() const
{
    constexpr std::uint64_t viewed = 1u << 16;
    return std::max(journal_.oldest(), journal_.next() > viewed ? journal_.next() - viewed : 0);
}

bool bus_owner::start_bus()
{
    if (!setup_io())
        return false;
    send_defaults();
    return true;
}

// Gaps are said at most once a second: a FIFO that overflows all the time
// must not flood the log.
void bus_owner::say_gaps()
{
    const auto now = std::chrono::steady_clock::now();
    if (gaps_ == gaps_said_ || now - gaps_said_at_ < std::chrono::seconds(1))
        return;
    say("the instrument marked " + std::to_string(gaps_ - gaps_said_) +
        " gaps in its words: its FIFO overflowed and measurements were lost (" + std::to_string(gaps_) +
        " gaps in all)");
    gaps_said_ = gaps_;
    gaps_said_at_ = now;
}

// Counts read, into the hold as room allows.
void bus_owner::keep(const std::int32_t *words, std::size_t n)
{
    const std::size_t lost = n - hold_add(hold_, words, n);
    if (lost > 0) {
        words_lost_ += lost;
        if (!hold_full_)
            say("the hold is full (" + std::to_string(hold_.held.size()) +
                " words, all it may): words read are dropped and counted until clients take some");
        hold_full_ = true;
    } else if (hold_full_ && room(hold_) > 0) {
        hold_full_ = false;
        say("the hold has room again; " + std::to_string(words_lost_) + " words lost in all");
    }
}

void bus_owner::read_out()
{
    static std::int32_t words[max_data_words];
    const int count = datasize();
    if (count <= 0)
        return;
    const int read = readDATA(count, words, max_data_words);
    journal_.add(words, static_cast<std::size_t>(read),
                 std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count());
    if (options_.marker != gap_marker::none) {
        for (int i = 0; i < read; ++i) {
            const marked_word w = read_marked(options_.marker, words[i]);
            gaps_ += w.follows_gap;
            words[i] = w.count;
        }
    }
    say_gaps();
    keep(words, static_cast<std::size_t>(read));
    const std::map<waiting_id, std::function<void()>> arriving = arriving_; // a reader may stop waiting
    for (const auto &[id, arrived] : arriving)
        if (arriving_.count(id) > 0)
            arrived();
}

void bus_owner::drain()
{
    if (run_on_)
        read_out();
}

void bus_owner::send_defaults()
{
    const known_settings &d = options_.defaults;
    if (d.period)
        set_period(*d.period);
    if (d.polarity)
        set_polarity(*d.polarity);
    if (d.threshold)
        set_threshold(*d.threshold);
}

std::size_t bus_owner::reset()
{
    ::reset();
    run_on_ = false;
    hold_full_ = false;
    settings_ = known_settings{};
    const std::size_t dropped = hold_clear(hold_);
    send_defaults();
    say("*RST: the instrument is reset, and the " + std::to_string(dropped) + " words held are dropped");
    return dropped;
}

bool bus_owner::start_run()
{
    if (run_on_)
        return false;
    ::start();
    run_on_ = true;
    ++runs_started_;
    hold_new_epoch(hold_);
    if (run_started)
        run_started();
    return true;
}

void bus_owner::stop_run()
{
    ::stop();
    read_out(); // what was measured before the stop
    run_on_ = false;
}

int bus_owner::set_threshold(int threshold)
{
    const int back = setTHR(threshold);
    settings_.threshold = back;
    return back;
}

void bus_owner::set_polarity(int polarity)
{
    setPOL(polarity);
    settings_.polarity = polarity;
}

void bus_owner::set_period(int period)
{
    setPeriod(period);
    settings_.period = period;
}

bool bus_owner::run_flag() { return ::run() != 0; }

std::uint64_t bus_owner::points() { return hold_.held.size() + static_cast<std::uint64_t>(datasize()); }

int bus_owner::interface_test(int value) { return ifc_rd(value); }

int bus_owner::self_test()
{
    for (const int pattern : {0x000000, 0xFFFFFF, 0x555555, 0xAAAAAA, 0x0F0F0F, 0xF0F0F0}) {
        const auto expected = static_cast<int>(((~static_cast<unsigned>(pattern) & 0xFFu) << 24) |
                                               static_cast<unsigned>(pattern));
        const int reply = ifc_rd(pattern);
        if (reply != expected) {
            char text[160];
            std::snprintf(text, sizeof text, "*TST?: the interface test sent 0x%06X and got 0x%08X, not 0x%08X",
                          static_cast<unsigned>(pattern), static_cast<unsigned>(reply), static_cast<unsigned>(expected));
            say(text);
            return 1;
        }
    }
    return 0;
}

word_runs bus_owner::take(std::size_t most, delivery_ticket &ticket)
{
    if (most > hold_.held.size())
        read_out();
    word_runs words = hold_take(hold_, most);
    if (words.empty())
        return words;
    ticket.add(word_runs(words));
    if (run_on_ && hold_drawn)
        hold_drawn();
    return words;
}

word_runs bus_owner::take_all()
{
    word_runs words = hold_take(hold_, hold_.held.size());
    hold_delivered(hold_, words.size());
    return words;
}

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
    for (const auto &[id, wake_waiter] : waiting)
        if (released_.count(id) > 0 && lock_holder_ == 0)
            wake_waiter();
    return true;
}

bus_owner::waiting_id bus_owner::when_released(std::function<void()> resume)
{
    released_[++last_waiting_] = std::move(resume);
    return last_waiting_;
}

bus_owner::waiting_id bus_owner::when_words_arrive(std::function<void()> arrived)
{
    arriving_[++last_waiting_] = std::move(arrived);
    return last_waiting_;
}
