#include "raw_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "delivery.h"
#include "send_queue.h"
#include "scpi/parser.h"
#include "scpi/session.h"

namespace {

constexpr std::size_t longest_message = 64 * 1024;  // longer: -223, the rest of it dropped
constexpr std::size_t output_bound = 1024 * 1024;   // past it, the connection's input waits
constexpr int socket_buffer = 64 * 1024;            // a connection's send buffer in the kernel
constexpr auto closing_limit = std::chrono::seconds(5); // for a client's TCP to acknowledge the last bytes

} // namespace

struct raw_connection {
    raw_connection(int fd_, std::string peer_, word_hold &hold) : fd(fd_), peer(std::move(peer_)), taken(hold) {}
    int fd;
    std::string peer;
    scpi_session session;
    delivery_ticket taken;
    std::string in;              // bytes of the message being received
    std::size_t scanned = 0;     // of `in`, already scanned for the message's end
    message_scanner scanner;
    bool dropping = false;       // inside a message longer than longest_message
    send_queue out;
    bool peer_done = false;      // the peer shut its side
    bool closing = false;        // waiting for the peer's TCP to acknowledge the last bytes
    bool waits_for_lock = false; // a whole message has come, and waits while a VXI-11 link holds the lock
    event_loop::clock::time_point last_message = event_loop::clock::now();
    event_loop::clock::time_point closing_since;
    std::size_t backlog() const { return out.backlog(); }
};

namespace {

// -223 for a message over the bound: it is dropped, not run.
void refuse_too_long(raw_connection &c)
{
    push_error(c.session, -223, "a message longer than " + std::to_string(longest_message) + " bytes");
}

} // namespace

raw_socket_server::raw_socket_server(event_loop &loop, bus_owner &owner, raw_socket_options options,
                                     std::function<void(const std::string &)> log)
    : loop_(loop), owner_(owner), options_(std::move(options)), log_(std::move(log))
{
    // Idle connections, clients slow to acknowledge their last bytes, and a
    // paused accept looked at ten times a second.
    loop_.every(std::chrono::milliseconds(100), [this] { check_idle_and_closing(); });
}

raw_socket_server::~raw_socket_server()
{
    close_all("the server is ending");
    stop_listening();
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
}

void raw_socket_server::refuse(int fd, const std::string &peer, const std::string &why, bool tell)
{
    if (tell) {
        // One SCPI error line, never a silent reset; a client that cannot
        // take it at once does not get it.
        const std::string line = "-310,\"" + error_text(-310, why) + "\"\n";
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
    if (connections_.size() >= options_.max_clients)
        return refuse(fd, name,
                      std::to_string(options_.max_clients) + " clients already, the most --max-clients allows", true);
    // The kernel's part of the output bound.
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
    connections_.push_back(std::make_unique<raw_connection>(fd, name, owner_.hold));
    raw_connection *c = connections_.back().get();
    loop_.watch(fd, POLLIN, [this, c](short revents) { serve(*c, revents); });
    log_("connection from " + name + " opened");
}

void raw_socket_server::update_events(raw_connection &c)
{
    short events = 0;
    if (reading_ && !c.peer_done && c.backlog() < output_bound && !c.waits_for_lock)
        events |= POLLIN;
    if (c.backlog() > 0)
        events |= POLLOUT;
    loop_.change(c.fd, events);
}

void raw_socket_server::serve(raw_connection &c, short revents)
{
    bool alive = true;
    if (reading_ && (revents & (POLLIN | POLLHUP | POLLERR)))
        alive = receive(c);
    else if (revents & POLLERR)
        alive = false;
    if (alive)
        alive = transmit(c);
    if (!alive)
        return close_connection(c, "the connection failed", false);
    if (c.peer_done && c.backlog() == 0 && !c.closing) {
        c.closing = true;
        c.closing_since = event_loop::clock::now();
        check_idle_and_closing();
        return;
    }
    update_events(c);
}

// Reads what the client sent; false when the connection failed.
bool raw_socket_server::receive(raw_connection &c)
{
    char buffer[16384];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0) {
        c.peer_done = true;
        handle_input(c, true); // the end of the connection ends its last message
        return true;
    }
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    c.in.append(buffer, static_cast<std::size_t>(n));
    handle_input(c, false);
    return true;
}

