#include "http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/socket.h>
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
#include "text_case.h"

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t largest_body = 4096;         // a control request's JSON
constexpr std::size_t request_memory = 16 * 1024;  // a request's headers, and what MHD keeps for it
constexpr std::size_t counts_per_answer = 20000;   // /api/counts gives at most this many at once

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
http_server::response json_response(unsigned status, const json &j)
{
    return {status, "application/json", j.dump(-1, ' ', false, json::error_handler_t::replace)};
}

http_server::response refusal(unsigned status, const std::string &why)
{
    return json_response(status, json{{"error", why}});
}

// Per request: its body as it arrives.
struct request_state {
    std::string body;
    bool too_long = false;
};

std::string header(MHD_Connection *c, const char *name)
{
    const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v != nullptr ? v : "";
}

std::string peer_of(MHD_Connection *c)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr)
        return "?";
    sockaddr_storage a{};
    std::memcpy(&a, info->client_addr,
                info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    return address_text(a);
}

MHD_Result answer(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                  const char *upload_data, size_t *upload_data_size, void **context)
{
    auto &server = *static_cast<http_server *>(cls);
    if (*context == nullptr) { // the headers are in; the body, if any, comes next
        *context = new request_state;
        return MHD_YES;
    }
    auto &state = *static_cast<request_state *>(*context);
    if (*upload_data_size > 0) {
        if (state.body.size() + *upload_data_size > largest_body)
            state.too_long = true;
        else
            state.body.append(upload_data, *upload_data_size);
        *upload_data_size = 0;
        return MHD_YES;
    }
    http_server::request r;
    r.method = method;
    r.url = url;
    r.origin = header(connection, "Origin");
    r.host = header(connection, "Host");
    r.content_type = header(connection, "Content-Type");
    r.peer = peer_of(connection);
    r.body = std::move(state.body);
    r.body_too_long = state.too_long;
    const char *since = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "since");
    r.query_since = since != nullptr ? since : "";
    http_server::response out;
    try {
        out = server.handle(r);
    } catch (const std::exception &e) { // a fault of ours: this request fails, the server serves on
        server.log_fault(r, e.what());
        out = refusal(500, "the server could not answer this request");
    }
    MHD_Response *response =
        MHD_create_response_from_buffer(out.body.size(), const_cast<char *>(out.body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", out.type.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    // The page may not be framed by another site (clickjacking its buttons).
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    const MHD_Result queued = MHD_queue_response(connection, out.status, response);
    MHD_destroy_response(response);
    return queued;
}

void completed(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
{
    delete static_cast<request_state *>(*context);
    *context = nullptr;
    static_cast<http_server *>(cls)->request_done(connection);
}

void connection_event(void *cls, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode code)
{
    static_cast<http_server *>(cls)->connection_event(connection, code == MHD_CONNECTION_NOTIFY_STARTED);
}

MHD_Result accept_policy(void *cls, const sockaddr *address, socklen_t length)
{
    const auto &options = *static_cast<const http_options *>(cls);
    if (!options.allow_given)
        return MHD_YES;
    sockaddr_storage a{};
    std::memcpy(&a, address, std::min<std::size_t>(length, sizeof a));
    return allowed(a, options.allow) ? MHD_YES : MHD_NO;
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

bool http_available() { return true; }

http_server::http_server(bus_owner &owner, http_options options, http_view view,
                         std::function<void(const std::string &)> log)
    : owner_(owner), options_(std::move(options)), view_(std::move(view)), log_(std::move(log))
{
}

http_server::~http_server() { stop(); }

bool http_server::listen_on(const listen_address &a, std::string &bound, std::string &error)
{
    const int fd = open_listener(a, -1, bound, error);
    if (fd < 0)
        return false;
    MHD_Daemon *d = MHD_start_daemon(
        MHD_USE_EPOLL, 0, accept_policy, &options_, answer, this, MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, options_.max_connections, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(options_.idle_timeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT, request_memory,
        MHD_OPTION_NOTIFY_COMPLETED, completed, this, MHD_OPTION_NOTIFY_CONNECTION, ::connection_event, this,
        MHD_OPTION_END);
    if (d == nullptr) {
        close(fd);
        error = "libmicrohttpd cannot serve " + bound;
        return false;
    }
    daemons_.push_back(d);
    return true;
}

void http_server::stop()
{
    for (MHD_Daemon *d : daemons_)
        MHD_stop_daemon(d);
    daemons_.clear();
}

void http_server::log_fault(const request &r, const char *what)
{
    log_("the web page's " + r.method + " " + r.url + " from " + r.peer + " failed: " + what);
}

// libmicrohttpd's own time-out counts any byte as activity: a client that
// trickles a request would hold its connection for ever. Each connection
// must complete a request within the idle time-out of its start or of its
// last request.
void http_server::connection_event(MHD_Connection *c, bool started)
{
    if (started)
        deadlines_[c] = std::chrono::steady_clock::now() + options_.idle_timeout;
    else
        deadlines_.erase(c);
}

void http_server::request_done(MHD_Connection *c)
{
    const auto d = deadlines_.find(c);
    if (d != deadlines_.end())
        d->second = std::chrono::steady_clock::now() + options_.idle_timeout;
}

void http_server::close_slow_connections()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto d = deadlines_.begin(); d != deadlines_.end();) {
        if (d->second > now) {
            ++d;
            continue;
        }
        // Ended from under libmicrohttpd, which finds the end at its next read.
        const MHD_ConnectionInfo *info = MHD_get_connection_info(d->first, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr)
            shutdown(info->connect_fd, SHUT_RDWR);
        log_("a web connection is closed: no request completed in " + std::to_string(options_.idle_timeout.count()) +
             " s");
        d = deadlines_.erase(d);
    }
}

void http_server::prepare(std::vector<pollfd> &fds, int &timeout_ms)
{
    if (!deadlines_.empty()) {
        auto first = deadlines_.begin()->second;
        for (const auto &[c, due] : deadlines_)
            first = std::min(first, due);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first - std::chrono::steady_clock::now()).count();
        const int ms = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
        if (timeout_ms < 0 || ms < timeout_ms)
            timeout_ms = ms;
    }
    for (MHD_Daemon *d : daemons_) {
        const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_EPOLL_FD);
        fds.push_back({info->epoll_fd, POLLIN, 0});
        MHD_UNSIGNED_LONG_LONG due = 0;
        if (MHD_get_timeout(d, &due) == MHD_YES && (timeout_ms < 0 || due < static_cast<unsigned long long>(timeout_ms)))
            timeout_ms = static_cast<int>(due);
    }
}

