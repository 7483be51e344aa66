// A build without libmicrohttpd or nlohmann/json: no web page, and the
// server says why.
#include "http.h"

bool http_available() { return false; }

http_server::http_server(bus_owner &owner, http_options options, http_view view,
                         std::function<void(const std::string &)> log)
    : owner_(owner), options_(std::move(options)), view_(std::move(view)), log_(std::move(log))
{
}

http_server::~http_server() = default;

bool http_server::listen_on(const listen_address &, std::string &, std::string &error)
{
    error = "this build has no web page (it was built without libmicrohttpd: apt-get install libmicrohttpd-dev "
            "nlohmann-json3-dev)";
    return false;
}

void http_server::stop() {}
void http_server::prepare(std::vector<pollfd> &, int &) {}
void http_server::dispatch(const pollfd *, std::size_t) {}

http_server::response http_server::handle(const request &) { return {404, "text/plain; charset=utf-8", "no web page\n"}; }

void http_server::log_fault(const request &, const char *) {}
void http_server::connection_event(MHD_Connection *, bool) {}
void http_server::request_done(MHD_Connection *) {}
