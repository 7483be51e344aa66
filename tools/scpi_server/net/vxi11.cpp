#include "vxi11.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <rpc/xdr.h>

#include "rpc_record.h"
#include "scpi/client.h"
#include "send_queue.h"
#include "vxi11_rpc.h" // rpcgen's: it names the procedures as macros, so nothing here is called create_link

#include <rpc/pmap_clnt.h>

namespace {

// The errors the VXI-11 standard defines (its table B.2).
enum vxi11_error : long {
    no_error = 0,
    device_not_accessible = 3,
    invalid_link = 4,
    channel_not_established = 6,
    operation_not_supported = 8,
    out_of_resources = 9,
    locked_by_another_link = 11,
    no_lock_held = 12,
    io_timeout = 15,
    aborted = 23,
};
constexpr long waitlock_flag = 1, end_flag = 8, termchar_flag = 128;
constexpr long reason_requested = 1, reason_termchar = 2, reason_end = 4;

constexpr unsigned long largest_write = 64 * 1024; // device_write's data, said in create_link
constexpr std::size_t largest_read = 1024 * 1024;  // device_read's answer, whatever requestSize asks
// A connection's calls wait while this much of its replies is unsent, or
// sent and unacknowledged; a link's messages are not taken while this much
// of its output is unread (device_write answers error 15, as a device that
// cannot take data does).
constexpr std::size_t output_bound = 1024 * 1024;
constexpr int socket_buffer = 4 * 1024 * 1024;
constexpr std::size_t largest_record = 128 * 1024; // a call: a write's 64 KiB and its header
constexpr auto accept_pause = std::chrono::seconds(1); // out of descriptors: try again after this
constexpr auto registration_check = std::chrono::seconds(5);
// While a connection's calls wait for its client's TCP to acknowledge its
// replies, its TCP is asked this often.
constexpr auto acknowledgement_look = std::chrono::milliseconds(10);

// destroy_intr_chan takes nothing.
bool_t no_arguments(XDR *, void *) { return TRUE; }

// A procedure's rpcgen routines, and the channel it is served on.
struct procedure_row {
    unsigned long number;
    bool core;
    xdrproc_t decode;
};
const procedure_row procedures[] = {
    {device_abort, false, reinterpret_cast<xdrproc_t>(xdr_Device_Link)},
    {create_link, true, reinterpret_cast<xdrproc_t>(xdr_Create_LinkParms)},
    {device_write, true, reinterpret_cast<xdrproc_t>(xdr_Device_WriteParms)},
    {device_read, true, reinterpret_cast<xdrproc_t>(xdr_Device_ReadParms)},
    {device_readstb, true, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms)},
    {device_trigger, true, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms)},
    {device_clear, true, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms)},
    {device_remote, true, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms)},
    {device_local, true, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms)},
    {device_lock, true, reinterpret_cast<xdrproc_t>(xdr_Device_LockParms)},
    {device_unlock, true, reinterpret_cast<xdrproc_t>(xdr_Device_Link)},
    {device_enable_srq, true, reinterpret_cast<xdrproc_t>(xdr_Device_EnableSrqParms)},
    {device_docmd, true, reinterpret_cast<xdrproc_t>(xdr_Device_DocmdParms)},
    {destroy_link, true, reinterpret_cast<xdrproc_t>(xdr_Device_Link)},
    {create_intr_chan, true, reinterpret_cast<xdrproc_t>(xdr_Device_RemoteFunc)},
    {destroy_intr_chan, true, reinterpret_cast<xdrproc_t>(no_arguments)},
};

// Room for any procedure's arguments, as rpcgen declares them.
union any_arguments {
    Device_Link link;
    Create_LinkParms create;
    Device_WriteParms write;
    Device_ReadParms read;
    Device_GenericParms generic;
    Device_LockParms lock;
    Device_EnableSrqParms srq;
    Device_DocmdParms docmd;
    Device_RemoteFunc remote;
};

} // namespace

struct vxi11_connection {
    vxi11_connection(int fd_, bool core_, std::string peer_) : fd(fd_), core(core_), peer(std::move(peer_)) {}
    int fd;
    bool core;
    std::string peer;
    rpc_record_reader in{largest_record};
    byte_queue out; // replies
    event_loop::clock::time_point last_call = event_loop::clock::now();
    event_loop::timer_id idle_timer = 0, acknowledgement_timer = 0;
    // What its client's TCP may not have acknowledged yet: what the kernel
    // last said, and everything sent since.
    std::size_t unacknowledged_at_most = 0;
    std::size_t backlog() const { return out.backlog(); }
};

