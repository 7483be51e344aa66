#include "transports.h"

#include "net/http.h"
#include "net/raw_socket.h"
#include "net/vxi11.h"

namespace {

// Every transport, one line each: a new one is its file, its stub, and a
// line here. (The order is the order of the page's resource strings.)
const transport_maker every_transport[] = {
    make_vxi11,
    make_raw_socket,
    make_http,
};

} // namespace

transports::transports(event_loop &loop, bus_owner &owner, const transport_settings &s,
                       std::function<void(const std::string &)> log)
    : context_{loop, owner, s, std::move(log), {}}
{
    context_.all.clients = [this] { return clients(); };
    context_.all.resources = [this](const std::string &host) { return resources(host); };
    for (const transport_maker make : every_transport)
        all_.push_back(make(context_));
}

bool transports::listen(std::string &where, std::string &error)
{
    where.clear();
    for (const auto &t : all_) {
        std::string said;
        if (!t->listen(said, error))
            return false;
        if (!said.empty())
            where += (where.empty() ? "" : ", ") + said;
    }
    return true;
}

void transports::start()
{
    for (const auto &t : all_) {
        const std::string said = t->start();
        if (!said.empty())
            context_.log(said);
    }
}

void transports::stop_listening()
{
    for (const auto &t : all_)
        t->stop_listening();
}

void transports::stop_reading()
{
    for (const auto &t : all_)
        t->stop_reading();
}

bool transports::busy() const
{
    for (const auto &t : all_)
        if (t->busy())
            return true;
    return false;
}

void transports::close_all(const std::string &why)
{
    for (const auto &t : all_)
        t->close_all(why);
}

std::vector<std::string> transports::clients() const
{
    std::vector<std::string> out;
    for (const auto &t : all_)
        for (std::string &c : t->clients())
            out.push_back(std::move(c));
    return out;
}

std::vector<std::string> transports::resources(const std::string &host) const
{
    std::vector<std::string> out;
    for (const auto &t : all_)
        for (std::string &r : t->resources(host))
            out.push_back(std::move(r));
    return out;
}
