// The server's one owner of the bus: nothing else calls the link. It keeps
// what the server knows of the instrument for all its clients: the words
// held (and their epoch), the run it started, the settings it made, the
// words lost, the counts read, and the instrument's lock. Clients read
// that through bus_view; only the owner's own operations change it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "core/delivery.h"
#include "core/journal.h"
#include "core/word_hold.h"
#include "gap_marker.h"

struct known_settings {
    std::optional<int> threshold, polarity, period; // as last set (the threshold as read back)
};

struct owner_options {
    std::size_t hold_words = 4u << 20;
    std::size_t journal_words = 4u << 20;
    known_settings defaults;              // sent at start and after *RST, when the lab names any
    gap_marker marker = gap_marker::none; // how the lab's instrument marks lost measurements, if it does
    std::function<void(const std::string &line)> log;
};

// What the journal's last second holds: the counts added up (the
// instrument's event rate), and the words.
struct read_rates {
    long long counts_per_s = 0;
    std::uint64_t words_per_s = 0;
};

// What every client may read of the server's knowledge (the page, the SCPI
// queries, and through them the Tango device).
class bus_view {
public:
    bool run_on() const { return run_on_; } // a run this server started is on: the instrument is drained
    std::uint64_t runs_started() const { return runs_started_; }
    const known_settings &settings() const { return settings_; }
    std::uint64_t words_lost() const { return words_lost_; } // read while the hold was full, and dropped
    std::uint64_t gaps() const { return gaps_; } // words the instrument marked: measurements lost before them
    std::uint64_t loss() const { return words_lost_ + gaps_; } // what a client must be told
    bool hold_full() const { return hold_full_; }
    std::size_t held() const { return hold_.held.size(); }
    std::size_t hold_capacity() const { return hold_.capacity; }
    // Every word read, whole, with its index: for many readers, none of
    // whom takes anything.
    const count_journal &journal() const { return journal_; }
    gap_marker marker() const { return options_.marker; }
    // The count a journal word stands for (under the lab's gap marker).
    std::int32_t count_at(std::uint64_t index) const { return read_marked(options_.marker, journal_.at(index)).count; }
    // The words read within the last second of the system clock, and their counts.
    read_rates rates() const;
    // The first index the views (the page, DATA:HISTogram?) look at: the
    // latest 65,536 counts at most.
    std::uint64_t first_viewed() const;
    // The instrument's lock (VXI-11's device_lock): while one client holds
    // it, no other client's command runs. Clients are named by the number
    // bus_owner::new_client() gave them.
    bool locked() const { return lock_holder_ != 0; }
    bool may_run(long client) const { return lock_holder_ == 0 || lock_holder_ == client; }
    bool holds_lock(long client) const { return client != 0 && lock_holder_ == client; }

protected:
    explicit bus_view(owner_options o) : options_(std::move(o)), journal_(options_.journal_words)
    {
        hold_.capacity = options_.hold_words;
    }

    owner_options options_;
    word_hold hold_;
    bool run_on_ = false;
    std::uint64_t runs_started_ = 0;
    known_settings settings_;
    std::uint64_t words_lost_ = 0, gaps_ = 0;
    bool hold_full_ = false;
    count_journal journal_;
    long lock_holder_ = 0;
};

class bus_owner : public bus_view {
public:
    explicit bus_owner(owner_options o = {}) : bus_view(std::move(o)) {}
    const bus_view &view() const { return *this; }

    // The bus set up and the lab's defaults sent; false when the platform
    // could not set it up.
    bool start_bus();

    // Every word the instrument holds, into the hold; while the hold is
    // full, read all the same (so the instrument's FIFO never overflows)
    // and counted as lost. Words are kept whole, unless the lab named a gap
    // marker: then a word that marks a gap counts one and is kept as its count.
    void read_out();
    // While a run started here is on: read_out.
    void drain();
    // The bus is another's now: no more drains.
    void give_up_bus() { run_on_ = false; }

    // *RST: the instrument reset, the settings forgotten, the hold emptied,
    // a new epoch. Returns the words dropped.
    std::size_t reset();
    // INIT: false when a run started here is on already (nothing is sent).
    bool start_run();
    // ABORt: the run stopped and what it measured read out.
    void stop_run();

    int set_threshold(int threshold); // returns the read-back
    void set_polarity(int polarity);
    void set_period(int period);

    bool run_flag(); // the instrument's own
    // Words available: held here, and held by the instrument.
    std::uint64_t points();
    int interface_test(int value);
    // *TST?: the interface test with patterns that drive every data line
    // both ways; 0 when every reply is what the instrument gives, else 1
    // (said in the log).
    int self_test();

    // Up to `most` words from the hold, oldest first (read out first when
    // it holds fewer), owed to `ticket` until it is settled.
    word_runs take(std::size_t most, delivery_ticket &ticket);
    // A reader of the journal has every word read so far: during a run the
    // instrument is read again at once (hold_drawn), as after a take.
    void caught_up()
    {
        if (run_on_ && hold_drawn)
            hold_drawn();
    }
    // Every word held, for good: the server is ending.
    word_runs take_all();
    // A ticket for the words a client takes.
    delivery_ticket new_ticket() { return delivery_ticket(hold_); }

    // Called when a run starts here (the server then drains the instrument).
    std::function<void()> run_started;
    // Called when a client took words from the hold, or caught up with the
    // journal, during a run: the next drain comes at once, so that the
    // instrument is read while the words travel and the client's next
    // request finds them there.
    std::function<void()> hold_drawn;

    long new_client() { return ++clients_named_; }
    bool lock(long client);   // false: another holds it
    bool unlock(long client); // false: it did not hold it
    // `resume` runs each time the lock is given back, until forgotten: the
    // clients that waited for it go on.
    using waiting_id = std::uint64_t;
    waiting_id when_released(std::function<void()> resume);
    // `arrived` runs each time words enter the journal, until forgotten:
    // readers waiting for them go on. It is called inside a read-out, so
    // what it would do with the bus must wait for the loop's next turn.
    waiting_id when_words_arrive(std::function<void()> arrived);
    void forget_waiting(waiting_id id)
    {
        released_.erase(id);
        arriving_.erase(id);
    }

private:
    long clients_named_ = 0;
    std::map<waiting_id, std::function<void()>> released_, arriving_;
    waiting_id last_waiting_ = 0;
    std::uint64_t gaps_said_ = 0; // in the log
    std::chrono::steady_clock::time_point gaps_said_at_{};

    void say(const std::string &line) const;
    void send_defaults();
    void say_gaps();
    void keep(const std::int32_t *words, std::size_t n);
};
