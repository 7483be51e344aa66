// SCPI over a raw TCP socket (port 5025): one message per line, as PyVISA,
// PyMeasure and every lab framework speak to counters and scopes.
//
// A response's words are the client's only once it has shown it has the
// response: it sends its next message when everything sent to it has been
// acknowledged by its TCP (nothing left queued here, SIOCOUTQ 0), or it
// closes cleanly after that. A reset, an error, an idle time-out, or a
// close with bytes unacknowledged puts the words back in their place.
//
// No client can take another's turn: output is bounded (past the bound its
// input waits), a connection that completes no message within the idle
// time-out is closed, one past --max-clients is told why in one SCPI error
// line and closed, and running out of descriptors pauses accepting instead
// of spinning.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus_owner.h"
#include "event_loop.h"
#include "net_address.h"

using raw_socket_options = client_admission;

struct raw_connection;

class raw_socket_server {
public:
    raw_socket_server(event_loop &loop, bus_owner &owner, raw_socket_options options,
                      std::function<void(const std::string &)> log);
    ~raw_socket_server();

    // Listens on `a`; false, with the reason. `bound` says where (port 0
    // becomes the port the kernel chose).
    bool listen_on(const listen_address &a, std::string &bound, std::string &error);
    void stop_listening();
    // No more messages are read (the server is ending); responses under
    // way are still sent.
    void stop_reading() { reading_ = false; }
    // Responses queued and not yet handed to the kernel.
    bool busy() const;
    // Closes every connection: words whose delivery is shown are the
    // client's, the others go back to the hold.
    void close_all(const std::string &why);
    // "peer (SCPI socket)" for each connection, for the web page.
    std::vector<std::string> describe_connections() const;
    // The addresses listened on, as bound.
    std::vector<sockaddr_storage> addresses() const;

private:
    event_loop &loop_;
    bus_owner &owner_;
    raw_socket_options options_;
    std::function<void(const std::string &)> log_;
    std::vector<int> listeners_;
    std::vector<std::unique_ptr<raw_connection>> connections_;
    bool accept_paused_ = false;
    event_loop::timer_id accept_retry_ = 0;
    bool reading_ = true;
    bus_owner::waiting_id lock_waiting_;

    void accept_from(int listener);
    void refuse(int fd, const std::string &peer, const std::string &why, bool tell);
    void pause_accepting(bool paused);
    void serve(raw_connection &c, short revents);
    bool receive(raw_connection &c);
    bool transmit(raw_connection &c);
    void update_events(raw_connection &c);
    void close_connection(raw_connection &c, const std::string &why, bool delivered);
    void watch_idle(raw_connection &c, event_loop::clock::time_point due);
    void watch_closing(raw_connection &c);
    void resume_waiting();
};
