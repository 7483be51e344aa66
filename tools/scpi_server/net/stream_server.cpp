#include "net/stream_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/send_queue.h"

namespace {

constexpr auto accept_pause = std::chrono::seconds(1);        // out of descriptors: try again after this
constexpr auto closing_limit = std::chrono::seconds(5);       // for a peer's TCP to acknowledge the last bytes
constexpr auto acknowledgement_look = std::chrono::milliseconds(10); // how often, meanwhile, its TCP is asked

} // namespace

struct stream_server::connection {
    connection_id id;
    int fd;
    std::string peer;
    std::unique_ptr<stream_protocol> protocol;
    bool peer_done = false; // the peer shut its side
    bool closing = false;   // waiting for the peer's TCP to acknowledge the last bytes
    bool doomed = false;    // to be closed once the server's call under way returns
    bool delivered = false; // ... and whether its peer had everything
    std::string why;
    event_loop::clock::time_point last_activity = event_loop::clock::now();
    event_loop::clock::time_point closing_since;
    event_loop::timer_id idle_timer = 0, look_timer = 0;
    // What its peer's TCP may not have acknowledged yet: what the kernel
    // last said, and everything sent since. Zero: the kernel need not be asked.
    std::size_t unacknowledged_at_most = 0;
    byte_queue &output() { return protocol->output(); }
};

// Held by every call into the server: a close asked for meanwhile waits
// until the outermost returns.
class stream_server::call_guard {
public:
    explicit call_guard(stream_server &s) : s_(s) { ++s_.depth_; }
    ~call_guard()
    {
        if (--s_.depth_ == 0 && s_.doomed_)
            s_.reap();
    }
    call_guard(const call_guard &) = delete;
    call_guard &operator=(const call_guard &) = delete;

private:
    stream_server &s_;
};

stream_server::stream_server(event_loop &loop, stream_settings settings, protocol_maker make,
                             std::function<void(const std::string &)> log)
    : loop_(loop), settings_(std::move(settings)), make_(std::move(make)), log_(std::move(log))
{
}

// The transport closes its connections first (close_all): what is left
// here goes without a word to its protocol, whose owner may be gone.
stream_server::~stream_server()
{
    for (auto &[id, c] : connections_) {
        loop_.forget(c->fd);
        loop_.cancel(c->idle_timer);
        loop_.cancel(c->look_timer);
        ::close(c->fd);
    }
    connections_.clear();
    stop_listening();
    loop_.cancel(accept_retry_);
}

stream_server::connection *stream_server::connection_of(connection_id id) const
{
    const auto c = connections_.find(id);
    return c == connections_.end() ? nullptr : c->second.get();
}

int stream_server::listen_on(const listen_address &a, int port, std::string &bound, std::string &error)
{
    const int fd = open_listener(a, port, bound, error);
    if (fd < 0)
        return -1;
    listeners_.push_back(fd);
    loop_.watch(fd, POLLIN, [this, fd](short) {
        call_guard guard(*this);
        accept_from(fd);
    });
    return bound_port(fd);
}

void stream_server::stop_listening()
{
    for (int fd : listeners_) {
        loop_.forget(fd);
        ::close(fd);
    }
    listeners_.clear();
}

void stream_server::stop_reading()
{
    call_guard guard(*this);
    reading_ = false;
    for (auto &[id, c] : connections_)
        if (!c->doomed)
            update_events(*c);
}

bool stream_server::busy() const
{
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const auto &c) { return c.second->protocol->output().backlog() > 0; });
}

std::vector<sockaddr_storage> stream_server::addresses() const
{
    std::vector<sockaddr_storage> out;
    for (int fd : listeners_)
        out.push_back(local_address(fd));
    return out;
}

std::vector<stream_server::connection_id> stream_server::connections() const
{
    std::vector<connection_id> ids;
    for (const auto &[id, c] : connections_)
        if (!c->doomed)
            ids.push_back(id);
    return ids;
}

const std::string &stream_server::peer(connection_id id) const
{
    static const std::string none;
    const connection *c = connection_of(id);
    return c != nullptr ? c->peer : none;
}

void stream_server::pause_accepting(bool paused)
{
    accept_paused_ = paused;
    for (int fd : listeners_)
        loop_.change(fd, paused ? 0 : POLLIN);
    loop_.cancel(accept_retry_);
    accept_retry_ = 0;
    if (paused) // descriptors may free elsewhere in the system, too
        accept_retry_ = loop_.after(accept_pause, [this] {
            accept_retry_ = 0;
            pause_accepting(false);
        });
}

