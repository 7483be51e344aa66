#include "scpi/data_commands.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

namespace {

constexpr long long most_recent = 4095;

// The words as the session's format has them, after what `out` holds:
// comma-separated decimals, or an IEEE 488.2 definite-length block of
// 32-bit words. `each(emit)` calls emit(word) for each of the `n`, in order.
template <typename Each> void append_words(std::string &out, const scpi_session &s, std::size_t n, Each each)
{
    if (!s.integer_format) {
        out.reserve(out.size() + n * 8);
        char number[16];
        bool first = true;
        each([&](std::int32_t w) {
            if (!first)
                out += ',';
            first = false;
            out.append(number, static_cast<std::size_t>(std::snprintf(number, sizeof number, "%d", w)));
        });
        return;
    }
    const std::string length = std::to_string(n * 4);
    out += "#" + std::to_string(length.size()) + length;
    const std::size_t head = out.size();
    out.resize(head + n * 4); // written in place: no append a word
    char *at = &out[head];
    const int shift[4] = {s.swapped ? 0 : 24, s.swapped ? 8 : 16, s.swapped ? 16 : 8, s.swapped ? 24 : 0};
    each([&](std::int32_t w) {
        const auto u = static_cast<std::uint32_t>(w);
        at[0] = static_cast<char>(u >> shift[0]);
        at[1] = static_cast<char>(u >> shift[1]);
        at[2] = static_cast<char>(u >> shift[2]);
        at[3] = static_cast<char>(u >> shift[3]);
        at += 4;
    });
}

bool answer(scpi_call &c, std::string text)
{
    c.answer = std::move(text);
    return true;
}

// A parameter that may be any index: 0 to 2^63 - 1.
bool index_param(scpi_call &c, std::size_t i, long long &value)
{
    return c.number(i, 0, LLONG_MAX, false, value);
}

} // namespace

bool data_remove(scpi_call &c)
{
    long long wanted = LLONG_MAX;
    if (!c.command.params.empty() && !c.number(0, 0, INT_MAX, true, wanted))
        return false;
    scpi_session &s = c.session;
    if (c.owner.loss() > s.loss_told)
        push_error(s, scpi_err::input_buffer_overrun,
                   std::to_string(c.owner.words_lost()) + " words lost for a full hold and " +
                       std::to_string(c.owner.gaps()) + " gaps the instrument marked; DATA:LOST? reads them");
    const std::size_t in_flight = c.taken.words();
    const std::size_t may = in_flight < s.most_in_flight ? s.most_in_flight - in_flight : 0;
    const std::size_t most = std::min<std::size_t>({static_cast<std::size_t>(wanted), most_response_words, may});
    const word_runs taken = c.owner.take(most, c.taken);
    append_words(c.answer, s, taken.size(), [&taken](auto emit) {
        for (const std::int32_t w : taken.words)
            emit(w);
    });
    return true;
}

bool data_lost(scpi_call &c)
{
    c.session.loss_told = c.owner.loss();
    return answer(c, std::to_string(c.owner.words_lost()) + "," + std::to_string(c.owner.gaps()));
}

bool data_journal(scpi_call &c)
{
    const count_journal &j = c.owner.journal();
    return answer(c, "\"" + j.identity() + "\"," + std::to_string(j.oldest()) + "," + std::to_string(j.next()));
}

// Words from an index, whole as read: where the answer starts, how many
// had left the journal before it, and the words. With a wait, a read of
// words not yet read waits for them, up to its time.
bool data_read(scpi_call &c)
{
    const std::vector<scpi_param> &p = c.command.params;
    long long from = 0, most = static_cast<long long>(most_response_words), wait_ms = 0;
    if (!index_param(c, 0, from) ||
        (p.size() > 1 && !c.number(1, 0, static_cast<long long>(most_response_words), true, most)) ||
        (p.size() > 2 && !c.number(2, 0, longest_read_wait_ms, true, wait_ms)))
        return false;
    const count_journal &j = c.owner.journal();
    const auto start = static_cast<std::uint64_t>(from);
    // What the instrument holds is read out first, as DATA:REM? does, when
    // the journal has fewer than were asked for: a reader at the head gets
    // the words of now, not of the last drain.
    if (start <= j.next() && j.next() - start < static_cast<std::uint64_t>(most))
        c.owner.read_out();
    if (start > j.next())
        return c.refuse(scpi_err::data_out_of_range, "the journal's next index is " + std::to_string(j.next()) +
                                                         " (" + j.identity() + ")");
    if (start == j.next() && wait_ms > 0 && c.may_wait) {
        const auto until = c.waited_until.value_or(std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms));
        if (std::chrono::steady_clock::now() < until) {
            c.pause = scpi_pause{start, until};
            return true;
        }
    }
    const count_journal::span s = j.read(start, static_cast<std::uint64_t>(most));
    if (s.count > 0 && s.first + s.count == j.next())
        c.owner.caught_up(); // the instrument is read again while the words travel
    c.answer = std::to_string(s.first) + "," + std::to_string(s.missed);
    if (s.count == 0 && !c.session.integer_format)
        return true;
    c.answer += ',';
    append_words(c.answer, c.session, static_cast<std::size_t>(s.count), [&j, &s](auto emit) {
        j.each_run(s.first, s.count, [&emit](const std::int32_t *words, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i)
                emit(words[i]);
        });
    });
    return true;
}

bool data_recent(scpi_call &c)
{
    long long wanted = 100;
    if (!c.command.params.empty() && !c.number(0, 1, most_recent, true, wanted))
        return false;
    const count_journal &j = c.owner.journal();
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(wanted), j.next() - j.oldest());
    const std::uint64_t from = j.next() - n;
    append_words(c.answer, c.session, static_cast<std::size_t>(n), [&c, from, n](auto emit) {
        for (std::uint64_t i = from; i < from + n; ++i)
            emit(c.owner.count_at(i));
    });
    return true;
}

// The counts read within the last second, added up: the instrument's event rate.
bool data_rate(scpi_call &c) { return answer(c, std::to_string(c.owner.rates().counts_per_s)); }

// The words read within the last second.
bool data_word_rate(scpi_call &c) { return answer(c, std::to_string(c.owner.rates().words_per_s)); }

// The latest counts, in BINS bins of one width from the least to the most:
// "least,width,n1,...,nBINS".
bool data_histogram(scpi_call &c)
{
    long long bins = 64;
    if (!c.command.params.empty() && !c.number(0, 1, 1024, true, bins))
        return false;
    const count_journal &j = c.owner.journal();
    const std::uint64_t from = c.owner.first_viewed();
    std::int64_t least = 0, most = 0;
    for (std::uint64_t i = from; i < j.next(); ++i) {
        const std::int64_t v = c.owner.count_at(i);
        least = i == from ? v : std::min(least, v);
        most = i == from ? v : std::max(most, v);
    }
    const std::int64_t width = std::max<std::int64_t>(1, (most - least) / bins + 1);
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(bins));
    for (std::uint64_t i = from; i < j.next(); ++i)
        ++counts[static_cast<std::size_t>((c.owner.count_at(i) - least) / width)];
    std::string text = std::to_string(least) + "," + std::to_string(width);
    for (std::uint64_t n : counts)
        text += "," + std::to_string(n);
    return answer(c, text);
}
