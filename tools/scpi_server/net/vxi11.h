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

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus_owner.h"
#include "event_loop.h"
#include "net_address.h"

struct vxi11_options {
    client_admission links; // `most` is links at once
    int core_port = 0;      // 0: any free port (rpcbind tells clients which)
};

class vxi11_service;

class vxi11_server {
public:
    vxi11_server(event_loop &loop, bus_owner &owner, vxi11_options options,
                 std::function<void(const std::string &)> log);
    ~vxi11_server();

    // Listens on the addresses' hosts (the core channel on one port for all,
    // the abort channel on another) and registers with rpcbind. False, with
    // the reason, when it cannot listen (or this build has no VXI-11): the
    // server goes on without VXI-11. Without rpcbind it serves all the
    // same, and `bound` says so: it registers once rpcbind answers.
    bool start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why);
    // Links destroyed (words settled as delivered or put back), connections
    // closed, and the registration with rpcbind taken back.
    void stop(const std::string &why);
    // "peer (link N)" for each link, for the web page.
    std::vector<std::string> describe_links() const;

private:
    std::unique_ptr<vxi11_service> service_;
};