struct vxi11_link {
    vxi11_link(long id_, int fd_, std::string peer_, bus_owner &owner) : id(id_), fd(fd_), peer(std::move(peer_)), client(owner)
    {
    }
    long id;
    int fd; // its connection
    std::string peer;
    scpi_client client; // its responses wait in client.output() until read
    std::size_t unread() const { return client.output().backlog(); }
};

// A call that waits for the lock, answered when it comes (or its
// lock_timeout passes), under its own transaction id. Its time-out goes
// with it.
struct vxi11_waiter {
    unsigned long procedure = 0;
    long link = 0;
    int fd = -1;
    std::uint32_t xid = 0;
    event_loop::clock::time_point deadline;
    Device_WriteParms write{};
    std::string write_data;
    Device_ReadParms read{};
    Device_GenericParms generic{};
    event_loop *loop = nullptr;
    event_loop::timer_id timer = 0;
    vxi11_waiter() = default;
    vxi11_waiter(vxi11_waiter &&) = default;
    ~vxi11_waiter()
    {
        if (loop != nullptr)
            loop->cancel(timer);
    }
};

class vxi11_service {
public:
    vxi11_service(event_loop &loop, bus_owner &owner, vxi11_options options,
                  std::function<void(const std::string &)> log);
    ~vxi11_service();
    bool start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why);
    void stop(const std::string &why);
    std::vector<std::string> describe_links() const;

    // One procedure's call, decoded, and how its answer is encoded.
    struct call {
        unsigned long procedure;
        void *arguments;
        vxi11_connection &connection;
        std::uint32_t xid;
    };
    struct answer {
        xdrproc_t encode = nullptr; // null: no answer now (it waits for the lock)
        const void *value = nullptr;
    };

private:
    event_loop &loop_;
    bus_owner &owner_;
    vxi11_options options_;
    std::function<void(const std::string &)> log_;
    std::map<int, bool> listeners_; // descriptor -> is the core channel
    std::map<int, std::unique_ptr<vxi11_connection>> connections_;
    std::map<long, std::unique_ptr<vxi11_link>> links_;
    std::vector<std::unique_ptr<vxi11_waiter>> waiters_;
    long next_link_ = 1;
    int core_port_ = 0, abort_port_ = 0;
    bool registered_ = false;   // rpcbind has our core channel, as far as we know
    bool rpcbind_silent_ = false; // said in the log: rpcbind does not answer
    bool stopped_ = false;
    event_loop::timer_id accept_retry_ = 0, registration_timer_ = 0;
    bus_owner::waiting_id lock_waiting_;

    void accept_from(int listener, bool core);
    void serve(vxi11_connection &c, short revents);
    bool receive(vxi11_connection &c);
    bool transmit(vxi11_connection &c);
    void update_events(vxi11_connection &c);
    void send_reply(vxi11_connection &c, std::string reply);
    void handle_record(vxi11_connection &c, const std::string &record);
    void close_connection(int fd, const std::string &why, bool clean);
    void watch_idle(vxi11_connection &c, event_loop::clock::time_point due);
    void keep_registered();
    void settle_link(vxi11_link &l, bool delivered, const std::string &why);
    vxi11_link *link_of(const call &c, long id);
    bool lock_free_for(long link) const;
    const vxi11_link *lock_holder_link() const;
    bool wait_for_lock(const call &c, long link, long flags, unsigned long timeout_ms, vxi11_waiter &&w);
    bool waits_on_another_connection(const vxi11_connection &c) const;
    answer dispatch(call &c);
    answer abort_waits(call &c);
    answer make_link(call &c);
    answer on_write(call &c);
    answer on_read(call &c);
    answer on_clear(call &c);
    answer on_lock(call &c);
    answer on_unlock(call &c);
    void answer_waiters();
    void time_out(vxi11_waiter *w);
    void answer_waiter(vxi11_waiter &w, bool timed_out);
    void answer_late(const vxi11_waiter &w, const answer &a);
    void refuse_late(const vxi11_waiter &w, long error);
};

vxi11_service::vxi11_service(event_loop &loop, bus_owner &owner, vxi11_options options,
                             std::function<void(const std::string &)> log)
    : loop_(loop), owner_(owner), options_(std::move(options)), log_(std::move(log)),
      lock_waiting_(owner.when_released([this] { answer_waiters(); }))
{
}

vxi11_service::~vxi11_service()
{
    stop("the server is ending");
    owner_.forget_waiting(lock_waiting_);
}

