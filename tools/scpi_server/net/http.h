// The web page as a transport: libmicrohttpd with no thread of its own,
// each daemon's epoll descriptor one of the loop's, MHD_run doing what is
// ready. What each URL answers is web_api's (net/http_api.h).
//
// Bounded as the SCPI transports are: request headers (the memory limit),
// bodies, connections, and an idle time-out counted in whole requests; a
// slow or half-sent request delays nobody, since nothing here blocks.
// A build without libmicrohttpd has the stub (http_none.cpp), which says
// why it has no page.
#pragma once

#include "net/transport.h"

std::unique_ptr<transport> make_http(transport_context &context);
