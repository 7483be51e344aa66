// The SCPI server's pieces on their own: the hold with tickets failing out
// of order, the header path rule, the error queue's bound, the status
// bits, and the CIDR blocks of --allow.

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <random>

#include "core/journal.h"
#include "core/delivery.h"
#include "instrument.h"
#include "net/net_address.h"
#include "pin_bank.h"
#include "violations.h"
#include "scpi/executor.h"
#include "scpi/session.h"
#include "spi.h"

namespace {

std::vector<std::int32_t> numbered(std::size_t n, std::int32_t from = 0)
{
    std::vector<std::int32_t> w(n);
    std::iota(w.begin(), w.end(), from);
    return w;
}

std::vector<std::int32_t> contents(const word_runs &r) { return {r.words.begin(), r.words.end()}; }

TEST(word_hold, words_put_back_in_any_order_return_to_their_places)
{
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 50; ++trial) {
        word_hold h;
        h.capacity = 1000;
        const std::vector<std::int32_t> all = numbered(600);
        hold_add(h, all.data(), all.size());
        // Clients take pieces in turn, then fail in a random order.
        std::vector<word_runs> pieces;
        while (!h.held.empty())
            pieces.push_back(hold_take(h, 1 + random() % 40));
        const std::vector<std::int32_t> more = numbered(50, 600); // read meanwhile
        hold_add(h, more.data(), more.size());
        std::shuffle(pieces.begin(), pieces.end(), random);
        for (word_runs &p : pieces)
            EXPECT_EQ(hold_return(h, std::move(p), h.epoch), 0u);
        EXPECT_EQ(contents(h.held), numbered(650));
        EXPECT_LE(h.held.marks.size(), 1u) << "runs that meet are joined";
    }
}

TEST(word_hold, tickets_settle_and_an_epoch_drops_what_was_taken_before_it)
{
    word_hold h;
    h.capacity = 100;
    const std::vector<std::int32_t> all = numbered(30);
    hold_add(h, all.data(), all.size());
    delivery_ticket delivered(h), failed(h), stale(h);
    delivered.add(hold_take(h, 10));
    failed.add(hold_take(h, 5));
    stale.add(hold_take(h, 5));
    delivered.ack();
    EXPECT_EQ(failed.fail().held_again, 5u);
    hold_new_epoch(h);
    const delivery_ticket::returned r = stale.fail();
    EXPECT_EQ(r.dropped, 5u);
    std::vector<std::int32_t> expected = numbered(5, 10); // 10..14 back in front of 20..29; 15..19 gone
    const std::vector<std::int32_t> rest = numbered(10, 20);
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(contents(h.held), expected);
    EXPECT_EQ(sizeof(run_mark), 8u);
}

struct session_fixture : ::testing::Test {
    bus_owner owner;
    scpi_session session;
    delivery_ticket taken{owner.new_ticket()};
    void SetUp() override
    {
        sim::set_reporting(false);
        sim::power_on();
        setup_io();
    }
    std::string say(const std::string &message)
    {
        std::string reply;
        execute_message(session, owner, taken, message, reply);
        return reply;
    }
};

TEST_F(session_fixture, a_header_continues_the_path_of_the_command_before_it)
{
    EXPECT_EQ(say("SENS:THR 100;PER 5;:SENS:POL 1;THR?"), "100\n");
    EXPECT_EQ(say("PER?;:PER?"), "5;5\n") << "a leading ':' starts again from the root";
    EXPECT_EQ(say("FORM:BORD SWAP;DATA INT;:FORM?"), "INT,32\n");
    const std::string answers = say("SYST:ERR:COUN?;*IDN?;NEXT?");
    EXPECT_EQ(answers.substr(0, 2), "0;");
    EXPECT_EQ(answers.substr(answers.size() - 14), ";0,\"No error\"\n") << "a common command keeps the path: "
                                                                           << answers;
    EXPECT_EQ(say("FORM INT;BORD NORM;:SYST:ERR?").substr(0, 5), "-113,");
}

TEST_F(session_fixture, the_queue_holds_sixteen_errors_then_says_it_overflowed)
{
    for (int i = 0; i < 16; ++i)
        say("FROB");
    EXPECT_EQ(session.errors.size(), 16u);
    EXPECT_EQ(session.errors.back().code, -113);
    say("FROB");
    EXPECT_EQ(session.errors.size(), 16u);
    EXPECT_EQ(session.errors.back().code, -350);
}