bool vxi11_service::start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why)
{
    int core_port = options_.core_port, abort_port = 0;
    std::vector<std::pair<int, bool>> opened;
    for (const listen_address &a : hosts) {
        for (bool core : {true, false}) {
            std::string where, error;
            const int fd = open_listener(a, core ? core_port : abort_port, where, error);
            if (fd < 0) {
                why = error;
                for (auto &[f, c] : opened)
                    close(f);
                return false;
            }
            (core ? core_port : abort_port) = bound_port(fd);
            opened.emplace_back(fd, core);
            if (core)
                bound += (bound.empty() ? "" : ", ") + where;
        }
    }
    for (auto &[fd, core] : opened) {
        listeners_[fd] = core;
        loop_.watch(fd, POLLIN, [this, fd = fd, core = core](short) { accept_from(fd, core); });
    }
    core_port_ = core_port;
    abort_port_ = abort_port;
    bound += " (core port " + std::to_string(core_port) + ", abort port " + std::to_string(abort_port) + ")";
    // A registration left by a server that did not end cleanly is replaced.
    pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    keep_registered();
    registration_timer_ = loop_.every(registration_check, [this] { keep_registered(); });
    bound += registered_ ? ", registered with rpcbind"
                         : "; rpcbind does not answer, so no controller can find it yet: start rpcbind"
                           " (systemctl start rpcbind, or as root without systemd: rpcbind -w) and it registers";
    return true;
}

// rpcbind keeps no registration over a restart without its warm state, and
// may start after the server: every few seconds rpcbind is asked for the
// core channel's port, and the registration is made again if it has none.
void vxi11_service::keep_registered()
{
    if (stopped_)
        return;
    sockaddr_in rpcbind{};
    rpcbind.sin_family = AF_INET;
    rpcbind.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rpc_createerr.cf_stat = RPC_SUCCESS;
    const unsigned short known = pmap_getport(&rpcbind, DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP);
    // It answers that nothing is registered, or it does not answer at all.
    const bool answers = known != 0 || rpc_createerr.cf_stat == RPC_PROGNOTREGISTERED;
    const bool made = answers && known != core_port_ &&
                      pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, static_cast<unsigned short>(core_port_));
    if (made && registered_)
        log_("rpcbind had lost the VXI-11 core channel (restarted?): registered again, port " +
             std::to_string(core_port_));
    else if (made && rpcbind_silent_)
        log_("rpcbind answers now: the VXI-11 core channel is registered with it, port " + std::to_string(core_port_));
    if (!answers && !rpcbind_silent_ && registered_)
        log_("rpcbind does not answer: VXI-11 registers again when it does");
    rpcbind_silent_ = !answers;
    registered_ = answers;
}

void vxi11_service::stop(const std::string &why)
{
    if (stopped_)
        return;
    stopped_ = true;  // no more connections are taken
    waiters_.clear(); // unanswered: their connections close
    loop_.cancel(registration_timer_);
    loop_.cancel(accept_retry_);
    while (!links_.empty()) {
        vxi11_link &l = *links_.begin()->second;
        const bool delivered = l.unread() == 0 && unacknowledged(l.fd) == 0;
        settle_link(l, delivered, why);
    }
    for (auto &[fd, c] : connections_) {
        loop_.forget(fd);
        loop_.cancel(c->idle_timer);
        loop_.cancel(c->acknowledgement_timer);
        close(fd);
    }
    connections_.clear();
    for (auto &[fd, core] : listeners_) {
        loop_.forget(fd);
        close(fd);
    }
    listeners_.clear();
    if (registered_)
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    registered_ = false;
}

std::vector<std::string> vxi11_service::describe_links() const
{
    std::vector<std::string> out;
    for (const auto &[id, l] : links_)
        out.push_back(l->peer + " (VXI-11 link " + std::to_string(id) +
                      (owner_.holds_lock(l->client.id()) ? ", holds the lock)" : ")"));
    return out;
}

// --- connections ---------------------------------------------------------------

