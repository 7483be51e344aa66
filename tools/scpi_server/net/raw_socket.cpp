#include "raw_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "scpi/client.h"
#include "send_queue.h"

namespace {

constexpr std::size_t output_bound = 1024 * 1024;   // past it, the connection's input waits
constexpr int socket_buffer = 64 * 1024;            // a connection's send buffer in the kernel
constexpr auto closing_limit = std::chrono::seconds(5); // for a client's TCP to acknowledge the last bytes
constexpr auto closing_look = std::chrono::milliseconds(20); // how often, meanwhile, its TCP is asked
constexpr auto accept_pause = std::chrono::seconds(1); // out of descriptors: try again after this

} // namespace

struct raw_connection {
    raw_connection(int fd_, std::string peer_, bus_owner &owner) : fd(fd_), peer(std::move(peer_)), client(owner) {}
    int fd;
    std::string peer;
    scpi_client client;
    bool peer_done = false; // the peer shut its side
    bool closing = false;   // waiting for the peer's TCP to acknowledge the last bytes
    event_loop::clock::time_point last_message = event_loop::clock::now();
    event_loop::clock::time_point closing_since;
    event_loop::timer_id idle_timer = 0, closing_timer = 0;
    std::size_t backlog() const { return client.output().backlog(); }
};

raw_socket_server::raw_socket_server(event_loop &loop, bus_owner &owner, raw_socket_options options,
                                     std::function<void(const std::string &)> log)
    : loop_(loop), owner_(owner), options_(std::move(options)), log_(std::move(log)),
      lock_waiting_(owner.when_released([this] { resume_waiting(); }))
{
}

raw_socket_server::~raw_socket_server()
{
    owner_.forget_waiting(lock_waiting_);
    close_all("the server is ending");
    stop_listening();
    loop_.cancel(accept_retry_);
}

bool raw_socket_server::listen_on(const listen_address &a, std::string &bound, std::string &error)
{
    const int fd = open_listener(a, -1, bound, error);
    if (fd < 0)
        return false;
    listeners_.push_back(fd);
    loop_.watch(fd, POLLIN, [this, fd](short) { accept_from(fd); });
    return true;
}

void raw_socket_server::stop_listening()
{
    for (int fd : listeners_) {
        loop_.forget(fd);
        close(fd);
    }
    listeners_.clear();
}

bool raw_socket_server::busy() const
{
    return std::any_of(connections_.begin(), connections_.end(), [](const auto &c) { return c->backlog() > 0; });
}

void raw_socket_server::pause_accepting(bool paused)
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

void raw_socket_server::refuse(int fd, const std::string &peer, const std::string &why, bool tell)
{
    if (tell) {
        // One SCPI error line, never a silent reset; a client that cannot
        // take it at once does not get it.
        const std::string line = std::to_string(code_of(scpi_err::system_error)) + ",\"" +
                                 error_message(scpi_err::system_error, why) + "\"\n";
        const ssize_t sent = send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent;
        shutdown(fd, SHUT_WR);
    }
    close(fd);
    log_("connection from " + peer + " refused (" + why + ")");
}

void raw_socket_server::accept_from(int listener)
{
    sockaddr_storage peer{};
    std::string why;
    const int fd = accept_connection(listener, peer, why);
    if (fd < 0) {
        if (!why.empty()) {
            log_("cannot accept a connection: " + why + "; accepting waits until a descriptor is free");
            pause_accepting(true);
        }
        return;
    }
    const std::string name = address_text(peer);
    if (options_.allow_given && !allowed(peer, options_.allow))
        return refuse(fd, name, "not in --allow", false);
    if (connections_.size() >= options_.most)
        return refuse(fd, name,
                      std::to_string(options_.most) + " clients already, the most --max-clients allows", true);
    // The kernel's part of the output bound.
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
    connections_.push_back(std::make_unique<raw_connection>(fd, name, owner_));
    raw_connection *c = connections_.back().get();
    // A message shows the responses before it arrived: everything sent is
    // acknowledged and nothing waits here.
    c->client.shows_delivery = [c] { return all_acknowledged(c->fd, c->client.output()); };
    loop_.watch(fd, POLLIN, [this, c](short revents) { serve(*c, revents); });
    watch_idle(*c, c->last_message + options_.idle_timeout);
    log_("connection from " + name + " opened");
}

void raw_socket_server::update_events(raw_connection &c)
{
    short events = 0;
    if (reading_ && !c.peer_done && c.backlog() < output_bound && !c.client.waiting())
        events |= POLLIN;
    if (c.backlog() > 0)
        events |= POLLOUT;
    loop_.change(c.fd, events);
}

