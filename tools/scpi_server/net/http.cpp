#include "net/http.h"

#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "net/http_api.h"

namespace {

constexpr std::size_t request_memory = 16 * 1024; // a request's headers, and what MHD keeps for it
// libmicrohttpd's own time-out, this many seconds after the idle time-out (see completed()).
constexpr unsigned library_time_out_after = 1;

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

web_api::request request_of(MHD_Connection *connection, const char *url, const char *method, request_state &state)
{
    web_api::request r;
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
    return r;
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

class web_page final : public transport, public loop_source {
public:
    explicit web_page(transport_context &c) : context_(c), api_(c.owner, options_of(c.settings), c.all, c.log) {}
    ~web_page() override
    {
        for (MHD_Daemon *d : daemons_)
            MHD_stop_daemon(d);
    }

    bool listen(std::string &said, std::string &error) override;
    std::string start() override;
    void stop_reading() override { api_.driving = false; }

    void prepare(std::vector<pollfd> &fds, int &timeout_ms) override;
    void dispatch(const pollfd *fds, std::size_t count) override;

private:
    transport_context &context_;
    web_api api_;
    std::vector<MHD_Daemon *> daemons_;
    // When each connection must have completed a request.
    std::map<MHD_Connection *, std::chrono::steady_clock::time_point> deadlines_;

    static http_options options_of(const transport_settings &s);
    static MHD_Result answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                             const char *, const char *upload_data, size_t *upload_data_size, void **context);
    static void completed(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode);
    static void connection_event(void *cls, MHD_Connection *c, void **, MHD_ConnectionNotificationCode code);
    void close_slow_connections();
};

http_options web_page::options_of(const transport_settings &s)
{
    http_options o;
    o.allow_given = s.admission.allow_given;
    o.allow = s.admission.allow;
    o.control = s.web_control;
    o.names = s.web_names;
    o.web_root = s.web_root;
    o.idle_timeout = std::min(o.idle_timeout, s.admission.idle_timeout);
    return o;
}

bool web_page::listen(std::string &said, std::string &error)
{
    said.clear();
    const http_options &o = api_.options();
    for (const listen_address &a : context_.settings.http) {
        std::string bound;
        const int fd = open_listener(a, -1, bound, error);
        if (fd < 0)
            return false;
        MHD_Daemon *d = MHD_start_daemon(
            MHD_USE_EPOLL, 0, accept_policy, const_cast<http_options *>(&o), answer, this,
            MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, o.max_connections,
            MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(o.idle_timeout.count()) + library_time_out_after,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, request_memory, MHD_OPTION_NOTIFY_COMPLETED, completed, this,
            MHD_OPTION_NOTIFY_CONNECTION, connection_event, this, MHD_OPTION_END);
        if (d == nullptr) {
            close(fd);
            error = "libmicrohttpd cannot serve " + bound;
            return false;
        }
        daemons_.push_back(d);
        said += (said.empty() ? "" : ", ") + std::string("the web page on http://") + bound + "/" +
                (o.control ? " (with control)" : "");
    }
    if (!daemons_.empty())
        context_.loop.add_source(*this);
    return true;
}

std::string web_page::start()
{
    if (daemons_.empty())
        return "";
    const std::string &root = api_.options().web_root;
    return access((root + "/index.html").c_str(), R_OK) == 0
               ? "the web page's files are in " + root
               : "no web page's files in " + root + " (--web-root DIR names them): / answers 404";
}

MHD_Result web_page::answer(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                            const char *upload_data, size_t *upload_data_size, void **context)
{
    auto &page = *static_cast<web_page *>(cls);
    if (*context == nullptr) { // the headers are in; the body, if any, comes next
        *context = new request_state;
        return MHD_YES;
    }
    auto &state = *static_cast<request_state *>(*context);
    if (*upload_data_size > 0) {
        if (state.body.size() + *upload_data_size > web_api::largest_body)
            state.too_long = true;
        else
            state.body.append(upload_data, *upload_data_size);
        *upload_data_size = 0;
        return MHD_YES;
    }
    const web_api::response out = page.api_.handle(request_of(connection, url, method, state));
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

// libmicrohttpd's own time-out counts any byte as activity: a client that
// trickles a request would hold its connection for ever. Each connection
// must complete a request within the idle time-out of its start or of its
// last request. The library's own time-out is only a backstop, a second
// later (see listen()): set to the same time, it could end a connection in the
// same turn of the loop as this one's, a millisecond sooner, and the close
// would go unsaid.
void web_page::completed(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
{
    delete static_cast<request_state *>(*context);
    *context = nullptr;
    auto &page = *static_cast<web_page *>(cls);
    const auto d = page.deadlines_.find(connection);
    if (d != page.deadlines_.end())
        d->second = std::chrono::steady_clock::now() + page.api_.options().idle_timeout;
}

void web_page::connection_event(void *cls, MHD_Connection *c, void **, MHD_ConnectionNotificationCode code)
{
    auto &page = *static_cast<web_page *>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        page.deadlines_[c] = std::chrono::steady_clock::now() + page.api_.options().idle_timeout;
    else
        page.deadlines_.erase(c);
}

void web_page::close_slow_connections()
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
        context_.log("a web connection is closed: no request completed in " +
                     std::to_string(api_.options().idle_timeout.count()) + " s");
        d = deadlines_.erase(d);
    }
}

void web_page::prepare(std::vector<pollfd> &fds, int &timeout_ms)
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

void web_page::dispatch(const pollfd *, std::size_t)
{
    // MHD_run does what is ready and returns; run each turn, it also ends
    // connections whose time is up.
    close_slow_connections();
    for (MHD_Daemon *d : daemons_)
        MHD_run(d);
}

} // namespace

std::unique_ptr<transport> make_http(transport_context &context) { return std::make_unique<web_page>(context); }