void vxi11_service::accept_from(int listener, bool core)
{
    sockaddr_storage peer{};
    std::string why;
    const int fd = accept_connection(listener, peer, why);
    if (fd < 0) {
        if (!why.empty()) {
            log_("VXI-11 cannot accept a connection: " + why + "; accepting waits a second");
            for (auto &[l, c] : listeners_)
                loop_.change(l, 0);
            loop_.cancel(accept_retry_);
            accept_retry_ = loop_.after(accept_pause, [this] {
                accept_retry_ = 0;
                for (auto &[l, c] : listeners_)
                    loop_.change(l, POLLIN);
            });
        }
        return;
    }
    const char *channel = core ? "VXI-11 core channel" : "VXI-11 abort channel";
    const std::string name = address_text(peer);
    std::size_t on_channel = 0;
    for (const auto &[f, c] : connections_)
        on_channel += c->core == core;
    if (options_.links.allow_given && !allowed(peer, options_.links.allow)) {
        close(fd);
        log_(std::string(channel) + " connection from " + name + " refused (not in --allow)");
        return;
    }
    if (on_channel >= 2 * options_.links.most) {
        close(fd);
        log_(std::string(channel) + " connection from " + name + " refused (" + std::to_string(on_channel) +
             " open already)");
        return;
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
    const int on = 1; // a reply goes at once: calls are one at a time, each waits for its reply
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections_[fd] = std::make_unique<vxi11_connection>(fd, core, name);
    vxi11_connection *c = connections_[fd].get();
    loop_.watch(fd, POLLIN, [this, c](short revents) { serve(*c, revents); });
    watch_idle(*c, c->last_call + options_.links.idle_timeout);
}

void vxi11_service::update_events(vxi11_connection &c)
{
    short events = 0;
    // The kernel is asked only when the bound could be passed: a call's
    // turn would otherwise cost a system call more.
    int sent = 0;
    if (c.unacknowledged_at_most > output_bound) {
        sent = unacknowledged(c.fd);
        if (sent >= 0)
            c.unacknowledged_at_most = static_cast<std::size_t>(sent);
    }
    const bool held_back = c.backlog() == 0 && sent >= 0 && static_cast<std::size_t>(sent) > output_bound;
    if (!stopped_ && c.backlog() == 0 && sent >= 0 && !held_back)
        events |= POLLIN; // else its next calls wait until its replies are taken
    if (c.backlog() > 0)
        events |= POLLOUT;
    loop_.change(c.fd, events);
    // No event tells that its client's TCP acknowledged: it is asked again
    // while the connection is held back for it.
    if (held_back && c.acknowledgement_timer == 0) {
        const int fd = c.fd;
        c.acknowledgement_timer = loop_.after(acknowledgement_look, [this, fd] {
            const auto found = connections_.find(fd);
            if (found == connections_.end())
                return;
            found->second->acknowledgement_timer = 0;
            update_events(*found->second);
        });
    }
}

void vxi11_service::serve(vxi11_connection &c, short revents)
{
    const int fd = c.fd;
    if ((revents & POLLERR) != 0)
        return close_connection(fd, "its connection failed", false);
    if ((revents & POLLOUT) != 0 && !transmit(c))
        return close_connection(fd, "its connection failed", false);
    if ((revents & (POLLIN | POLLHUP)) != 0 && !receive(c))
        return; // closed
    if (connections_.count(fd) > 0)
        update_events(c);
}

// Reads the calls that came, and answers each. False when the connection
// was closed.
bool vxi11_service::receive(vxi11_connection &c)
{
    char buffer[65536];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0) {
        close_connection(c.fd, "its connection closed", true);
        return false;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return true;
        close_connection(c.fd, "its connection failed", false);
        return false;
    }
    const int fd = c.fd;
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
        std::size_t used = 0;
        const auto r = c.in.feed(buffer + at, static_cast<std::size_t>(n) - at, used);
        at += used;
        if (r == rpc_record_reader::result::too_long) {
            close_connection(fd, "a call longer than " + std::to_string(largest_record) + " bytes", false);
            return false;
        }
        if (r == rpc_record_reader::result::record) {
            c.last_call = event_loop::clock::now(); // only a whole call counts: a trickle of bytes does not
            handle_record(c, c.in.record());
            if (connections_.count(fd) == 0)
                return false;
        }
    }
    return true;
}

// Sends what is queued; false when the connection failed.
bool vxi11_service::transmit(vxi11_connection &c)
{
    std::size_t moved = 0;
    const bool alive = send_some(c.fd, c.out, moved);
    c.unacknowledged_at_most += moved;
    if (moved > 0)
        c.last_call = event_loop::clock::now(); // a client taking a long reply is not idle
    return alive;
}

void vxi11_service::send_reply(vxi11_connection &c, std::string reply)
{
    c.out.bytes += reply;
    if (!transmit(c)) {
        // Its end is found at the next turn: the loop sees the error.
        shutdown(c.fd, SHUT_RDWR);
        return;
    }
    update_events(c);
}