TEST_F(session_fixture, status_byte_event_status_and_service_request)
{
    EXPECT_EQ(say("*STB?"), "0\n");
    say("FROB");                                 // a command error: ESR bit 5, STB bit 2
    EXPECT_EQ(say("*STB?"), "4\n");
    say("*ESE 32;*SRE 32");
    EXPECT_EQ(status_byte(session), 4 | 32 | 64) << "ESB enabled into the service request";
    EXPECT_EQ(say("*ESR?"), "32\n");
    EXPECT_EQ(say("*ESR?"), "0\n") << "reading clears it";
    say("*CLS");
    EXPECT_EQ(say("*STB?"), "0\n");
    say("THR 5000;*OPC"); // an execution error, and operation complete
    EXPECT_EQ(say("*ESR?"), "17\n");
}

bool admits(const std::string &blocks, const char *peer)
{
    std::vector<cidr_block> list;
    std::string error;
    EXPECT_TRUE(parse_cidr_list(blocks, list, error)) << error;
    sockaddr_storage a{};
    if (std::strchr(peer, ':') != nullptr) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a);
        v6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, peer, &v6->sin6_addr);
    } else {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&a);
        v4->sin_family = AF_INET;
        inet_pton(AF_INET, peer, &v4->sin_addr);
    }
    return allowed(a, list);
}

// The journal forgets the oldest words and keeps their indices, the times
// of their read-outs, and says what a read from a lost index missed.
TEST(count_journal, the_latest_words_keep_their_indices_times_and_what_a_late_reader_missed)
{
    count_journal j(4, "life");
    const std::int32_t first[] = {10, 11, 12}, second[] = {13, 14, 15};
    j.add(first, 3, 1000);
    EXPECT_EQ(j.oldest(), 0u);
    j.add(second, 3, 2000);
    EXPECT_EQ(j.next(), 6u);
    EXPECT_EQ(j.oldest(), 2u);
    for (std::uint64_t i = j.oldest(); i < j.next(); ++i) {
        EXPECT_EQ(j.at(i), static_cast<std::int32_t>(10 + i));
        EXPECT_EQ(j.read_at(i), i < 3 ? 1000 : 2000);
    }
    EXPECT_EQ(j.first_read_since(1500), 3u);
    EXPECT_EQ(j.first_read_since(2001), 6u) << "none read since";

    const count_journal::span late = j.read(0, 100);
    EXPECT_EQ(late.first, 2u);
    EXPECT_EQ(late.missed, 2u) << "the place is kept: two words had left";
    EXPECT_EQ(late.count, 4u);
    const count_journal::span some = j.read(3, 2);
    EXPECT_EQ(some.first, 3u);
    EXPECT_EQ(some.missed, 0u);
    EXPECT_EQ(some.count, 2u);
    EXPECT_EQ(j.read(6, 10).count, 0u) << "nothing past the next index";

    const std::int32_t many[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    j.add(many, 9, 3000); // more than it holds at once
    EXPECT_EQ(j.next(), 15u);
    EXPECT_EQ(j.at(14), 9);
    EXPECT_EQ(j.read_at(11), 3000);
    EXPECT_NE(count_journal::new_identity(), count_journal::new_identity()) << "each life its own";
}

TEST(cidr, blocks_match_by_prefix_for_ipv4_ipv6_and_mapped_peers)
{
    EXPECT_TRUE(admits("192.168.4.0/22", "192.168.7.255"));
    EXPECT_FALSE(admits("192.168.4.0/22", "192.168.8.0"));
    EXPECT_TRUE(admits("10.0.0.0/8,172.16.0.0/12", "172.31.1.1"));
    EXPECT_FALSE(admits("172.16.0.0/12", "172.32.0.1"));
    EXPECT_TRUE(admits("fd00::/8", "fd12:3456::1"));
    EXPECT_FALSE(admits("fd00::/8", "fe80::1"));
    EXPECT_TRUE(admits("fe80::/10", "febf::1"));
    EXPECT_TRUE(admits("192.168.1.0/24", "::ffff:192.168.1.20")) << "an IPv4 peer on an IPv6 socket";
    EXPECT_FALSE(admits("192.168.1.0/24", "::ffff:192.168.2.20"));
    EXPECT_TRUE(admits("0.0.0.0/0", "8.8.8.8"));
    std::vector<cidr_block> list;
    std::string error;
    EXPECT_FALSE(parse_cidr_list("10.0.0.0/33", list, error));
    EXPECT_FALSE(parse_cidr_list("fd00::/129", list, error));
}

} // namespace
