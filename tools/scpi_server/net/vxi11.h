// VXI-11: the instrument as TCPIP::HOST::INSTR, the way NI-VISA, Keysight
// IO Libraries, PyVISA, MATLAB and LabVIEW open a LAN instrument. The
// core channel (ONC RPC program 395183) is found through the system's
// rpcbind; the abort channel (395184) sits beside it and answers
// device_abort only. libtirpc serves both from this loop, never from a
// thread of its own, so that bus operations never interleave.
//
// A link is a session, as a socket connection is: its own error queue,
// event status and format. Its words are the client's once it makes its
// next call on the link with its response read out and everything sent
// acknowledged by its TCP; a link that dies, is destroyed with a response
// unread, or is cleared puts them back in the hold.
//
// device_lock gives one link the instrument: the other links' calls wait
// (up to their lock_timeout, with the waitlock flag) or are refused with
// error 11, and socket clients' messages wait unread.
#pragma once

#include <chrono>
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

class vxi11_server : public loop_source {
public:
    vxi11_server(event_loop &loop, bus_owner &owner, vxi11_options options,
                 std::function<void(const std::string &)> log);
    ~vxi11_server() override;

    // Listens on the addresses' hosts (the core channel on one port for all,
    // the abort channel on another) and registers with rpcbind. False, with
    // the reason, when it cannot: the server goes on without VXI-11.
    bool start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why);
    bool serving() const { return !rendezvous_.empty(); }
    // Links destroyed (words settled as delivered or put back), connections
    // closed, and the registration with rpcbind taken back.
    void stop(const std::string &why);
    std::size_t links() const { return links_.size(); }
    // "peer (link N)" for each link, for the web page.
    std::vector<std::string> describe_links() const;

    void prepare(std::vector<pollfd> &fds, int &timeout_ms) override;
    void dispatch(const pollfd *fds, std::size_t count) override;

    // The procedures, called from rpcgen's dispatchers (net/vxi11.cpp).
    struct call;
    void *serve(call &c);

private:
    struct connection {
        bool core;
        std::string peer;
        event_loop::clock::time_point last_call;
        bool shut = false; // being closed: libtirpc sees its end at the next turn
    };
    event_loop &loop_;
    bus_owner &owner_;
    vxi11_options options_;
    std::function<void(const std::string &)> log_;
    std::map<int, bool> rendezvous_; // listening descriptor -> is the core channel
    std::map<int, connection> connections_;
    std::map<long, std::unique_ptr<vxi11_link>> links_;
    std::vector<std::unique_ptr<vxi11_waiter>> waiters_;
    long next_link_ = 1;
    int abort_port_ = 0;
    bool registered_ = false;
    bool stopped_ = false;

    void run_pass(const pollfd *fds, std::size_t count, int only_listener);
    void forget_closed_connections();
    void adopt_new_connections(bool core);
    void shut(int fd, const std::string &why);
    void check_timeouts();
    void settle_link(vxi11_link &l, bool delivered, const std::string &why);
    vxi11_link *link_of(const call &c, long id);
    bool lock_free_for(long link) const;
    bool wait_for_lock(const call &c, long link, long flags, unsigned long timeout_ms, vxi11_waiter &&w);
    void execute_lines(vxi11_link &l, const std::string &all);
    // One procedure each; null when the answer comes later (or was refused).
    void *abort_waits(call &c);
    void *make_link(call &c, const std::string &peer);
    void *on_write(call &c);
    void *on_read(call &c);
    void *on_clear(call &c);
    void *on_lock(call &c);
    void lock_released();
    bool try_waiter(vxi11_waiter &w, bool timed_out);
};
