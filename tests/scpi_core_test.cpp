// The server's core on its own: the parser's numbers, one client's
// framing of what a transport feeds it, the loop's timers, and the
// instrument's lock with the clients that wait for it.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "instrument.h"
#include "pin_bank.h"
#include "scpi/client.h"
#include "core/word_hold.h"
#include "scpi/parser.h"
#include "spi.h"
#include "violations.h"

namespace {

scpi_err number(const std::string &text, long long &value, long long min = 0, long long max = 4095)
{
    const std::vector<scpi_parsed> p = parse_message("X " + text);
    return integer_param(p.at(0).params.at(0), min, max, value);
}

TEST(scpi_numbers, decimal_and_based_forms_their_ranges_and_their_faults)
{
    struct row {
        const char *text;
        scpi_err fault;
        long long value;
    };
    const row rows[] = {
        {"1000", scpi_err::none, 1000},       {"+5", scpi_err::none, 5},
        {"1.0E3", scpi_err::none, 1000},      {"1000.", scpi_err::none, 1000},
        {"0.5E1", scpi_err::none, 5},         {"#H1F", scpi_err::none, 31},
        {"#Q17", scpi_err::none, 15},         {"#B1010", scpi_err::none, 10},
        {"4096", scpi_err::data_out_of_range, 0}, {"-1", scpi_err::data_out_of_range, 0},
        {"1E30", scpi_err::data_out_of_range, 0}, {"#HFFFFFFFFFFFFFFFFF", scpi_err::data_out_of_range, 0},
        {"1.5", scpi_err::illegal_parameter_value, 0}, {"1E", scpi_err::data_type_error, 0},
        {"12V", scpi_err::suffix_not_allowed, 0}, {"#H1G", scpi_err::data_type_error, 0},
        {"ON", scpi_err::data_type_error, 0},  {"\"5\"", scpi_err::data_type_error, 0},
    };
    for (const row &r : rows) {
        long long value = -7;
        EXPECT_EQ(number(r.text, value), r.fault) << r.text;
        if (r.fault == scpi_err::none) {
            EXPECT_EQ(value, r.value) << r.text;
        }
    }
}

struct client_fixture : ::testing::Test {
    bus_owner owner;
    void SetUp() override
    {
        sim::set_reporting(false);
        sim::power_on();
        setup_io();
    }
    static std::string taken(scpi_client &c)
    {
        std::string out(c.output().front(), c.output().backlog());
        c.output().take(out.size());
        return out;
    }
    static void feed(scpi_client &c, const std::string &bytes, bool at_end = false)
    {
        c.feed(bytes.data(), bytes.size(), at_end);
    }
};

TEST_F(client_fixture, messages_end_at_newlines_outside_strings_and_blocks_in_any_pieces)
{
    scpi_client c(owner);
    const std::string stream = "*IDN?\r\nSYST:ERR?\nSYST:ERR:COUN?;*ESE 8\n*ESE?\n";
    for (char ch : stream) // a byte at a time
        feed(c, std::string(1, ch));
    const std::string out = taken(c);
    EXPECT_EQ(out.rfind("counter-console,", 0), 0u) << "CR LF ends a message as LF does";
    EXPECT_NE(out.find("\n0,\"No error\"\n0\n8\n"), std::string::npos) << out;

    // A newline inside a string or a block is data, not a message's end.
    feed(c, "SYST:ERR?;*ESE #H1\n");
    feed(c, "*ESE?\n");
    EXPECT_EQ(taken(c), "0,\"No error\"\n1\n");
    EXPECT_EQ(c.messages(), 6u);
}

TEST_F(client_fixture, a_transport_end_ends_a_message_and_an_overlong_one_is_refused_whole)
{
    scpi_client c(owner);
    feed(c, "*ESE 4\n*ESE?", true); // VXI-11's END, a socket's close
    EXPECT_EQ(taken(c), "4\n");

    // Longer than the bound, in pieces: -223 once, the rest dropped up to
    // its end, and the next message runs.
    const std::string piece(16 * 1024, 'A');
    feed(c, "*ESE 1;");
    for (int i = 0; i < 5; ++i)
        feed(c, piece);
    feed(c, "\n*ESE?\n");
    EXPECT_EQ(taken(c), "4\n") << "nothing of the long message ran";
    ASSERT_EQ(c.session.errors.size(), 1u);
    EXPECT_EQ(c.session.errors.front().code, -223);

    // The same, ended by the transport with no newline after it.
    c.session.errors.clear();
    for (int i = 0; i < 5; ++i)
        feed(c, piece);
    feed(c, "", true);
    feed(c, "*ESE?\n");
    EXPECT_EQ(taken(c), "4\n");
    EXPECT_EQ(c.session.errors.size(), 1u);
}

TEST_F(client_fixture, the_lock_holds_other_clients_back_until_it_is_given_back)
{
    scpi_client holder(owner), other(owner);
    int resumed = 0;
    const bus_owner::waiting_id waiting = owner.when_released([&] {
        ++resumed;
        other.resume();
    });
    ASSERT_TRUE(owner.lock(holder.id()));
    EXPECT_FALSE(owner.lock(other.id()));
    EXPECT_FALSE(owner.unlock(other.id())) << "only the holder gives it back";

    feed(other, "*ESE 2\n*ESE?\n");
    EXPECT_TRUE(other.waiting());
    EXPECT_EQ(other.output().backlog(), 0u);
    feed(holder, "*ESE?\n");
    EXPECT_EQ(taken(holder), "0\n") << "the holder runs";

    EXPECT_TRUE(owner.unlock(holder.id()));
    EXPECT_EQ(resumed, 1);
    EXPECT_FALSE(other.waiting());
    EXPECT_EQ(taken(other), "2\n") << "what waited ran, in order";

    owner.forget_waiting(waiting);
    ASSERT_TRUE(owner.lock(holder.id()));
    EXPECT_TRUE(owner.unlock(holder.id()));
    EXPECT_EQ(resumed, 1) << "a forgotten waiter is not called";
}

TEST_F(client_fixture, the_views_of_what_was_read_take_nothing_from_the_hold)
{
    sim::load_fifo({5, 0xFFFFFFFDu, 7, 7, 12, 0});
    owner.read_out();
    scpi_client c(owner);
    feed(c, "DATA:REC? 4;REC?;SEEN?;RATE?;RATE:WORD?\n");
    EXPECT_EQ(taken(c), "7,7,12,0;5,-3,7,7,12,0;6;28;6\n") << "counts a second, added up; words a second";
    feed(c, "DATA:HIST? 4\n"); // -3..12 in four bins of width 4
    EXPECT_EQ(taken(c), "-3,4,2,0,3,1\n");
    feed(c, "DATA:REC? 0;:DATA:HIST? 2000\n");
    EXPECT_EQ(c.output().backlog(), 0u);
    EXPECT_EQ(c.session.errors.size(), 2u) << "out of range, each";
    EXPECT_EQ(owner.held(), 6u) << "nothing was taken";
}

} // namespace

