// What every way of reaching the server is to the rest of it: the SCPI
// socket, VXI-11 and the web page each implement this, and transports.cpp
// lists them. A transport only moves bytes: what they mean is one SCPI
// client's (scpi/client.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/bus_owner.h"
#include "core/event_loop.h"
#include "net/net_address.h"

// Everything the command line says of the transports.
struct transport_settings {
    std::vector<listen_address> scpi, http;
    client_admission admission;
    bool vxi11 = true;
    int vxi11_port = 0;
    bool web_control = false;
    std::vector<std::string> web_names;
    std::string web_root;
};

// Each has something to do, or nothing (a build's stub does nothing but say why).
class transport {
public:
    virtual ~transport() = default;
    // Before the bus is the server's: listens where the settings say;
    // `said` tells where ("" for nowhere). False, with the reason, when it
    // cannot: the server does not start.
    virtual bool listen(std::string &said, std::string &error);
    // Once the bus is the server's: what it says of itself in the log ("" for nothing).
    virtual std::string start() { return ""; }
    virtual void stop_listening() {}
    // No more commands are read (the server is ending); what is under way still goes.
    virtual void stop_reading() {}
    // Every client gone: words whose delivery it showed are its own, the others go back.
    virtual void close_all(const std::string &why);
    // Something must still be sent before the server may end.
    virtual bool busy() const { return false; }
    // Who is connected: "peer (what)", for the web page.
    virtual std::vector<std::string> clients() const { return {}; }
    // The VISA resource strings that reach it from `host` (the name the asker used).
    virtual std::vector<std::string> resources(const std::string &host) const;
};

// What the server says of all its transports together (the web page shows it).
struct transports_view {
    std::function<std::vector<std::string>()> clients;
    std::function<std::vector<std::string>(const std::string &host)> resources;
};

// What a transport is made with.
struct transport_context {
    event_loop &loop;
    bus_owner &owner;
    const transport_settings &settings;
    std::function<void(const std::string &)> log;
    transports_view all;
};

using transport_maker = std::unique_ptr<transport> (*)(transport_context &);