void stream_server::refuse(int fd, const std::string &peer, const std::string &why, bool tell)
{
    if (tell) {
        // One line, never a silent reset; a peer that cannot take it at once does not get it.
        const std::string line = settings_.told(why);
        const ssize_t sent = send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent;
        shutdown(fd, SHUT_WR);
    }
    ::close(fd);
    log_(settings_.name + " from " + peer + " refused (" + why + ")");
}

void stream_server::accept_from(int listener)
{
    sockaddr_storage address{};
    std::string why;
    const int fd = accept_connection(listener, address, why);
    if (fd < 0) {
        if (!why.empty()) {
            log_("cannot accept a " + settings_.name + ": " + why +
                 "; accepting waits until a descriptor is free, and where none is freed here, accepting waits a "
                 "second and tries again");
            pause_accepting(true);
        }
        return;
    }
    const std::string peer = address_text(address);
    if (settings_.admission.allow_given && !allowed(address, settings_.admission.allow))
        return refuse(fd, peer, "not in --allow", false);
    if (connections_.size() >= settings_.most)
        return refuse(fd, peer, settings_.too_many, static_cast<bool>(settings_.told));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &settings_.send_buffer, sizeof settings_.send_buffer);
    if (settings_.no_delay) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    const connection_id id = ++last_id_;
    auto c = std::make_unique<connection>();
    c->id = id;
    c->fd = fd;
    c->peer = peer;
    c->protocol = make_(id, peer);
    connection &made = *c;
    connections_[id] = std::move(c);
    loop_.watch(fd, POLLIN, [this, id](short revents) {
        call_guard guard(*this);
        if (connection *k = connection_of(id); k != nullptr && !k->doomed)
            serve(*k, revents);
    });
    watch_idle(made, made.last_activity + settings_.admission.idle_timeout);
    log_(settings_.name + " from " + peer + " opened");
}

void stream_server::serve(connection &c, short revents)
{
    if (c.closing) { // only its hang-up is polled: it is gone
        const bool delivered = unacknowledged(c.fd) == 0;
        return close_connection(c.id, delivered ? "the client closed it" : "the client closed it before receiving everything",
                     delivered);
    }
    if ((revents & POLLERR) != 0)
        return close_connection(c.id, "the connection failed", false);
    if ((revents & (POLLIN | POLLHUP)) != 0) {
        if (!reading_) // hung up while the server ends: what it had is what it has
            return close_connection(c.id, "the connection failed", peer_has_everything(c.id));
        if (!receive(c))
            return close_connection(c.id, "the connection failed", false);
    }
    if (c.doomed)
        return;
    if (!transmit(c))
        return close_connection(c.id, "the connection failed", false);
    after_activity(c);
}

// Reads what the peer sent; false when the connection failed.
bool stream_server::receive(connection &c)
{
    char buffer[65536];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    const std::uint64_t before = c.protocol->messages();
    if (n == 0) {
        c.peer_done = true;
        c.protocol->peer_closed(); // the end of the connection ends its last message
    } else {
        c.protocol->received(buffer, static_cast<std::size_t>(n));
    }
    if (c.protocol->messages() != before)
        c.last_activity = event_loop::clock::now();
    return true;
}

// Sends what is queued; false when the connection failed.
bool stream_server::transmit(connection &c)
{
    std::size_t moved = 0;
    const bool alive = send_some(c.fd, c.output(), moved);
    c.unacknowledged_at_most += moved;
    if (moved > 0)
        c.last_activity = event_loop::clock::now(); // a peer taking a long response is not idle
    return alive;
}

void stream_server::after_activity(connection &c)
{
    if (c.peer_done && c.output().backlog() == 0 && !c.protocol->input_waits() && !c.closing)
        return settle_closing(c);
    update_events(c);
}

// The send bound: the kernel is asked only when it could be passed, or a
// turn would cost a system call more.
bool stream_server::input_held_back(connection &c)
{
    if (c.output().backlog() >= settings_.unsent_bound)
        return true;
    if (c.unacknowledged_at_most <= settings_.unacknowledged_bound)
        return false;
    const int sent = unacknowledged(c.fd);
    if (sent >= 0)
        c.unacknowledged_at_most = static_cast<std::size_t>(sent);
    return c.unacknowledged_at_most > settings_.unacknowledged_bound;
}

