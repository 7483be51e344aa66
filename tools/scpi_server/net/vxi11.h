// VXI-11: the instrument as TCPIP::HOST::INSTR, the way NI-VISA, Keysight
// IO Libraries, PyVISA, MATLAB and LabVIEW open a LAN instrument. The
// core channel (ONC RPC program 395183) is found through the system's
// rpcbind; the abort channel (395184) sits beside it and answers
// device_abort only. Both channels' connections are stream_server's, in
// this loop: the RPC records are read and written here (rpc_record.h),
// never by a library that could wait on a client, and rpcgen's XDR
// routines encode what they carry.
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
//
// It listens once the bus is the server's (start()), on the --listen hosts;
// without rpcbind it serves all the same, and its log line says so. A build
// without libtirpc has the stub (vxi11_none.cpp), which says why it has none.
#pragma once

#include "net/transport.h"

std::unique_ptr<transport> make_vxi11(transport_context &context);
