#include "server_recording.h"

#include <time.h>

#include <algorithm>
#include <chrono>

#include "countctl_common.h"
#include "stop_signals.h"

namespace {

// How long a server may take to answer beyond a read's own wait before the
// connection counts as lost, and how long the run's stop is tried.
constexpr auto answer_time = std::chrono::seconds(5);
constexpr auto stop_time = std::chrono::seconds(10);
// Words asked for at a time: 256 KiB an answer.
constexpr std::uint64_t words_a_read = 65536;
// A read at the journal's head waits this long for words to come.
constexpr int head_wait_ms = 200;

// Between tries to reach a server that is not there; a stop signal ends it.
void pause_before_trying_again()
{
    timespec quarter{0, 250'000'000};
    nanosleep(&quarter, nullptr);
}

std::string shortened(const std::string &text)
{
    return text.size() <= 60 ? text : text.substr(0, 60) + "...";
}

} // namespace

server_recording::server_recording(const server_address &where)
    : where_(where), link_(where.host, where.port, "FORMat INTeger,32")
{
}

bool server_recording::ask_server(const std::string &message, std::vector<std::string> &fields, std::string &why, int wait_ms)
{
    std::string answer;
    const auto deadline = link_clock::now() + answer_time + std::chrono::milliseconds(wait_ms);
    if (!link_.connect(deadline, why) || !link_.ask(message, answer, deadline, why))
        return false;
    fields = answer_fields(answer);
    return true;
}

// The settings asked for, each with its read-back where there is one. False
// with the server's refusal, or with no refusal when the connection failed.
bool server_recording::send_settings(acquisition_state &s, std::string &refusal)
{
    const settings_request &asked = s.request.settings;
    std::string message;
    if (asked.period_given)
        message += "PERiod " + std::to_string(asked.period) + ";";
    if (asked.polarity_given)
        message += "POLarity " + std::to_string(asked.polarity) + ";";
    if (asked.threshold_given)
        message += "THReshold " + std::to_string(asked.threshold) + ";THReshold?;";
    std::vector<std::string> fields;
    std::string why;
    scpi_error_answer error;
    if (!ask_server(message + ":SYSTem:ERRor?", fields, why))
        return false;
    if (fields.size() != (asked.threshold_given ? 2u : 1u) || !parse_error(fields.back(), error)) {
        refusal = "the settings were answered with '" + shortened(fields.empty() ? "" : fields[0]) + "'";
        return false;
    }
    if (error.code != 0) {
        refusal = "the server refused the settings: " + std::to_string(error.code) + ", " + error.text;
        return false;
    }
    if (asked.threshold_given)
        s.threshold_back = std::strtoll(fields[0].c_str(), nullptr, 10);
    return true;
}

int server_recording::start_recording(acquisition_state &s)
{
    std::string why, refusal;
    std::vector<std::string> fields;
    journal_state journal;
    scpi_error_answer error;
    const settings_request &asked = s.request.settings;
    if (!ask_server("*IDN?", fields, why) || fields.size() != 1) {
        std::fprintf(s.err, "%s: cannot reach the server at %s: %s\n", countctl_name, where_.where().c_str(),
                     why.empty() ? "no answer to *IDN?" : why.c_str());
        return exit_instrument;
    }
    const std::string identified = fields[0];
    if (!send_settings(s, refusal)) {
        if (refusal.empty())
            refusal = "the connection to " + where_.where() + " failed";
        std::fprintf(s.err, "%s: %s; no run was started\n", countctl_name, refusal.c_str());
        return exit_instrument;
    }
    if (asked.threshold_given && s.threshold_back != asked.threshold) {
        std::fprintf(s.err, "%s: the instrument read back threshold %lld, not %d; no run was started\n",
                     countctl_name, s.threshold_back, asked.threshold);
        return exit_instrument;
    }
    // One message: no word enters the journal between its state and the start.
    if (!ask_server("DATA:JOURnal?;:INITiate;:SYSTem:ERRor?", fields, why) || fields.size() != 2 ||
        !parse_journal(fields[0], journal) || !parse_error(fields[1], error)) {
        std::fprintf(s.err, "%s: the server at %s did not start the run: %s\n", countctl_name, where_.where().c_str(),
                     why.empty() ? "an answer that was not the journal's" : why.c_str());
        return exit_instrument;
    }
    if (error.code != 0) {
        std::fprintf(s.err, "%s: the server at %s started no run: %d, %s (acquire --server starts and stops a run"
                            " of its own)\n",
                     countctl_name, where_.where().c_str(), error.code, error.text.c_str());
        return exit_instrument;
    }
    identity_ = journal.identity;
    next_ = journal.next;
    checked_ = link_.connections();
    s.source_notes.push_back("platform: the server's, " + identified);
    s.source_notes.push_back("server: " + where_.where() + ", journal " + identity_ + " from index " +
                             std::to_string(next_) + " (read by index: a word the journal no longer held, a lost"
                             " connection and a restart of the server are said here)");
    return exit_ok;
}

