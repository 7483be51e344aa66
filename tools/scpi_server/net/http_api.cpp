#include "net/http_api.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "program_options.h"
#include "scpi/client.h"
#include "scpi/commands.h"
#include "text_case.h"

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t counts_per_answer = 20000; // /api/counts gives at most this many at once

// The page's files: nothing else under the roots is served.
struct page_file {
    const char *url;
    bool from_scripts; // Debian's /usr/share/javascript, else --web-root
    const char *path;
    const char *type;
};
const page_file page_files[] = {
    {"/", false, "index.html", "text/html; charset=utf-8"},
    {"/index.html", false, "index.html", "text/html; charset=utf-8"},
    {"/app.js", false, "app.js", "text/javascript; charset=utf-8"},
    {"/style.css", false, "style.css", "text/css; charset=utf-8"},
    {"/javascript/dygraphs/dygraph.min.js", true, "dygraphs/dygraph.min.js", "text/javascript; charset=utf-8"},
    {"/javascript/dygraphs/dygraph.min.css", true, "dygraphs/dygraph.min.css", "text/css; charset=utf-8"},
};

// Text that is not UTF-8 (a header's bytes, say) is sent with U+FFFD in
// its place: a response is never an exception.
web_api::response json_response(unsigned status, const json &j)
{
    return {status, "application/json", j.dump(-1, ' ', false, json::error_handler_t::replace)};
}

web_api::response refusal(unsigned status, const std::string &why)
{
    return json_response(status, json{{"error", why}});
}

// A Host header as RFC 3986 has an authority: a name or an address, and a
// port. Anything else (bytes that are no name) is refused before use.
bool well_formed_host(const std::string &host)
{
    if (host.empty() || host.size() > 255)
        return false;
    for (const char ch : host)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && std::strchr("-._~:[]", ch) == nullptr)
            return false;
    return true;
}

// The host part of a Host header: "pi.local:8080" -> "pi.local", "[::1]:80" -> "[::1]".
std::string host_name(const std::string &host)
{
    if (!host.empty() && host.front() == '[')
        return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

// A name the instrument answers to: an address, localhost, or this
// machine's own name (bare, or as mDNS gives it). A page reached through
// any other name may be another site's, its name rebound to this address.
bool own_name(const std::string &host, const std::vector<std::string> &names)
{
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return true; // an IPv6 address
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1)
        return true;
    char self[256] = "";
    gethostname(self, sizeof self - 1);
    const std::string asked = upper(name), me = upper(self);
    for (const std::string &n : names)
        if (asked == upper(n))
            return true;
    return asked == "LOCALHOST" || (!me.empty() && (asked == me || asked == me + ".LOCAL"));
}

json known(const known_settings &s)
{
    json j = json::object();
    j["threshold"] = s.threshold ? json(*s.threshold) : json(nullptr);
    j["polarity"] = s.polarity ? json(*s.polarity) : json(nullptr);
    j["period"] = s.period ? json(*s.period) : json(nullptr);
    return j;
}

} // namespace

web_api::web_api(bus_owner &owner, http_options options, transports_view all,
                 std::function<void(const std::string &)> log)
    : owner_(owner), options_(std::move(options)), all_(std::move(all)), log_(std::move(log))
{
}

web_api::response web_api::handle(const request &r)
{
    try {
        return route(r);
    } catch (const std::exception &e) { // a fault of ours: this request fails, the server serves on
        log_("the web page's " + r.method + " " + r.url + " from " + r.peer + " failed: " + e.what());
        return refusal(500, "the server could not answer this request");
    }
}

web_api::response web_api::route(const request &r)
{
    if (!r.host.empty() && !well_formed_host(r.host))
        return refusal(400, "the Host header is not a host name");
    if (r.url.rfind("/api/", 0) == 0) {
        if (r.method == "POST")
            return control(r);
        if (r.method != "GET" && r.method != "HEAD")
            return refusal(405, "GET, or POST with --web-control");
        if (r.url == "/api/status")
            return status(r);
        if (r.url == "/api/counts")
            return counts(r);
        return refusal(404, "no such resource");
    }
    if (r.method != "GET" && r.method != "HEAD")
        return refusal(405, "the page is read with GET");
    for (const page_file &f : page_files)
        if (r.url == f.url)
            return file((f.from_scripts ? options_.script_root : options_.web_root) + "/" + f.path, f.type);
    return refusal(404, "no such page");
}

web_api::response web_api::file(const std::string &path, const std::string &type)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {404, "text/plain; charset=utf-8", path + " is not installed\n"};
    std::ostringstream content;
    content << in.rdbuf();
    return {200, type, content.str()};
}

