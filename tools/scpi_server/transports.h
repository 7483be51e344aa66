// The ways clients reach the server, together: each a transport
// (net/transport.h), made from the one list in transports.cpp, started,
// listed for the page, and ended as one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/transport.h"

class transports {
public:
    transports(event_loop &loop, bus_owner &owner, const transport_settings &s,
               std::function<void(const std::string &)> log);

    // Before the bus is the server's: every transport listens. "listening
    // on ...", or false with the reason in `error` (the server does not start).
    bool listen(std::string &where, std::string &error);
    // Once the bus is the server's: each starts, and says so in the log.
    void start();

    void stop_listening();
    void stop_reading();
    bool busy() const;
    void close_all(const std::string &why);

    // Who is connected, and the VISA strings that reach the server from `host`.
    std::vector<std::string> clients() const;
    std::vector<std::string> resources(const std::string &host) const;

private:
    transport_context context_;
    std::vector<std::unique_ptr<transport>> all_;
};