void server_recording::lose_connection(acquisition_state &s, const std::string &why)
{
    link_.close_connection();
    if (stop_signal() != 0)
        return; // a stop signal broke the wait: no connection was lost
    if (!lost_) {
        lost_ = true;
        lost_why_ = why;
        std::fprintf(s.err, "%s: the connection to %s was lost (%s): connecting again\n", countctl_name,
                     where_.where().c_str(), why.c_str());
    }
    pause_before_trying_again();
}

// A new connection is asked which journal it speaks for before any read.
// True when the reading may go on; false when the connection failed.
bool server_recording::on_our_journal(acquisition_state &s, bool may_restart_run)
{
    if (link_.connected() && checked_ == link_.connections())
        return true;
    std::vector<std::string> fields;
    std::string why;
    journal_state journal;
    if (!ask_server("DATA:JOURnal?;:STATus:OPERation:CONDition?", fields, why)) {
        lose_connection(s, why);
        return false;
    }
    if (fields.size() != 2 || !parse_journal(fields[0], journal)) {
        lose_connection(s, "an answer that was not the journal's: '" + shortened(fields.empty() ? "" : fields[0]) + "'");
        return false;
    }
    const std::string at = std::to_string(s.words_read - s.out.index_base);
    if (journal.identity == identity_) {
        if (lost_)
            put_comment(s.out, "connection to " + where_.where() + " lost after word " + at + " of this file (" +
                                   lost_why_ + ") and made again: read on from journal index " + std::to_string(next_));
    } else {
        // The old server stopped the run as it ended: started again here.
        // Until that is done the new journal is not taken for this one, so a
        // connection lost meanwhile comes back to the same step.
        const bool run_stopped = may_restart_run && fields[1] == "0";
        std::string refusal;
        if (run_stopped && (!send_settings(s, refusal) || !ask_server("INITiate;:SYSTem:ERRor?", fields, why))) {
            lose_connection(s, refusal.empty() ? why : refusal);
            return false;
        }
        put_comment(s.out, "server restarted after word " + at + " of this file: journal " + identity_ +
                               ", read to index " + std::to_string(next_) + ", is now journal " + journal.identity +
                               "; the words the old server read past that index were lost, how many is not known");
        if (run_stopped)
            put_comment(s.out, "the run was started again, with the settings sent again");
        identity_ = journal.identity;
        next_ = 0; // the new journal from its oldest: a read says what left it already
    }
    checked_ = link_.connections();
    if (lost_)
        std::fprintf(s.err, "%s: connected to %s again\n", countctl_name, where_.where().c_str());
    lost_ = false;
    return true;
}

