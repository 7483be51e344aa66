// One SCPI client of the instrument, whichever transport carries it: the
// framing of its messages, its session, the words its responses took, and
// the responses it has not yet been given. A transport only moves bytes:
// it feeds what came, sends or hands out what output() holds, and settles
// the words once it knows whether the client has its responses.
//
// Framing, the same on every transport: a message ends at a newline that
// is not inside a string or a block, or at the transport's own end of a
// message (VXI-11's END, a socket's close); a CR before the newline is
// dropped; the messages of one piece of input run one by one, in order.
// A message longer than longest_message is refused with -223, and the rest
// of it, however long, dropped.
//
// While another client holds the instrument's lock, a whole message waits
// here, with what came after it, and the client is told to go on when the
// lock is given back (or, with SYSTem:LOCK:WAIT OFF, the message is refused
// at once: -200, and an empty line when it asked anything). A message whose
// query waits for words not yet read (DATA:READ? with a wait) waits here
// too, and the client wakes itself, when they come or its time is up, on
// the loop it was given: it runs the message on, then tells its transport
// (woken) that output may wait to be sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <optional>

#include "core/bus_owner.h"
#include "core/byte_queue.h"
#include "core/delivery.h"
#include "core/event_loop.h"
#include "scpi/executor.h"
#include "scpi/parser.h"
#include "scpi/session.h"

class scpi_client {
public:
    static constexpr std::size_t longest_message = 64 * 1024;

    // Without a loop, no message waits for words: their queries answer at once.
    explicit scpi_client(bus_owner &owner, event_loop *loop = nullptr);
    ~scpi_client(); // the words of responses never settled go back to the hold
    scpi_client(const scpi_client &) = delete;
    scpi_client &operator=(const scpi_client &) = delete;

    // Bytes from the client, then the messages that are whole run (unless
    // the lock is another's). `at_end`: what came so far ends a message.
    void feed(const char *bytes, std::size_t size, bool at_end);
    // Runs what waited, if it may go on now (the lock is free for it).
    void resume() { run_messages(); }
    // Called from the loop once the client woke itself and ran what waited:
    // its transport sends what is in output(). It may end the client.
    std::function<void()> woken;

    // Responses not yet handed to the client: the transport takes them
    // from the front as it sends or as the client reads them.
    byte_queue &output() { return output_; }
    const byte_queue &output() const { return output_; }

    // The words of every response so far: the client has them (delivered),
    // or may not (back to the hold, in their place).
    delivery_ticket::returned settle(bool delivered);
    // Asked when a message is whole: true when the client has shown it has
    // every response before it (each transport knows how); its words are
    // then settled as delivered before the message runs.
    std::function<bool()> shows_delivery;
    // Words wait on a settling: asking whether they were delivered costs
    // a transport a system call, worth it only then.
    bool owes_words() const { return !taken_.empty(); }

    // A whole message waits: for the instrument's lock, or for words.
    bool waiting() const { return waiting_ || paused_.has_value(); }
    // Messages whole so far: a transport's idle time-out counts these.
    std::uint64_t messages() const { return messages_; }
    // Its name for the instrument's lock.
    long id() const { return id_; }
    // Empties the input, the output, and the words of responses unread
    // (back to the hold); the error queue stays (VXI-11's device_clear).
    void clear();

    scpi_session session;

private:
    bus_owner &owner_;
    event_loop *loop_;
    long id_;
    delivery_ticket taken_;
    std::string in_;
    std::size_t scanned_ = 0;      // of in_, scanned for the message's end
    std::size_t whole_ = std::string::npos; // where the first whole message ends, once found
    message_scanner scanner_;
    bool at_end_ = false;          // the transport ended a message at the end of in_
    bool dropping_ = false;        // inside a message longer than longest_message
    bool ends_at_end_ = false;     // the message found is ended by the transport, with no newline
    bool waiting_ = false;
    std::uint64_t messages_ = 0;
    byte_queue output_;
    std::optional<message_run> paused_; // a message that waits for words
    bus_owner::waiting_id arrival_ = 0;
    event_loop::timer_id deadline_ = 0, wake_ = 0;

    void run_messages();
    bool find_whole_message();
    // Takes the first whole message from the input; false for none, or one to drop.
    bool take_message(std::string &message);
    std::string peek_message() const; // the first whole message, left in the input
    // Runs `run` on; false while it waits for words (it is kept, and the client wakes for it).
    bool go_on(message_run &&run);
    void refuse_for_the_lock(const std::string &message);
    void stop_waiting_for_words();
    void wake();
};