void vxi11_service::handle_record(vxi11_connection &c, const std::string &record)
{
    rpc_request rc;
    switch (parse_rpc_call(record, rc)) {
    case rpc_call_fault::not_a_call:
        return close_connection(c.fd, "it sent what is no RPC call", false);
    case rpc_call_fault::rpc_version:
        return send_reply(c, rpc_version_denied(rc.xid));
    case rpc_call_fault::garbage:
        return send_reply(c, rpc_reply(rc.xid, rpc_accept::garbage_arguments));
    case rpc_call_fault::none:
        break;
    }
    // Each channel answers its own program only.
    const std::uint32_t program = c.core ? DEVICE_CORE : DEVICE_ASYNC;
    if (rc.program != program)
        return send_reply(c, rpc_reply(rc.xid, rpc_accept::program_unavailable));
    if (rc.version != 1)
        return send_reply(c, rpc_reply(rc.xid, rpc_accept::program_mismatch));
    if (rc.procedure == 0) // the null procedure: a controller's ping
        return send_reply(c, rpc_reply(rc.xid, rpc_accept::success));
    const procedure_row *row = nullptr;
    for (const procedure_row &p : procedures)
        if (p.number == rc.procedure && p.core == c.core)
            row = &p;
    if (row == nullptr)
        return send_reply(c, rpc_reply(rc.xid, rpc_accept::procedure_unavailable));
    any_arguments arguments;
    std::memset(&arguments, 0, sizeof arguments);
    if (!decode_arguments(rc, row->decode, &arguments)) {
        free_arguments(row->decode, &arguments);
        return send_reply(c, rpc_reply(rc.xid, rpc_accept::garbage_arguments));
    }
    call k{rc.procedure, &arguments, c, rc.xid};
    const answer a = dispatch(k);
    free_arguments(row->decode, &arguments);
    if (a.encode != nullptr && connections_.count(c.fd) > 0)
        send_reply(c, rpc_reply(rc.xid, rpc_accept::success, a.encode, a.value));
}

void vxi11_service::close_connection(int fd, const std::string &why, bool clean)
{
    const auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    // Its waiting calls first: a lock given back by its links would answer them.
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [fd](const auto &w) { return w->fd == fd; }),
                   waiters_.end());
    const bool all_taken = all_acknowledged(fd, found->second->out);
    std::vector<vxi11_link *> gone;
    for (auto &[id, l] : links_)
        if (l->fd == fd)
            gone.push_back(l.get());
    // A clean close after everything was taken shows the responses read, as on the socket.
    for (vxi11_link *l : gone)
        settle_link(*l, clean && all_taken && l->unread() == 0, why);
    loop_.forget(fd);
    loop_.cancel(found->second->idle_timer);
    loop_.cancel(found->second->acknowledgement_timer);
    close(fd);
    connections_.erase(found);
}

const vxi11_link *vxi11_service::lock_holder_link() const
{
    for (const auto &[id, l] : links_)
        if (owner_.holds_lock(l->client.id()))
            return l.get();
    return nullptr;
}

// A connection whose call waits for a lock held on another connection is
// not idle: its client waits for that holder.
bool vxi11_service::waits_on_another_connection(const vxi11_connection &c) const
{
    const vxi11_link *holder = lock_holder_link();
    return holder != nullptr && holder->fd != c.fd &&
           std::any_of(waiters_.begin(), waiters_.end(), [&](const auto &w) { return w->fd == c.fd; });
}

// The idle time-out, due at `due`: a connection that made a call (or took
// a reply) since is looked at again at its own time, and one whose call
// waits on another connection's lock is not idle.
void vxi11_service::watch_idle(vxi11_connection &c, event_loop::clock::time_point due)
{
    const int fd = c.fd;
    c.idle_timer = loop_.at(due, [this, fd] {
        const auto found = connections_.find(fd);
        if (found == connections_.end())
            return;
        vxi11_connection &k = *found->second;
        k.idle_timer = 0;
        const auto now = event_loop::clock::now();
        if (waits_on_another_connection(k))
            return watch_idle(k, now + options_.links.idle_timeout);
        if (now - k.last_call < options_.links.idle_timeout)
            return watch_idle(k, k.last_call + options_.links.idle_timeout);
        log_("VXI-11 connection from " + k.peer + " closed (idle: no call in " +
             std::to_string(options_.links.idle_timeout.count()) + " s)");
        close_connection(fd, "its connection was idle", false);
    });
}

void vxi11_service::settle_link(vxi11_link &l, bool delivered, const std::string &why)
{
    const std::string said = delivery_ticket::said(l.client.settle(delivered));
    log_("VXI-11 link " + std::to_string(l.id) + " from " + l.peer + " destroyed (" + why + ")" + said);
    const long id = l.id, client = l.client.id();
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [id](const auto &w) { return w->link == id; }),
                   waiters_.end());
    links_.erase(id);
    owner_.unlock(client); // if it held the lock, the calls waiting for it go on
}

// --- the procedures -----------------------------------------------------------

namespace {

// The answers, alive until they are encoded.
Create_LinkResp link_answer;
Device_WriteResp write_answer;
Device_ReadResp read_answer;
std::string read_bytes;
Device_ReadStbResp stb_answer;
Device_Error error_answer;
Device_DocmdResp docmd_answer;

vxi11_service::answer answer_of(Create_LinkResp &r) { return {reinterpret_cast<xdrproc_t>(xdr_Create_LinkResp), &r}; }
vxi11_service::answer answer_of(Device_WriteResp &r) { return {reinterpret_cast<xdrproc_t>(xdr_Device_WriteResp), &r}; }
vxi11_service::answer answer_of(Device_ReadResp &r) { return {reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), &r}; }
vxi11_service::answer answer_of(Device_ReadStbResp &r)
{
    return {reinterpret_cast<xdrproc_t>(xdr_Device_ReadStbResp), &r};
}
vxi11_service::answer answer_of(Device_DocmdResp &r) { return {reinterpret_cast<xdrproc_t>(xdr_Device_DocmdResp), &r}; }