server_recording::read_result server_recording::read_by_index(acquisition_state &s, const recording_steps &steps,
                                                          std::uint64_t most, int wait_ms)
{
    if (!on_our_journal(s, true))
        return read_result::nothing;
    std::vector<std::string> fields;
    std::string why;
    journal_words read;
    if (!ask_server("DATA:READ? " + std::to_string(next_) + "," + std::to_string(most) + "," + std::to_string(wait_ms), fields,
             why, wait_ms)) {
        lose_connection(s, why);
        return read_result::nothing;
    }
    if (fields.size() != 1 || !parse_journal_read(fields[0], read, static_cast<std::size_t>(most))) {
        lose_connection(s, "an answer that was not the words asked for: '" + shortened(fields.empty() ? "" : fields[0]) +
                               "'");
        return read_result::nothing;
    }
    if (read.missed > 0)
        put_comment(s.out, "missed: " + std::to_string(read.missed) + " words after word " +
                               std::to_string(s.words_read - s.out.index_base) + " of this file, journal indices " +
                               std::to_string(read.first - read.missed) + " to " + std::to_string(read.first - 1) +
                               ": they had left the server's journal before they were read");
    next_ = read.first + read.words.size();
    if (read.words.empty())
        return read_result::nothing;
    return steps.keep(read.words.data(), static_cast<int>(read.words.size())) ? read_result::words
                                                                             : read_result::output_failed;
}

// ABORt, tried until it is answered or the stop's time is over; `last` is
// then the journal's next index, past the words measured before the stop.
bool server_recording::stop_servers_run(acquisition_state &s, std::uint64_t &last)
{
    const auto until = link_clock::now() + stop_time;
    const int given_up_at = std::max(stop_signals_received(), 1) + 1; // a second stop signal gives the stop up
    while (link_clock::now() < until) {
        poll_stop_signals();
        if (stop_signals_received() >= given_up_at)
            break;
        if (!on_our_journal(s, false))
            continue;
        std::vector<std::string> fields;
        std::string why;
        journal_state journal;
        if (ask_server("ABORt;:DATA:JOURnal?", fields, why) && fields.size() == 1 && parse_journal(fields[0], journal) &&
            journal.identity == identity_) {
            last = journal.next;
            return true;
        }
        lose_connection(s, why.empty() ? "an answer that was not the journal's" : why);
    }
    return false;
}

ending server_recording::record_by_index(acquisition_state &s, const recording_steps &steps)
{
    const auto target = static_cast<std::uint64_t>(std::max<long long>(s.request.target_words, 0));
    ending e = ending::complete;
    while (e == ending::complete) {
        if (target > 0 && s.words_read >= target)
            e = ending::target_reached;
        else if (s.deadline && acquisition_clock::now() >= *s.deadline)
            e = ending::time_limit;
        else if (poll_stop_signals() != 0)
            e = ending::signal;
        else if (!steps.each_turn())
            e = ending::output_failed;
        else {
            int wait_ms = head_wait_ms;
            if (s.deadline)
                wait_ms = static_cast<int>(std::clamp<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(*s.deadline - acquisition_clock::now()).count(), 0,
                    head_wait_ms));
            const std::uint64_t most = target > 0 ? std::min(words_a_read, target - s.words_read) : words_a_read;
            if (read_by_index(s, steps, most, wait_ms) == read_result::output_failed)
                e = ending::output_failed;
        }
    }
    steps.show(); // the progress line as the run ends
    std::uint64_t last = 0;
    if (!stop_servers_run(s, last))
        return e == ending::output_failed ? e : ending::server_lost;
    // Words measured before the time ran out count too (of this journal:
    // a server that started again meanwhile has none of them).
    const std::string journal = identity_;
    const auto until = link_clock::now() + stop_time;
    while (e == ending::time_limit && next_ < last && identity_ == journal && link_clock::now() < until &&
           poll_stop_signals() == 0)
        if (read_by_index(s, steps, std::min(words_a_read, last - next_), 0) == read_result::output_failed)
            return ending::output_failed;
    return e;
}