// What the loop keeps to itself, for the tests.
class event_loop_test_seam {
public:
    static void run_timers(event_loop &loop, event_loop::clock::time_point now) { loop.run_timers(now); }
    static bool scheduled(const event_loop &loop, event_loop::timer_id id) { return loop.timers_.count(id) > 0; }
    static event_loop::clock::time_point soonest(const event_loop &loop) { return loop.soonest(); }
};

namespace {

using seam = event_loop_test_seam;

TEST(event_loop_timers, one_shots_run_once_periodic_ones_on_their_multiples_and_cancel_holds_from_anywhere)
{
    using namespace std::chrono_literals;
    event_loop loop;
    const auto now = event_loop::clock::now();
    std::vector<std::string> ran;
    event_loop::timer_id second = 0, periodic = 0;
    loop.at(now + 10ms, [&] {
        ran.push_back("first");
        loop.cancel(second); // due in the same turn: it does not run
    });
    second = loop.at(now + 10ms, [&] { ran.push_back("second"); });
    // A periodic timer that cancels itself from inside its handler, which
    // captures what it needs by value: it must stay alive while it runs.
    event_loop::timer_id itself = 0;
    std::string name = "itself";
    itself = loop.every(20ms, [&loop, &ran, &itself, name] {
        loop.cancel(itself);
        ran.push_back(name);
    });
    periodic = loop.every(100ms, [&] { ran.push_back("tick"); });

    seam::run_timers(loop, now + 15ms);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "first"), 1);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "second"), 0);
    EXPECT_FALSE(seam::scheduled(loop, second));
    seam::run_timers(loop, now + 45ms);
    seam::run_timers(loop, now + 90ms);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "first"), 1) << "a one-shot runs once";
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "itself"), 1);
    EXPECT_FALSE(seam::scheduled(loop, itself));
    ran.clear();

    // The periodic timer falls on a multiple of its period on the clock.
    const auto next = seam::soonest(loop);
    EXPECT_EQ(next.time_since_epoch() % 100ms, event_loop::clock::duration::zero());
    seam::run_timers(loop, next);
    seam::run_timers(loop, next + 50ms);
    seam::run_timers(loop, next + 100ms);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "tick"), 2);
    loop.cancel(periodic);
    loop.cancel(periodic); // twice is no error
    EXPECT_EQ(seam::soonest(loop), event_loop::clock::time_point::max());
}

