// The server's one owner of the bus: nothing else calls the link's
// operations. It keeps what the server knows of the instrument for all its
// clients: the words held (and their epoch), the run it started, the
// settings it made, and the words lost.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "count_history.h"
#include "gap_marker.h"
#include "word_hold.h"

struct known_settings {
    std::optional<int> threshold, polarity, period; // as last set (the threshold as read back)
};

struct bus_owner {
    word_hold hold;
    bool running = false;          // a run started here is on: the instrument is drained
    std::uint64_t runs_started = 0;
    known_settings settings;
    known_settings defaults;       // sent at start and after *RST, when the lab names any
    std::uint64_t words_lost = 0;  // read while the hold was full, and dropped
    gap_marker marker = gap_marker::none; // how the lab's instrument marks lost measurements, if it does
    std::uint64_t gaps = 0;        // words the instrument marked (with a marker): measurements lost before them
    bool hold_full = false;        // the hold is full now
    std::uint64_t gaps_said = 0;   // in the log
    std::chrono::steady_clock::time_point gaps_said_at{};
    count_history seen;            // the latest counts read, for the web page's plots
    std::function<void(const std::string &line)> log;
    // Called when a run starts here (the server then drains the instrument).
    std::function<void()> run_started;
    // Called when a client took words from the hold during a run: the next
    // drain comes at once, so that the instrument is read while the words
    // travel and the client's next request finds the hold filled.
    std::function<void()> hold_drawn;

    // The instrument's lock (VXI-11's device_lock): while one client holds
    // it, no other client's command runs. Clients are named by the number
    // new_client() gave them.
    long new_client() { return ++clients_named_; }
    bool lock(long client);   // false: another holds it
    bool unlock(long client); // false: it did not hold it
    bool may_run(long client) const { return lock_holder_ == 0 || lock_holder_ == client; }
    bool locked() const { return lock_holder_ != 0; }
    bool holds_lock(long client) const { return client != 0 && lock_holder_ == client; }
    // `resume` runs each time the lock is given back, until forgotten: the
    // clients that waited for it go on.
    using waiting_id = std::uint64_t;
    waiting_id when_released(std::function<void()> resume);
    void forget_waiting(waiting_id id) { released_.erase(id); }

private:
    long lock_holder_ = 0;
    long clients_named_ = 0;
    std::map<waiting_id, std::function<void()>> released_;
    waiting_id last_waiting_ = 0;
};

// Every word the instrument holds, into the hold; while the hold is full,
// read all the same (so the instrument's FIFO never overflows) and counted
// as lost. Words are kept whole, unless the lab named a gap marker: then a
// word that marks a gap counts one and is kept as its count.
void owner_read_out(bus_owner &o);
// While a run started here is on: owner_read_out.
void owner_drain(bus_owner &o);

// Sends the lab's default settings, if any (at start and after *RST).
void owner_send_defaults(bus_owner &o);
// *RST: the instrument reset, the settings forgotten, the hold emptied, a
// new epoch. Returns the words dropped.
std::size_t owner_reset(bus_owner &o);
// INIT: false when a run started here is on already (nothing is sent).
bool owner_start(bus_owner &o);
// ABORt: the run stopped and what it measured read out.
void owner_stop(bus_owner &o);

int owner_set_threshold(bus_owner &o, int threshold); // returns the read-back
void owner_set_polarity(bus_owner &o, int polarity);
void owner_set_period(bus_owner &o, int period);

bool owner_run_flag(bus_owner &o);
// Words available: held here, and held by the instrument.
std::uint64_t owner_points(bus_owner &o);
int owner_interface_test(bus_owner &o, int value);
// *TST?: the interface test with patterns that drive every data line both
// ways; 0 when every reply is what the instrument gives, else 1 (said in the log).
int owner_self_test(bus_owner &o);

std::uint64_t owner_loss(const bus_owner &o); // words lost and gaps: what a client must be told