vxi11_service::answer error_of(long code)
{
    error_answer.error = code;
    return {reinterpret_cast<xdrproc_t>(xdr_Device_Error), &error_answer};
}

const vxi11_service::answer later{};

} // namespace

// A link's next call shows it has the responses it read, once its TCP
// acknowledged them and nothing is left to read. Null: no such link on
// this connection.
vxi11_link *vxi11_service::link_of(const call &c, long id)
{
    const auto l = links_.find(id);
    if (l == links_.end() || l->second->fd != c.connection.fd)
        return nullptr;
    if (l->second->client.owes_words() && l->second->unread() == 0 &&
        all_acknowledged(c.connection.fd, c.connection.out))
        l->second->client.settle(true);
    return l->second.get();
}

bool vxi11_service::lock_free_for(long link) const
{
    const auto l = links_.find(link);
    return l != links_.end() ? owner_.may_run(l->second->client.id()) : !owner_.locked();
}

// Defers a call that waits for the lock; false when it may not wait.
bool vxi11_service::wait_for_lock(const call &c, long link, long flags, unsigned long timeout_ms, vxi11_waiter &&w)
{
    if ((flags & waitlock_flag) == 0 || timeout_ms == 0)
        return false;
    w.procedure = c.procedure;
    w.link = link;
    w.fd = c.connection.fd;
    w.xid = c.xid;
    w.deadline = event_loop::clock::now() + std::chrono::milliseconds(timeout_ms);
    waiters_.push_back(std::make_unique<vxi11_waiter>(std::move(w)));
    vxi11_waiter *waiting = waiters_.back().get();
    waiting->loop = &loop_;
    waiting->timer = loop_.at(waiting->deadline, [this, waiting] { time_out(waiting); });
    return true;
}

// A waiting call's lock_timeout is over: it is answered now, refused.
void vxi11_service::time_out(vxi11_waiter *w)
{
    const auto found = std::find_if(waiters_.begin(), waiters_.end(), [w](const auto &p) { return p.get() == w; });
    if (found == waiters_.end())
        return;
    const std::unique_ptr<vxi11_waiter> waiting = std::move(*found);
    waiters_.erase(found);
    answer_waiter(*waiting, true);
}

vxi11_service::answer vxi11_service::dispatch(call &c)
{
    switch (c.procedure) {
    case device_abort:
        return abort_waits(c);
    case create_link:
        return make_link(c);
    case device_write:
        return on_write(c);
    case device_read:
        return on_read(c);
    case device_readstb: {
        const auto &p = *static_cast<Device_GenericParms *>(c.arguments);
        stb_answer = {};
        vxi11_link *l = link_of(c, p.lid);
        if (l == nullptr)
            stb_answer.error = invalid_link;
        else // MAV, bit 4: a response waits to be read
            stb_answer.stb = static_cast<u_char>(status_byte(l->client.session) | (l->unread() > 0 ? 1 << 4 : 0));
        return answer_of(stb_answer);
    }
    case device_clear:
        return on_clear(c);
    case device_trigger: // nothing to trigger: a run starts with INIT
    case device_remote:
    case device_local:
        return error_of(link_of(c, static_cast<Device_GenericParms *>(c.arguments)->lid) == nullptr ? invalid_link
                                                                                                    : no_error);
    case device_lock:
        return on_lock(c);
    case device_unlock:
        return on_unlock(c);
    case destroy_link: {
        vxi11_link *l = link_of(c, *static_cast<Device_Link *>(c.arguments));
        if (l == nullptr)
            return error_of(invalid_link);
        settle_link(*l, l->unread() == 0, "destroy_link");
        return error_of(no_error);
    }
    case device_enable_srq: // no interrupt channel, so no service request is ever sent
    case create_intr_chan:
        return error_of(operation_not_supported);
    case destroy_intr_chan:
        return error_of(channel_not_established);
    case device_docmd:
        docmd_answer = {};
        docmd_answer.error = operation_not_supported;
        return answer_of(docmd_answer);
    default: // not in the table: handle_record answered it
        return error_of(operation_not_supported);
    }
}

