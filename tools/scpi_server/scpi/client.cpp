#include "scpi/client.h"

#include "scpi/executor.h"

#include <algorithm>

scpi_client::scpi_client(bus_owner &owner, event_loop *loop)
    : owner_(owner), loop_(loop), id_(owner.new_client()), taken_(owner.new_ticket())
{
}

scpi_client::~scpi_client()
{
    stop_waiting_for_words();
    taken_.fail();
}

void scpi_client::feed(const char *bytes, std::size_t size, bool at_end)
{
    in_.append(bytes, size);
    at_end_ = at_end_ || at_end;
    run_messages();
}

delivery_ticket::returned scpi_client::settle(bool delivered)
{
    if (!delivered)
        return taken_.fail();
    taken_.ack();
    return {};
}

void scpi_client::clear()
{
    in_.clear();
    scanned_ = 0;
    whole_ = std::string::npos;
    scanner_ = message_scanner{};
    at_end_ = dropping_ = waiting_ = ends_at_end_ = false;
    paused_.reset();
    stop_waiting_for_words();
    output_.clear();
    taken_.fail();
}

// Finds where the first message ends, once. False when none is whole yet.
bool scpi_client::find_whole_message()
{
    if (whole_ != std::string::npos)
        return true;
    const std::size_t end = find_message_end(in_, scanned_, scanner_);
    if (end != std::string::npos) {
        whole_ = end;
        ++messages_;
        return true;
    }
    scanned_ = in_.size();
    if (in_.size() > longest_message && !dropping_) {
        push_error(session, scpi_err::too_much_data,
                   "a message longer than " + std::to_string(longest_message) + " bytes");
        dropping_ = true;
    }
    if (dropping_) { // its end is still looked for, by the scanner's state
        in_.clear();
        scanned_ = 0;
    }
    if (!at_end_)
        return false;
    at_end_ = false;
    if (in_.empty()) { // the transport's end ends a message dropped, or none
        dropping_ = false;
        scanner_ = message_scanner{};
        return false;
    }
    whole_ = in_.size();
    ends_at_end_ = true;
    ++messages_;
    return true;
}

std::string scpi_client::peek_message() const
{
    std::string message = in_.substr(0, whole_);
    if (!message.empty() && message.back() == '\r')
        message.pop_back();
    return message;
}

bool scpi_client::take_message(std::string &message)
{
    message = in_.substr(0, whole_);
    in_.erase(0, ends_at_end_ ? in_.size() : whole_ + 1);
    whole_ = std::string::npos;
    ends_at_end_ = false;
    scanned_ = 0;
    scanner_ = message_scanner{};
    if (dropping_) { // the end of a message too long to take
        dropping_ = false;
        return false;
    }
    if (message.size() > longest_message) {
        push_error(session, scpi_err::too_much_data, "a message longer than " + std::to_string(longest_message) + " bytes");
        return false;
    }
    if (!message.empty() && message.back() == '\r')
        message.pop_back(); // CR LF ends a message as LF does
    return true;
}

void scpi_client::refuse_for_the_lock(const std::string &message)
{
    push_error(session, scpi_err::execution_error,
               "another client holds the instrument's lock, and this one does not wait for it (SYST:LOCK:WAIT OFF)");
    for (const scpi_parsed &p : parse_message(message))
        if (p.query) { // what asked is answered, with nothing
            output_.bytes += '\n';
            return;
        }
}

void scpi_client::stop_waiting_for_words()
{
    if (arrival_ != 0)
        owner_.forget_waiting(arrival_);
    arrival_ = 0;
    if (loop_ != nullptr) {
        loop_->cancel(deadline_);
        loop_->cancel(wake_);
    }
    deadline_ = wake_ = 0;
}

// From the loop: what waited runs on, and the transport is told. Nothing
// here is touched after that: the transport may end the client.
void scpi_client::wake()
{
    run_messages();
    const std::function<void()> tell = woken;
    if (tell)
        tell();
}

bool scpi_client::go_on(message_run &&run)
{
    if (!run_message({session, owner_, taken_, loop_ != nullptr}, run)) {
        // Words that come are seen at the loop's next turn: a read-out is under way.
        if (arrival_ == 0)
            arrival_ = owner_.when_words_arrive([this] {
                if (wake_ == 0)
                    wake_ = loop_->after(std::chrono::milliseconds(0), [this] {
                        wake_ = 0;
                        wake();
                    });
            });
        loop_->cancel(deadline_);
        deadline_ = loop_->at(run.pause->until, [this] {
            deadline_ = 0;
            if (paused_ && paused_->pause) // its time is up, by the loop's clock
                paused_->pause->until = std::chrono::steady_clock::time_point::min();
            wake();
        });
        paused_ = std::move(run);
        return false;
    }
    stop_waiting_for_words();
    if (output_.bytes.empty())
        output_.bytes.swap(run.reply); // the usual case, a block of words among them: no copy
    else
        output_.bytes += run.reply;
    return true;
}

void scpi_client::run_messages()
{
    if (paused_) {
        waiting_ = !owner_.may_run(id_);
        if (waiting_)
            return; // resumed when the lock is given back
        message_run run = std::move(*paused_);
        paused_.reset();
        if (!go_on(std::move(run)))
            return;
    }
    while (find_whole_message()) {
        if (owes_words() && shows_delivery && shows_delivery())
            taken_.ack();
        // While another holds the lock, only what touches the session alone runs.
        std::vector<scpi_parsed> commands;
        const bool free = owner_.may_run(id_);
        if (!free)
            commands = parse_message(peek_message());
        const bool through = !free && runs_through_the_lock(commands, session.lock_wait);
        waiting_ = !free && session.lock_wait && !through;
        if (waiting_)
            return; // resumed when the lock is given back
        std::string message;
        if (!take_message(message))
            continue;
        if (!free && !through) {
            refuse_for_the_lock(message);
            continue;
        }
        message_run run;
        run.commands = free ? parse_message(message) : std::move(commands);
        if (!go_on(std::move(run)))
            return;
    }
    waiting_ = false;
}
