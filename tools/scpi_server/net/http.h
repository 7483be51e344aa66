// The instrument's own web page and its JSON status, served by
// libmicrohttpd with no thread of its own: each daemon's epoll descriptor
// is one of the loop's, and MHD_run does what is ready.
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
//
// Bounded as the SCPI transports are: request headers (the memory limit),
// bodies, connections, and an idle time-out; a slow or half-sent request
// delays nobody, since nothing here blocks.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bus_owner.h"
#include "event_loop.h"
#include "net_address.h"

struct MHD_Daemon;
struct MHD_Connection;

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

// What the page shows that the server, not the instrument, knows.
struct http_view {
    std::function<std::vector<std::string>()> clients;
    // The VISA resource strings that reach the server, for a host name.
    std::function<std::vector<std::string>(const std::string &host)> resources;
    // False once the bus was taken from under the server, or it is ending:
    // the page then drives nothing.
    std::function<bool()> may_drive;
};

// False in a build without libmicrohttpd: the server then has no page.
bool http_available();

class http_server : public loop_source {
public:
    http_server(bus_owner &owner, http_options options, http_view view, std::function<void(const std::string &)> log);
    ~http_server() override;

    bool listen_on(const listen_address &a, std::string &bound, std::string &error);
    void stop();

    void prepare(std::vector<pollfd> &fds, int &timeout_ms) override;
    void dispatch(const pollfd *fds, std::size_t count) override;

    // One request, whole: the status and the body to send.
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
    response handle(const request &r);

    // From libmicrohttpd's callbacks.
    void log_fault(const request &r, const char *what);
    void connection_event(MHD_Connection *c, bool started);
    void request_done(MHD_Connection *c);

private:
    bus_owner &owner_;
    http_options options_;
    http_view view_;
    std::function<void(const std::string &)> log_;
    std::vector<MHD_Daemon *> daemons_;
    // When each connection must have completed a request.
    std::map<MHD_Connection *, std::chrono::steady_clock::time_point> deadlines_;

    void close_slow_connections();

    response status(const request &r);
    response counts(const request &r);
    response control(const request &r);
    response file(const std::string &path, const std::string &type);
};