void http_server::dispatch(const pollfd *, std::size_t)
{
    // MHD_run does what is ready and returns; run each turn, it also ends
    // connections whose time is up.
    close_slow_connections();
    for (MHD_Daemon *d : daemons_)
        MHD_run(d);
}

http_server::response http_server::handle(const request &r)
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

http_server::response http_server::file(const std::string &path, const std::string &type)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {404, "text/plain; charset=utf-8", path + " is not installed\n"};
    std::ostringstream content;
    content << in.rdbuf();
    return {200, type, content.str()};
}

http_server::response http_server::status(const request &r)
{
    const bool drive = !view_.may_drive || view_.may_drive();
    json j;
    j["identity"] = std::string(scpi_identity) + program_version();
    j["version"] = program_version();
    j["running"] = owner_.running;
    j["points"] = drive ? json(owner_points(owner_)) : json(nullptr);
    j["held"] = owner_.hold.held.size();
    j["hold_capacity"] = owner_.hold.capacity;
    j["lost"] = {{"words", owner_.words_lost}, {"gaps", owner_.gaps}};
    j["settings"] = known(owner_.settings);
    j["clients"] = view_.clients ? view_.clients() : std::vector<std::string>{};
    j["resources"] = view_.resources ? view_.resources(host_name(r.host)) : std::vector<std::string>{};
    j["locked"] = owner_.locked();
    j["web_control"] = options_.control;
    j["counts_seen"] = owner_.seen.seen();
    return json_response(200, j);
}

http_server::response http_server::counts(const request &r)
{
    std::uint64_t since = owner_.seen.oldest();
    if (!r.query_since.empty()) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(r.query_since.c_str(), &end, 10);
        if (errno != 0 || end == r.query_since.c_str() || *end != '\0' || r.query_since[0] == '-')
            return refusal(400, "since= takes the index of a count: a number from 0");
        since = std::min<std::uint64_t>(std::max<std::uint64_t>(n, since), owner_.seen.seen()); // none seen yet
    }
    const std::uint64_t next = std::min<std::uint64_t>(owner_.seen.seen(), since + counts_per_answer);
    // Counts read together share one time: [time, [counts...]] each.
    json batches = json::array();
    for (std::uint64_t i = since; i < next;) {
        const std::int64_t at = owner_.seen.at(i).read_at_ms;
        json run = json::array();
        for (; i < next && owner_.seen.at(i).read_at_ms == at; ++i)
            run.push_back(owner_.seen.at(i).count);
        batches.push_back(json::array({at, std::move(run)}));
    }
    return json_response(200, json{{"from", since}, {"next", next}, {"seen", owner_.seen.seen()}, {"batches", batches}});
}

http_server::response http_server::control(const request &r)
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
    if (view_.may_drive && !view_.may_drive())
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