void stream_server::update_events(connection &c)
{
    if (c.closing)
        return;
    const bool held = input_held_back(c);
    short events = 0;
    if (reading_ && !c.peer_done && !held && !c.protocol->input_waits())
        events |= POLLIN;
    if (c.output().backlog() > 0)
        events |= POLLOUT;
    loop_.change(c.fd, events);
    // No event tells that its peer's TCP acknowledged: it is asked again
    // while the connection is held back for it.
    if (held && c.output().backlog() == 0 && c.look_timer == 0)
        c.look_timer = loop_.after(acknowledgement_look, [this, id = c.id] {
            call_guard guard(*this);
            if (connection *k = connection_of(id); k != nullptr && !k->doomed) {
                k->look_timer = 0;
                update_events(*k);
            }
        });
}

// The idle time-out, due at `due`: when it comes, a connection that
// completed a message (or took output) since is looked at again at its own
// time, and one that waits for another client is not idle.
void stream_server::watch_idle(connection &c, event_loop::clock::time_point due)
{
    c.idle_timer = loop_.at(due, [this, id = c.id] {
        call_guard guard(*this);
        connection *k = connection_of(id);
        if (k == nullptr || k->doomed)
            return;
        k->idle_timer = 0;
        const auto now = event_loop::clock::now();
        const auto limit = settings_.admission.idle_timeout;
        if (k->closing)
            return;
        if (k->protocol->awaits_another())
            return watch_idle(*k, now + limit);
        if (now - k->last_activity < limit)
            return watch_idle(*k, k->last_activity + limit);
        close_connection(id, std::string("idle: no ") + settings_.idle_unit + " in " + std::to_string(limit.count()) + " s",
              false);
    });
}

// Closed cleanly by its peer: what it was sent is its own once its TCP has
// acknowledged every byte, which its TCP is asked until it has or the time
// for it is over.
void stream_server::settle_closing(connection &c)
{
    if (!c.closing) {
        c.closing = true;
        c.closing_since = event_loop::clock::now();
        loop_.change(c.fd, 0);
    }
    const int left = unacknowledged(c.fd);
    if (left == 0)
        return close_connection(c.id, "the client closed it", true);
    if (left < 0 || event_loop::clock::now() - c.closing_since > closing_limit)
        return close_connection(c.id, "the client closed it before receiving everything", false);
    c.look_timer = loop_.after(acknowledgement_look, [this, id = c.id] {
        call_guard guard(*this);
        if (connection *k = connection_of(id); k != nullptr && !k->doomed) {
            k->look_timer = 0;
            settle_closing(*k);
        }
    });
}

void stream_server::flush(connection_id id)
{
    call_guard guard(*this);
    connection *c = connection_of(id);
    if (c == nullptr || c->doomed || c->closing)
        return;
    if (!transmit(*c))
        return close_connection(id, "the connection failed", false);
    after_activity(*c);
}

bool stream_server::peer_has_everything(connection_id id)
{
    connection *c = connection_of(id);
    if (c == nullptr || c->output().backlog() > 0)
        return false;
    if (c->unacknowledged_at_most == 0)
        return true; // nothing sent since the kernel last said all was acknowledged
    const int left = unacknowledged(c->fd);
    if (left >= 0)
        c->unacknowledged_at_most = static_cast<std::size_t>(left);
    return left == 0;
}

void stream_server::close_connection(connection_id id, const std::string &why, bool delivered)
{
    call_guard guard(*this);
    connection *c = connection_of(id);
    if (c == nullptr || c->doomed)
        return; // the first reason stands
    c->doomed = true;
    c->delivered = delivered;
    c->why = why;
    doomed_ = true;
}

void stream_server::close_all(const std::string &why)
{
    call_guard guard(*this);
    for (const connection_id id : connections())
        close_connection(id, why, peer_has_everything(id));
}

void stream_server::close_now(connection &c)
{
    // Its protocol settles first, while the connection can still be asked about.
    const std::string said = c.protocol->closing(c.delivered, c.why);
    loop_.forget(c.fd);
    loop_.cancel(c.idle_timer);
    loop_.cancel(c.look_timer);
    ::close(c.fd);
    log_(settings_.name + " from " + c.peer + " closed (" + c.why + ")" + said);
    connections_.erase(c.id);
    if (accept_paused_)
        pause_accepting(false); // a descriptor is free
}

void stream_server::reap()
{
    ++depth_; // what a protocol's closing asks meanwhile waits its turn here
    while (doomed_) {
        doomed_ = false;
        std::vector<connection_id> ids;
        for (const auto &[id, c] : connections_)
            if (c->doomed)
                ids.push_back(id);
        for (const connection_id id : ids)
            if (connection *c = connection_of(id))
                close_now(*c);
    }
    --depth_;
}
