// SCPI over a raw TCP socket (port 5025): one message per line, as PyVISA,
// PyMeasure and every lab framework speak to counters and scopes. The
// connections are stream_server's; each carries one SCPI client.
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

#include "net/transport.h"

std::unique_ptr<transport> make_raw_socket(transport_context &context);
