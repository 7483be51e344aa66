// The ways clients reach the server, together: the SCPI socket, VXI-11
// and the web page. Each is a source of the one loop; here they are
// started, listed for the page, and ended as one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus_owner.h"
#include "event_loop.h"
#include "net/net_address.h"
#include "net/raw_socket.h"

class vxi11_server;
class http_server;

struct transport_settings {
    std::vector<listen_address> scpi, http;
    raw_socket_options socket;
    bool vxi11 = true;
    int vxi11_port = 0;
    bool web_control = false;
    std::vector<std::string> web_names;
    std::string web_root;
};

class transports {
public:
    transports(event_loop &loop, bus_owner &owner, const transport_settings &s,
               std::function<void(const std::string &)> log);
    ~transports();

    // The socket and the page listen: "listening on ...", or "" with the
    // reason in `error` (the server does not start).
    std::string listen(std::string &error);
    // VXI-11, once the bus is the server's: its log line, on or off and why.
    std::string start_vxi11();

    void stop_listening();
    void stop_reading();
    bool busy() const;
    void close_all(const std::string &why);

    // Who is connected, and the VISA strings that reach the server from `host`.
    std::vector<std::string> clients() const;
    std::vector<std::string> resources(const std::string &host) const;

    bool bus_lost = false; // the page then drives nothing

private:
    event_loop &loop_;
    bus_owner &owner_;
    const transport_settings &settings_;
    std::function<void(const std::string &)> log_;
    raw_socket_server sockets_;
    std::unique_ptr<vxi11_server> vxi11_;
    std::unique_ptr<http_server> http_;
    bool reading_ = true; // false once ending: the page changes nothing
};
