// VXI-11: the instrument as TCPIP::HOST::INSTR, the way NI-VISA, Keysight
// IO Libraries, PyVISA, MATLAB and LabVIEW open a LAN instrument. The
// core channel (ONC RPC program 395183) is found through the system's
// rpcbind; the abort channel (395184) sits beside it and answers
// device_abort only. Both are served from this loop: the RPC records are
// read and written here (rpc_record.h), never by a library that could
// wait on a client, and rpcgen's XDR routines encode what they carry.
//
// A link is a session, as a socket connection is: its own error queue,
// event status and format. Its words are the client's once it makes its
// next call on the link with its response read out and everything sent
// acknowledged by its TCP, or closes its connection cleanly after that; a
// link that dies otherwise, is destroyed with a response unread, or is
// cleared puts them back in the hold.
//
// device_lock gives one link the instrument: the other links' calls wait
// (up to their lock_timeout, with the waitlock flag) or are refused with
// error 11, and socket clients' messages wait. A waiting call holds up
// nothing else of its connection: the connection's other calls (the
// holder's unlock among them) are still read and answered.
//
// No client can take another's turn: a connection's calls wait while more
// than a bound of its replies is unsent or unacknowledged, a link's unread
// output is bounded, a connection that completes no call within the idle
// time-out is closed (a trickle of bytes is no call), running out of
// descriptors pauses accepting instead of spinning, and the registration
// with rpcbind is renewed when rpcbind comes (back) without it.
#pragma once

#include <rpc/xdr.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus_owner.h"
#include "event_loop.h"
#include "net_address.h"

struct vxi11_options {
    std::size_t max_links = 8;
    bool allow_given = false;
    std::vector<cidr_block> allow;
    std::chrono::seconds idle_timeout{300};
    int core_port = 0; // 0: any free port (rpcbind tells clients which)
};

struct vxi11_link;
struct vxi11_waiter;
struct vxi11_connection;

class vxi11_server {
public:
    vxi11_server(event_loop &loop, bus_owner &owner, vxi11_options options,
                 std::function<void(const std::string &)> log);
    ~vxi11_server();

    // Listens on the addresses' hosts (the core channel on one port for all,
    // the abort channel on another) and registers with rpcbind. False, with
    // the reason, when it cannot listen: the server goes on without VXI-11.
    // Without rpcbind it serves all the same, and `bound` says so: it
    // registers once rpcbind answers.
    bool start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why);
    // Links destroyed (words settled as delivered or put back), connections
    // closed, and the registration with rpcbind taken back.
    void stop(const std::string &why);
    // "peer (link N)" for each link, for the web page.
    std::vector<std::string> describe_links() const;

    // One procedure's call, decoded, and how its answer is encoded.
    struct call;
    struct answer {
        xdrproc_t encode = nullptr; // null: no answer now (it waits for the lock)
        const void *value = nullptr;
    };

private:
    event_loop &loop_;
    bus_owner &owner_;
    vxi11_options options_;
    std::function<void(const std::string &)> log_;
    std::map<int, bool> listeners_; // descriptor -> is the core channel
    std::map<int, std::unique_ptr<vxi11_connection>> connections_;
    std::map<long, std::unique_ptr<vxi11_link>> links_;
    std::vector<std::unique_ptr<vxi11_waiter>> waiters_;
    long next_link_ = 1;
    int core_port_ = 0, abort_port_ = 0;
    bool registered_ = false;   // rpcbind has our core channel, as far as we know
    bool rpcbind_silent_ = false; // said in the log: rpcbind does not answer
    bool stopped_ = false;
    event_loop::clock::time_point accept_paused_until_{};
    event_loop::clock::time_point registration_checked_{};

    void accept_from(int listener, bool core);
    void serve(vxi11_connection &c, short revents);
    bool receive(vxi11_connection &c);
    bool transmit(vxi11_connection &c);
    void update_events(vxi11_connection &c);
    void send_reply(vxi11_connection &c, std::string reply);
    void handle_record(vxi11_connection &c, const std::string &record);
    void close_connection(int fd, const std::string &why, bool clean);
    void check_timeouts();
    void keep_registered();
    void settle_link(vxi11_link &l, bool delivered, const std::string &why);
    vxi11_link *link_of(const call &c, long id);
    bool lock_free_for(long link) const;
    bool wait_for_lock(const call &c, long link, long flags, unsigned long timeout_ms, vxi11_waiter &&w);
    bool waits_on_another_connection(const vxi11_connection &c) const;
    void execute_lines(vxi11_link &l, const std::string &all);
    answer dispatch(call &c);
    answer abort_waits(call &c);
    answer make_link(call &c);
    answer on_write(call &c);
    answer on_read(call &c);
    answer on_clear(call &c);
    answer on_lock(call &c);
    void lock_released();
    void answer_waiters();
    void answer_waiter(vxi11_waiter &w, bool timed_out);
    void answer_late(const vxi11_waiter &w, const answer &a);
    void refuse_late(const vxi11_waiter &w, long error);
};
