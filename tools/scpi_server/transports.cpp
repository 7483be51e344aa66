#include "transports.h"

#include <algorithm>

#include "net/http.h"
#include "net/vxi11.h"

transports::transports(event_loop &loop, bus_owner &owner, const transport_settings &s,
                       std::function<void(const std::string &)> log)
    : loop_(loop), owner_(owner), settings_(s), log_(std::move(log)), sockets_(loop, owner, s.socket, log_)
{
}

transports::~transports() = default;

std::string transports::listen(std::string &error)
{
    std::string where;
    for (const listen_address &a : settings_.scpi) {
        std::string bound;
        if (!sockets_.listen_on(a, bound, error))
            return "";
        where += (where.empty() ? "listening on " : ", ") + bound;
    }
    if (settings_.http.empty())
        return where;
    // The package's options name --http; a build without the page still serves.
    if (!http_available())
        return where + "; no web page: this build has none (it was built without libmicrohttpd)";
    http_options options;
    options.allow_given = settings_.socket.allow_given;
    options.allow = settings_.socket.allow;
    options.control = settings_.web_control;
    options.names = settings_.web_names;
    options.web_root = settings_.web_root;
    options.idle_timeout = std::min(options.idle_timeout, settings_.socket.idle_timeout);
    http_view view;
    view.clients = [this] { return clients(); };
    view.resources = [this](const std::string &host) { return resources(host); };
    view.may_drive = [this] { return !bus_lost && reading_; };
    http_ = std::make_unique<http_server>(owner_, options, view, log_);
    for (const listen_address &a : settings_.http) {
        std::string bound;
        if (!http_->listen_on(a, bound, error))
            return "";
        where += ", the web page on http://" + bound + "/" + (settings_.web_control ? " (with control)" : "");
    }
    loop_.add_source(*http_);
    return where;
}

std::string transports::start_vxi11()
{
    if (!settings_.vxi11)
        return "VXI-11 is off (--no-vxi11)";
    vxi11_options options;
    options.links = settings_.socket;
    options.core_port = settings_.vxi11_port;
    vxi11_ = std::make_unique<vxi11_server>(loop_, owner_, options, log_);
    std::string bound, why;
    if (!vxi11_->start(settings_.scpi, bound, why)) {
        vxi11_.reset();
        return "VXI-11 is off: " + why + "; the SCPI socket serves all the same";
    }
    return "VXI-11 (TCPIP::HOST::INSTR) on " + bound;
}

void transports::stop_listening() { sockets_.stop_listening(); }

void transports::stop_reading()
{
    reading_ = false;
    sockets_.stop_reading();
    if (vxi11_)
        vxi11_->stop("the server reads no more commands");
}

bool transports::busy() const { return sockets_.busy(); }

void transports::close_all(const std::string &why)
{
    sockets_.close_all(why);
    if (vxi11_)
        vxi11_->stop(why);
}

std::vector<std::string> transports::clients() const
{
    std::vector<std::string> all = sockets_.describe_connections();
    if (vxi11_)
        for (std::string &l : vxi11_->describe_links())
            all.push_back(std::move(l));
    return all;
}

std::vector<std::string> transports::resources(const std::string &host) const
{
    // A socket bound to every address is reached by the name the asker
    // used; one bound to an address, by that address.
    std::vector<std::string> out;
    std::string instr_host;
    for (const sockaddr_storage &a : sockets_.addresses()) {
        const std::string where = address_text(a); // "127.0.0.1:5025", "[::]:5025"
        const std::size_t colon = where.rfind(':');
        const std::string bound_host = where.substr(0, colon);
        const bool any = bound_host == "0.0.0.0" || bound_host == "[::]";
        const std::string name = any && !host.empty() ? host : bound_host;
        if (instr_host.empty())
            instr_host = name;
        out.push_back("TCPIP::" + name + "::" + where.substr(colon + 1) + "::SOCKET");
    }
    if (vxi11_ && !instr_host.empty())
        out.insert(out.begin(), "TCPIP::" + instr_host + "::INSTR");
    return out;
}