void raw_socket_server::handle_input(raw_connection &c, bool at_end)
{
    for (;;) {
        const message_scanner before = c.scanner;
        std::size_t end = find_message_end(c.in, c.scanned, c.scanner);
        if (end == std::string::npos) {
            c.scanned = c.in.size();
            if (c.in.size() > longest_message && !c.dropping) {
                refuse_too_long(c);
                c.dropping = true;
            }
            if (c.dropping) {
                c.in.clear();
                c.scanned = 0;
            }
            if (!at_end || c.in.empty())
                return;
            end = c.in.size();
        }
        // This message shows the responses before it arrived: everything
        // sent is acknowledged and nothing waits here.
        if (c.backlog() == 0 && unacknowledged(c.fd) == 0)
            c.taken.ack();
        c.last_message = event_loop::clock::now();
        c.waits_for_lock = owner_.lock_holder != 0;
        if (c.waits_for_lock) { // a VXI-11 link holds the instrument: the message runs once it is given back
            c.scanner = before;
            return;
        }
        std::string message = c.in.substr(0, end);
        c.in.erase(0, std::min(end + 1, c.in.size()));
        c.scanned = 0;
        c.scanner = message_scanner{};
        if (c.dropping) { // the end of a message too long to take
            c.dropping = false;
            continue;
        }
        if (message.size() > longest_message) {
            refuse_too_long(c);
            continue;
        }
        if (!message.empty() && message.back() == '\r')
            message.pop_back(); // CR LF ends a message as LF does
        c.out.bytes += execute_message(c.session, owner_, c.taken, message);
    }
}

// Sends what is queued; false when the connection failed.
bool raw_socket_server::transmit(raw_connection &c)
{
    bool moved = false;
    const bool alive = c.out.flush(c.fd, moved);
    if (moved)
        c.last_message = event_loop::clock::now(); // a client reading a long response is not idle
    return alive;
}

void raw_socket_server::close_connection(raw_connection &c, const std::string &why, bool delivered)
{
    const std::string said = delivered ? "" : delivery_ticket::said(c.taken.fail());
    if (delivered)
        c.taken.ack();
    loop_.forget(c.fd);
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
        const bool delivered = c.backlog() == 0 && unacknowledged(c.fd) == 0;
        close_connection(c, why, delivered);
    }
}

void raw_socket_server::check_idle_and_closing()
{
    const auto now = event_loop::clock::now();
    for (std::size_t i = connections_.size(); i-- > 0;) {
        raw_connection &c = *connections_[i];
        if (c.closing) {
            // Closed cleanly by the client: its words are its own once its
            // TCP has acknowledged every byte sent.
            const int left = unacknowledged(c.fd);
            if (left == 0)
                close_connection(c, "the client closed it", true);
            else if (left < 0 || now - c.closing_since > closing_limit)
                close_connection(c, "the client closed it before receiving everything", false);
        } else if (now - c.last_message > options_.idle_timeout && !c.waits_for_lock) { // one waiting is not idle
            close_connection(c, "idle: no message in " + std::to_string(options_.idle_timeout.count()) + " s", false);
        }
    }
    if (reading_ && waited_for_lock_ && owner_.lock_holder == 0) // messages that waited for the lock run now
        for (const auto &p : connections_) {
            handle_input(*p, p->peer_done);
            if (transmit(*p))
                update_events(*p);
        }
    waited_for_lock_ = owner_.lock_holder != 0;
    if (accept_paused_ && connections_.size() < options_.max_clients)
        pause_accepting(false); // try again: descriptors may have freed elsewhere
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
