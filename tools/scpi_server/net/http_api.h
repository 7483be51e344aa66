// The instrument's web page and its JSON, as requests and answers: what
// each URL gives, with no HTTP library in sight (net/http.cpp serves it
// with libmicrohttpd; the fuzzer calls it directly).
//
//   GET  /                  the page (its files from --web-root; dygraphs
//                           from Debian's /usr/share/javascript)
//   GET  /api/status        identity, run state, points, hold, loss,
//                           settings, clients, VISA resources, version
//   GET  /api/counts?since=N  the counts read since index N, with the time
//                           each was read (never taken from the hold)
//   POST /api/run, /api/settings  only with --web-control, only from the
//                           page's own origin, or from a script that sends
//                           no Origin and a JSON body (Content-Type:
//                           application/json); every change is logged
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/bus_owner.h"
#include "net/net_address.h"
#include "net/transport.h"

struct http_options {
    bool allow_given = false;
    std::vector<cidr_block> allow;
    bool control = false;           // --web-control
    std::vector<std::string> names; // --web-name: more names the page may be reached by for changes
    std::string web_root;           // the page's files
    std::string script_root = "/usr/share/javascript";
    unsigned max_connections = 32;
    std::chrono::seconds idle_timeout{10};
};

class web_api {
public:
    web_api(bus_owner &owner, http_options options, transports_view all, std::function<void(const std::string &)> log);

    // One request, whole.
    struct request {
        std::string method, url, origin, host, peer, content_type;
        std::string body;
        bool body_too_long = false;
        std::string query_since;
    };
    struct response {
        unsigned status = 200;
        std::string type = "application/json";
        std::string body;
    };
    // Never throws for what a client sends; a fault of ours is a 500.
    response handle(const request &r);

    // False once the server is ending, or the bus was taken from under it:
    // the page then drives nothing.
    bool driving = true;
    const http_options &options() const { return options_; }

    static constexpr std::size_t largest_body = 4096; // a control request's JSON

private:
    bus_owner &owner_;
    http_options options_;
    transports_view all_;
    std::function<void(const std::string &)> log_;

    response route(const request &r);
    response status(const request &r);
    response counts(const request &r);
    response control(const request &r);
    response file(const std::string &path, const std::string &type);
};