void raw_socket_server::serve(raw_connection &c, short revents)
{
    if (c.closing) { // only its hang-up is polled: it is gone
        const bool delivered = unacknowledged(c.fd) == 0;
        return close_connection(c, delivered ? "the client closed it" : "the client closed it before receiving everything",
                                delivered);
    }
    bool alive = true;
    if (reading_ && (revents & (POLLIN | POLLHUP | POLLERR)))
        alive = receive(c);
    else if (revents & POLLERR)
        alive = false;
    if (alive)
        alive = transmit(c);
    if (!alive)
        return close_connection(c, "the connection failed", false);
    if (c.peer_done && c.backlog() == 0 && !c.client.waiting() && !c.closing)
        return watch_closing(c);
    update_events(c);
}

// Reads what the client sent; false when the connection failed.
bool raw_socket_server::receive(raw_connection &c)
{
    char buffer[16384];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    const std::uint64_t before = c.client.messages();
    c.peer_done = n == 0;
    // The end of the connection ends its last message.
    c.client.feed(buffer, static_cast<std::size_t>(n), c.peer_done);
    if (c.client.messages() != before)
        c.last_message = event_loop::clock::now();
    return true;
}

// Sends what is queued; false when the connection failed.
bool raw_socket_server::transmit(raw_connection &c)
{
    std::size_t moved = 0;
    const bool alive = send_some(c.fd, c.client.output(), moved);
    if (moved > 0)
        c.last_message = event_loop::clock::now(); // a client reading a long response is not idle
    return alive;
}

void raw_socket_server::close_connection(raw_connection &c, const std::string &why, bool delivered)
{
    const std::string said = delivery_ticket::said(c.client.settle(delivered));
    loop_.forget(c.fd);
    loop_.cancel(c.idle_timer);
    loop_.cancel(c.closing_timer);
    close(c.fd);
    log_("connection from " + c.peer + " closed (" + why + ")" + said);
    connections_.erase(std::find_if(connections_.begin(), connections_.end(),
                                    [&](const auto &p) { return p.get() == &c; }));
    if (accept_paused_)
        pause_accepting(false); // a descriptor is free
}

void raw_socket_server::close_all(const std::string &why)
{
    // At the end, a response the client's TCP has acknowledged whole is the
    // client's, as on VXI-11: it is not spooled as well.
    while (!connections_.empty()) {
        raw_connection &c = *connections_.back();
        close_connection(c, why, all_acknowledged(c.fd, c.client.output()));
    }
}

// The idle time-out, due at `due`: when it comes, a connection that
// completed a message (or took output) since is looked at again at its
// own time, and one that waits for the lock is not idle.
void raw_socket_server::watch_idle(raw_connection &c, event_loop::clock::time_point due)
{
    raw_connection *p = &c;
    c.idle_timer = loop_.at(due, [this, p] {
        p->idle_timer = 0;
        const auto now = event_loop::clock::now();
        if (p->closing)
            return;
        if (p->client.waiting())
            return watch_idle(*p, now + options_.idle_timeout);
        if (now - p->last_message < options_.idle_timeout)
            return watch_idle(*p, p->last_message + options_.idle_timeout);
        close_connection(*p, "idle: no message in " + std::to_string(options_.idle_timeout.count()) + " s", false);
    });
}

// Closed cleanly by the client: its words are its own once its TCP has
// acknowledged every byte sent, which its TCP is asked until it has or
// the time for it is over.
void raw_socket_server::watch_closing(raw_connection &c)
{
    if (!c.closing) {
        c.closing = true;
        c.closing_since = event_loop::clock::now();
        loop_.change(c.fd, 0);
    }
    const int left = unacknowledged(c.fd);
    if (left == 0)
        return close_connection(c, "the client closed it", true);
    if (left < 0 || event_loop::clock::now() - c.closing_since > closing_limit)
        return close_connection(c, "the client closed it before receiving everything", false);
    raw_connection *p = &c;
    c.closing_timer = loop_.after(closing_look, [this, p] {
        p->closing_timer = 0;
        watch_closing(*p);
    });
}

// The lock was given back: the messages that waited for it run.
void raw_socket_server::resume_waiting()
{
    if (!reading_)
        return;
    std::vector<raw_connection *> waiting;
    for (const auto &c : connections_)
        if (c->client.waiting())
            waiting.push_back(c.get());
    for (raw_connection *c : waiting) {
        c->client.resume();
        if (!transmit(*c))
            continue; // its end is seen at the loop's next turn
        if (c->peer_done && c->backlog() == 0 && !c->client.waiting())
            watch_closing(*c); // may close it: nothing after this uses it
        else
            update_events(*c);
    }
}

std::vector<std::string> raw_socket_server::describe_connections() const
{
    std::vector<std::string> out;
    for (const auto &c : connections_)
        out.push_back(c->peer + " (SCPI socket)");
    return out;
}

std::vector<sockaddr_storage> raw_socket_server::addresses() const
{
    std::vector<sockaddr_storage> out;
    for (int fd : listeners_)
        out.push_back(local_address(fd));
    return out;
}
