// Fuzz target: arbitrary requests to the web page's handler, with control
// on: the method, the path and query, the Host, the Origin, the content
// type and the body all come from the input (fields split at NUL bytes).
// No request may throw or crash, every answer is one of the statuses the
// page uses, and its body, when JSON, parses back.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "net/http_api.h"
#include "instrument.h"
#include "pin_bank.h"
#include "spi.h"
#include "violations.h"

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "the web page broke: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    sim::set_reporting(false);
    sim::power_on();
    setup_io();
    owner_options owned;
    owned.hold_words = 64;
    bus_owner owner(owned);
    http_options options;
    options.control = true;
    options.web_root = "/nonexistent";
    transports_view view;
    view.clients = [] { return std::vector<std::string>{"127.0.0.1:1 (SCPI socket)"}; };
    view.resources = [](const std::string &host) { return std::vector<std::string>{"TCPIP::" + host + "::INSTR"}; };
    web_api server(owner, options, view, [](const std::string &) {});

    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && fields.size() < 7)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    fields.resize(7);
    static const char *methods[] = {"GET", "POST", "HEAD", "PUT"};
    web_api::request r;
    r.method = fields[0].empty() ? "GET" : methods[static_cast<unsigned char>(fields[0][0]) % 4];
    r.url = fields[1].empty() ? "/api/status" : fields[1];
    r.host = fields[2];
    r.origin = fields[3] == "=" ? "http://" + r.host : fields[3];
    r.content_type = fields[4];
    r.body = fields[5];
    r.query_since = fields[6];
    r.peer = "127.0.0.1:1";
    web_api::response out;
    try {
        out = server.handle(r);
    } catch (...) {
        require(false, "a request threw");
    }
    static const unsigned statuses[] = {200, 400, 403, 404, 405, 409, 413, 423, 503};
    bool known = false;
    for (unsigned s : statuses)
        known |= out.status == s;
    require(known, "an answer's status is not one the page uses");
    if (out.type == "application/json")
        require(!nlohmann::json::parse(out.body, nullptr, false).is_discarded(), "an answer is not JSON");
    return 0;
}
