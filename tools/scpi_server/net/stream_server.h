// One connection layer under every stream transport (the SCPI socket,
// VXI-11's two channels): listeners, the accept pause when descriptors run
// out, admission (--allow, most connections), the send bound, idle
// time-outs counted in whole messages, acknowledgement polling, and
// close-and-settle. A transport gives each connection a protocol, which
// frames bytes and nothing else: it is fed what came, and holds what waits
// to go.
//
// A connection's peer has what was sent once nothing waits here and its
// TCP acknowledged every byte (SIOCOUTQ 0): the kernel is asked only when
// that matters. A peer that shuts its side is closed once its TCP has
// acknowledged everything (its words are then its own), or after a grace
// time (they are not).
//
// Connections are named by a number that is never reused, so a timer or a
// transport that holds one can never reach another connection. A close
// asked for while the server is inside one of its own calls (a protocol's
// received() asking to close its own connection, say) happens when that
// call returns: no protocol is ever destroyed under itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_queue.h"
#include "core/event_loop.h"
#include "net/net_address.h"

class stream_protocol {
public:
    virtual ~stream_protocol() = default;
    // Bytes that came from the peer.
    virtual void received(const char *bytes, std::size_t n) = 0;
    // The peer shut its side: nothing more comes.
    virtual void peer_closed() = 0;
    // What waits to be sent, taken from the front as the socket takes it.
    virtual byte_queue &output() = 0;
    // While true the connection's input is not read (its messages wait for
    // the instrument's lock, say).
    virtual bool input_waits() const = 0;
    // While true the connection is not idle, whatever its time-out: it
    // waits for another client.
    virtual bool awaits_another() const = 0;
    // Whole messages (calls) so far: the idle time-out counts these, and a
    // trickle of bytes that completes none is idle.
    virtual std::uint64_t messages() const = 0;
    // The connection closes: settles what it owes (`delivered`: its peer has
    // everything sent). Returns what the log adds to the line that says so.
    virtual std::string closing(bool delivered, const std::string &why) = 0;
};

struct stream_settings {
    std::string name = "connection"; // in the log: "connection from PEER opened"
    client_admission admission;      // --allow, and the idle time-out
    std::size_t most = 8;            // connections at once
    std::string too_many;            // why one more is refused, for the log and the peer
    // The line a peer refused for `too_many` is told before it is closed;
    // null: it is closed silently.
    std::function<std::string(const std::string &why)> told;
    int send_buffer = 64 * 1024;     // SO_SNDBUF, the kernel's part of the bound
    bool no_delay = false;           // TCP_NODELAY: a reply goes at once
    // A connection's input waits while this much waits here unsent, or while
    // more than this much is sent and not acknowledged.
    std::size_t unsent_bound = 1024 * 1024;
    std::size_t unacknowledged_bound = std::numeric_limits<std::size_t>::max();
    const char *idle_unit = "message"; // "closed (idle: no message in 300 s)"
};

class stream_server {
public:
    using connection_id = std::uint64_t;
    using protocol_maker = std::function<std::unique_ptr<stream_protocol>(connection_id id, const std::string &peer)>;

    stream_server(event_loop &loop, stream_settings settings, protocol_maker make,
                  std::function<void(const std::string &)> log);
    ~stream_server();
    stream_server(const stream_server &) = delete;
    stream_server &operator=(const stream_server &) = delete;

    // Listens on `a` (on `port` instead of its own, when that is not
    // negative); false, with the reason. `bound` says where. Returns the
    // port, or -1.
    int listen_on(const listen_address &a, int port, std::string &bound, std::string &error);
    void stop_listening();
    // No more input is read (the server is ending); output under way still goes.
    void stop_reading();
    // Output waits to be sent somewhere.
    bool busy() const;
    // Every connection closed: its protocol told whether its peer had everything.
    void close_all(const std::string &why);
    std::vector<sockaddr_storage> addresses() const;

    // What a transport does to one of its connections, named by its number
    // (one gone already is no error):
    // sends what its protocol holds now, and looks again at what its input
    // waits for (after output came from elsewhere: a lock given back);
    void flush(connection_id id);
    // closes it, once the server's call under way has returned;
    void close_connection(connection_id id, const std::string &why, bool delivered);
    // whether its peer has every byte sent (a system call, when nothing waits here).
    bool peer_has_everything(connection_id id);
    const std::string &peer(connection_id id) const;
    std::vector<connection_id> connections() const;

private:
    struct connection;

    event_loop &loop_;
    stream_settings settings_;
    protocol_maker make_;
    std::function<void(const std::string &)> log_;
    std::vector<int> listeners_;
    std::map<connection_id, std::unique_ptr<connection>> connections_;
    connection_id last_id_ = 0;
    bool reading_ = true;
    bool accept_paused_ = false;
    event_loop::timer_id accept_retry_ = 0;
    int depth_ = 0;      // calls of the server's own under way
    bool doomed_ = false; // a close waits for them to return

    class call_guard;

    connection *connection_of(connection_id id) const;
    void accept_from(int listener);
    void refuse(int fd, const std::string &peer, const std::string &why, bool tell);
    void pause_accepting(bool paused);
    void serve(connection &c, short revents);
    bool receive(connection &c);
    bool transmit(connection &c);
    void after_activity(connection &c);
    bool input_held_back(connection &c);
    void update_events(connection &c);
    void watch_idle(connection &c, event_loop::clock::time_point due);
    void look_again(connection &c);
    void settle_closing(connection &c);
    void close_now(connection &c);
    void reap();
};