web_api::response web_api::status(const request &r)
{
    const bool drive = driving;
    json j;
    j["identity"] = std::string(scpi_identity) + program_version();
    j["version"] = program_version();
    j["running"] = owner_.run_on();
    j["points"] = drive ? json(owner_.points()) : json(nullptr);
    j["held"] = owner_.held();
    j["hold_capacity"] = owner_.hold_capacity();
    j["lost"] = {{"words", owner_.words_lost()}, {"gaps", owner_.gaps()}};
    j["settings"] = known(owner_.settings());
    j["clients"] = all_.clients ? all_.clients() : std::vector<std::string>{};
    j["resources"] = all_.resources ? all_.resources(host_name(r.host)) : std::vector<std::string>{};
    j["locked"] = owner_.locked();
    j["web_control"] = options_.control;
    const count_journal &journal = owner_.journal();
    j["counts_seen"] = journal.next();
    j["journal"] = {{"id", journal.identity()}, {"oldest", journal.oldest()}, {"next", journal.next()}};
    const read_rates rates = owner_.rates();
    j["rates"] = {{"counts_per_s", rates.counts_per_s}, {"words_per_s", rates.words_per_s}};
    return json_response(200, j);
}

web_api::response web_api::counts(const request &r)
{
    const count_journal &journal = owner_.journal();
    std::uint64_t since = owner_.first_viewed(), asked = since;
    if (!r.query_since.empty()) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(r.query_since.c_str(), &end, 10);
        if (errno != 0 || end == r.query_since.c_str() || *end != '\0' || r.query_since[0] == '-')
            return refusal(400, "since= takes the index of a count: a number from 0");
        asked = n;
        since = std::min<std::uint64_t>(std::max<std::uint64_t>(n, journal.oldest()), journal.next()); // none seen yet
    }
    const std::uint64_t next = std::min<std::uint64_t>(journal.next(), since + counts_per_answer);
    // Counts read together share one time: [time, [counts...]] each.
    json batches = json::array();
    for (std::uint64_t i = since; i < next;) {
        const std::int64_t at = journal.read_at(i);
        json run = json::array();
        for (; i < next && journal.read_at(i) == at; ++i)
            run.push_back(owner_.count_at(i));
        batches.push_back(json::array({at, std::move(run)}));
    }
    return json_response(200, json{{"id", journal.identity()},
                                   {"from", since},
                                   {"missed", since > asked ? since - asked : 0},
                                   {"next", next},
                                   {"seen", journal.next()},
                                   {"batches", batches}});
}

web_api::response web_api::control(const request &r)
{
    // Only the page itself may change anything: a browser sends the Origin
    // of the page that asks, so another site's page carries that site's.
    // A request with no Origin is no browser's page but a script, which
    // could as well use SCPI: it is taken when its body is declared JSON,
    // which no page of another site can send without the preflight this
    // server never grants (an old browser's cross-site form cannot either).
    // Either way the Host must be one of the instrument's own names: a
    // name rebound to its address is another site's.
    const std::string media = upper(r.content_type.substr(0, r.content_type.find(';')));
    const bool script = r.origin.empty() && media == "APPLICATION/JSON";
    if (!own_name(host_name(r.host), options_.names) || (!script && r.origin != "http://" + r.host))
        return refusal(403, "a change is taken only from the instrument's own page, by its address or its own name,"
                            " or from a script that sends no Origin and Content-Type: application/json");
    if (!options_.control)
        return refusal(403, "the page is read-only: the server was not started with --web-control");
    if (r.body_too_long)
        return refusal(413, "a request body of at most " + std::to_string(largest_body) + " bytes");
    if (!driving)
        return refusal(503, "the server is ending, or the bus was taken from under it");
    if (owner_.locked())
        return refusal(423, "a VXI-11 client holds the instrument's lock");
    const json body = json::parse(r.body, nullptr, false);
    if (!body.is_object())
        return refusal(400, "the body is a JSON object");
    std::string message;
    if (r.url == "/api/run") {
        const auto given = body.find("action");
        const std::string action = given != body.end() && given->is_string() ? given->get<std::string>() : "";
        if (action == "start")
            message = "INIT";
        else if (action == "stop")
            message = "ABOR";
        else
            return refusal(400, "\"action\" is \"start\" or \"stop\"");
    } else if (r.url == "/api/settings") {
        static const std::pair<const char *, const char *> names[] = {
            {"threshold", "THR"}, {"polarity", "POL"}, {"period", "PER"}};
        for (const auto &[name, header] : names) {
            if (!body.contains(name))
                continue;
            if (!body[name].is_number_integer())
                return refusal(400, std::string("\"") + name + "\" is a whole number");
            message += (message.empty() ? "" : ";:") + std::string(header) + " " + std::to_string(body[name].get<long long>());
        }
        if (message.empty())
            return refusal(400, "name a \"threshold\", \"polarity\" or \"period\"");
    } else {
        return refusal(404, "no such resource");
    }
    scpi_client client(owner_); // these commands take no words
    client.feed(message.data(), message.size(), true);
    const std::deque<scpi_error> &errors = client.session.errors;
    log_("web control from " + r.peer + ": " + message + (errors.empty() ? "" : " (refused: " + errors.front().text + ")"));
    if (!errors.empty())
        return refusal(409, std::to_string(errors.front().code) + ", " + errors.front().text);
    return json_response(200, json{{"done", message}});
}