// From the abort channel, for a link on the core channel: a call of that
// link waiting for the lock is answered "aborted"; a create_link that waits
// is refused, and its link goes.
vxi11_service::answer vxi11_service::abort_waits(call &c)
{
    const long id = *static_cast<Device_Link *>(c.arguments);
    if (links_.count(id) == 0)
        return error_of(invalid_link);
    bool link_made_for_it = false;
    for (std::size_t i = 0; i < waiters_.size();) {
        if (waiters_[i]->link != id) {
            ++i;
            continue;
        }
        refuse_late(*waiters_[i], aborted);
        link_made_for_it |= waiters_[i]->procedure == create_link;
        waiters_.erase(waiters_.begin() + static_cast<long>(i));
    }
    if (link_made_for_it)
        settle_link(*links_.at(id), true, "its create_link was aborted");
    return error_of(no_error);
}

vxi11_service::answer vxi11_service::make_link(call &c)
{
    const auto &p = *static_cast<Create_LinkParms *>(c.arguments);
    link_answer = {};
    link_answer.abortPort = static_cast<unsigned short>(abort_port_);
    link_answer.maxRecvSize = largest_write;
    const std::string device = p.device != nullptr ? p.device : "";
    const std::string &peer = c.connection.peer;
    if (device != "inst0" && device != "INST0") {
        link_answer.error = device_not_accessible;
        return answer_of(link_answer);
    }
    if (links_.size() >= options_.links.most) {
        link_answer.error = out_of_resources;
        log_("VXI-11 link from " + peer + " refused (" + std::to_string(links_.size()) +
             " links already, the most --max-clients allows)");
        return answer_of(link_answer);
    }
    const long id = next_link_++;
    links_[id] = std::make_unique<vxi11_link>(id, c.connection.fd, peer, owner_);
    log_("VXI-11 link " + std::to_string(id) + " from " + peer + " created");
    link_answer.lid = id;
    if (p.lockDevice && !owner_.lock(links_[id]->client.id())) {
        if (wait_for_lock(c, id, waitlock_flag, p.lock_timeout, vxi11_waiter{}))
            return later; // answered when the lock comes, or its time is up
        settle_link(*links_[id], true, "the lock it asked for is held by another link");
        link_answer.lid = 0;
        link_answer.error = locked_by_another_link;
    }
    return answer_of(link_answer);
}

vxi11_service::answer vxi11_service::on_write(call &c)
{
    const auto &p = *static_cast<Device_WriteParms *>(c.arguments);
    write_answer = {};
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr) {
        write_answer.error = invalid_link;
        return answer_of(write_answer);
    }
    if (!lock_free_for(l->id)) {
        vxi11_waiter w;
        w.write = p;
        w.write_data.assign(p.data.data_val, p.data.data_len);
        if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, std::move(w)))
            return later;
        write_answer.error = locked_by_another_link;
        return answer_of(write_answer);
    }
    if (l->unread() > output_bound) {
        // Its output is not being read: nothing more is taken until it is.
        write_answer.error = io_timeout;
        return answer_of(write_answer);
    }
    // END ends a message, as a newline does.
    l->client.feed(p.data.data_val, p.data.data_len, (p.flags & end_flag) != 0);
    write_answer.size = p.data.data_len;
    return answer_of(write_answer);
}

vxi11_service::answer vxi11_service::on_read(call &c)
{
    const auto &p = *static_cast<Device_ReadParms *>(c.arguments);
    read_answer = {};
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr) {
        read_answer.error = invalid_link;
        return answer_of(read_answer);
    }
    if (!lock_free_for(l->id)) {
        vxi11_waiter w;
        w.read = p;
        if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, std::move(w)))
            return later;
        read_answer.error = locked_by_another_link;
        return answer_of(read_answer);
    }
    if (l->unread() == 0) {
        // Every response is made when its message is written: none will come.
        read_answer.error = io_timeout;
        return answer_of(read_answer);
    }
    byte_queue &out = l->client.output();
    std::size_t n = std::min<std::size_t>({out.backlog(), p.requestSize, largest_read});
    long reason = 0;
    if ((p.flags & termchar_flag) != 0) {
        const char *from = out.front();
        const void *at = std::memchr(from, static_cast<unsigned char>(p.termChar), n);
        if (at != nullptr) {
            n = static_cast<std::size_t>(static_cast<const char *>(at) - from) + 1;
            reason |= reason_termchar;
        }
    }
    read_bytes.assign(out.front(), n);
    out.take(n);
    if (l->unread() == 0)
        reason |= reason_end;
    else if (reason == 0)
        reason = reason_requested;
    read_answer.reason = reason;
    read_answer.data.data_val = read_bytes.data();
    read_answer.data.data_len = static_cast<u_int>(read_bytes.size());
    return answer_of(read_answer);
}

