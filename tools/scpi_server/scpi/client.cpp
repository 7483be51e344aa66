#include "scpi/client.h"

#include "scpi/executor.h"

#include <algorithm>

scpi_client::scpi_client(bus_owner &owner) : owner_(owner), id_(owner.new_client()), taken_(owner.new_ticket()) {}

scpi_client::~scpi_client() { taken_.fail(); }

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

void scpi_client::run_messages()
{
    while (find_whole_message()) {
        if (owes_words() && shows_delivery && shows_delivery())
            taken_.ack();
        waiting_ = !owner_.may_run(id_);
        if (waiting_)
            return; // resumed when the lock is given back
        std::string message = in_.substr(0, whole_);
        in_.erase(0, ends_at_end_ ? in_.size() : whole_ + 1);
        whole_ = std::string::npos;
        ends_at_end_ = false;
        scanned_ = 0;
        scanner_ = message_scanner{};
        if (dropping_) { // the end of a message too long to take
            dropping_ = false;
            continue;
        }
        if (message.size() > longest_message) {
            push_error(session, scpi_err::too_much_data,
                       "a message longer than " + std::to_string(longest_message) + " bytes");
            continue;
        }
        if (!message.empty() && message.back() == '\r')
            message.pop_back(); // CR LF ends a message as LF does
        execute_message(session, owner_, taken_, message, output_.bytes);
    }
    waiting_ = false;
}