// Reading by index: nothing is taken, a lost index keeps its place, and a
// read of words not yet read waits for them (or its time) without holding
// up the client's other work, then answers in order.
TEST_F(client_fixture, reads_by_index_take_nothing_and_a_read_ahead_waits_for_its_words)
{
    sim::load_fifo({5, 6, 7});
    owner.read_out();
    event_loop loop;
    scpi_client c(owner, &loop);
    int woken = 0;
    c.woken = [&] { ++woken; };
    feed(c, "DATA:JOUR?\n");
    const std::string journal = taken(c);
    EXPECT_EQ(journal.substr(journal.size() - 6), "\",0,3\n") << journal;
    feed(c, "DATA:READ? 1,5;READ? 1,1;:DATA:POIN?\n");
    EXPECT_EQ(taken(c), "1,0,6,7;1,0,6;3\n") << "read twice, and all still held";
    feed(c, "DATA:READ? 9\n");
    EXPECT_EQ(taken(c), "");
    EXPECT_EQ(c.session.errors.front().code, -222) << "an index past the next is no word of this life's";

    feed(c, "DATA:READ? 3,10,60000;*IDN?\n*ESE 4;*ESE?\n");
    EXPECT_TRUE(c.waiting());
    EXPECT_EQ(c.output().backlog(), 0u) << "the message waits whole, and what came after it";
    sim::load_fifo({8, 9});
    owner.read_out();
    event_loop_test_seam::run_timers(loop, event_loop::clock::now());
    EXPECT_EQ(woken, 1);
    EXPECT_FALSE(c.waiting());
    const std::string out = taken(c);
    EXPECT_EQ(out.substr(0, 8), "3,0,8,9;") << out;
    EXPECT_EQ(out.substr(out.size() - 2), "4\n") << "then the next message";

    feed(c, "FORM INT;:DATA:READ? 5,10,50\n");
    EXPECT_TRUE(c.waiting());
    event_loop_test_seam::run_timers(loop, event_loop::clock::now() + std::chrono::milliseconds(60));
    EXPECT_EQ(taken(c), "5,0,#10\n") << "its time up, it answers with none";
}

TEST_F(client_fixture, a_client_that_does_not_wait_for_the_lock_is_refused_at_once)
{
    scpi_client holder(owner), other(owner);
    ASSERT_TRUE(owner.lock(holder.id()));
    feed(other, "*ESE 1\n");
    EXPECT_TRUE(other.waiting()) << "a client that waits has every message wait";
    other.clear();
    feed(other, "FORM INT;:SYST:LOCK:WAIT OFF\n");
    EXPECT_FALSE(other.waiting()) << "saying it does not wait, and setting its session, runs at once";
    feed(other, "DATA:REM?;*IDN?\n*ESE 1;*ESE?\n");
    EXPECT_FALSE(other.waiting());
    EXPECT_EQ(taken(other), "\n1\n") << "what asked the instrument is answered with nothing; the session's runs";
    ASSERT_EQ(other.session.errors.size(), 1u);
    EXPECT_EQ(other.session.errors.front().code, -200);
}

} // namespace