// The link's input and output are emptied; the words of a response it did
// not read go back to the hold. Its error queue stays.
vxi11_service::answer vxi11_service::on_clear(call &c)
{
    const auto &p = *static_cast<Device_GenericParms *>(c.arguments);
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr)
        return error_of(invalid_link);
    if (!lock_free_for(l->id)) {
        vxi11_waiter w;
        w.generic = p;
        if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, std::move(w)))
            return later;
        return error_of(locked_by_another_link);
    }
    l->client.clear();
    return error_of(no_error);
}

vxi11_service::answer vxi11_service::on_unlock(call &c)
{
    vxi11_link *l = link_of(c, *static_cast<Device_Link *>(c.arguments));
    if (l == nullptr)
        return error_of(invalid_link);
    return error_of(owner_.unlock(l->client.id()) ? no_error : no_lock_held);
}

vxi11_service::answer vxi11_service::on_lock(call &c)
{
    const auto &p = *static_cast<Device_LockParms *>(c.arguments);
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr)
        return error_of(invalid_link);
    if (owner_.lock(l->client.id()))
        return error_of(no_error);
    if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, vxi11_waiter{}))
        return later;
    return error_of(locked_by_another_link);
}


// Each waiter that may go on (the lock is free for it, or its time is up)
// is taken out of the list before it is answered: answering one may take
// the lock or destroy a link, and so change the list, which is then read
// again from its start.
void vxi11_service::answer_waiters()
{
    for (std::size_t i = 0; i < waiters_.size();) {
        const bool timed_out = event_loop::clock::now() >= waiters_[i]->deadline;
        if (!timed_out && !lock_free_for(waiters_[i]->link)) {
            ++i;
            continue;
        }
        const std::unique_ptr<vxi11_waiter> w = std::move(waiters_[i]);
        waiters_.erase(waiters_.begin() + static_cast<long>(i));
        answer_waiter(*w, timed_out);
        i = 0;
    }
}

void vxi11_service::answer_late(const vxi11_waiter &w, const answer &a)
{
    const auto c = connections_.find(w.fd);
    if (c != connections_.end() && a.encode != nullptr)
        send_reply(*c->second, rpc_reply(w.xid, rpc_accept::success, a.encode, a.value));
}

// A waiting call's answer, when it is refused after all. Each answer
// begins with its error code.
void vxi11_service::refuse_late(const vxi11_waiter &w, long error)
{
    Create_LinkResp link{};
    Device_WriteResp write{};
    Device_ReadResp read{};
    link.error = write.error = read.error = error;
    answer_late(w, w.procedure == create_link    ? answer_of(link)
                   : w.procedure == device_write ? answer_of(write)
                   : w.procedure == device_read  ? answer_of(read)
                                                 : error_of(error));
}

// Answers a waiting call: served if the lock is free for it, else refused
// with error 11 (its time is up).
void vxi11_service::answer_waiter(vxi11_waiter &w, bool timed_out)
{
    const auto c = connections_.find(w.fd);
    if (c == connections_.end())
        return; // gone with its connection
    if (!lock_free_for(w.link) || (timed_out && w.procedure == create_link)) {
        refuse_late(w, locked_by_another_link);
        const auto l = links_.find(w.link);
        if (w.procedure == create_link && l != links_.end()) // the link made for it goes
            settle_link(*l->second, true, "the lock it asked for is held by another link");
        return;
    }
    if (w.procedure == create_link) {
        owner_.lock(links_.at(w.link)->client.id());
        Create_LinkResp r{no_error, w.link, static_cast<unsigned short>(abort_port_), largest_write};
        answer_late(w, answer_of(r));
        return;
    }
    // Served now as if it had just come, with the lock free for it.
    Device_LockParms lock{w.link, 0, 0};
    void *arguments = &lock;
    if (w.procedure == device_write) {
        w.write.data.data_val = w.write_data.data();
        arguments = &w.write;
    } else if (w.procedure == device_read) {
        arguments = &w.read;
    } else if (w.procedure == device_clear) {
        arguments = &w.generic;
    }
    call k{w.procedure, arguments, *c->second, w.xid};
    answer_late(w, dispatch(k));
}

// --- the server, as the rest of the program sees it ---------------------------

vxi11_server::vxi11_server(event_loop &loop, bus_owner &owner, vxi11_options options,
                           std::function<void(const std::string &)> log)
    : service_(std::make_unique<vxi11_service>(loop, owner, std::move(options), std::move(log)))
{
}

vxi11_server::~vxi11_server() = default;

bool vxi11_server::start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why)
{
    return service_->start(hosts, bound, why);
}

void vxi11_server::stop(const std::string &why) { service_->stop(why); }

std::vector<std::string> vxi11_server::describe_links() const { return service_->describe_links(); }
