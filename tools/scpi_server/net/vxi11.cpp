#include "vxi11.h"

#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "delivery.h"
#include "scpi/parser.h"
#include "scpi/session.h"
#include "vxi11_rpc.h" // rpcgen's: it names the procedures as macros, so nothing here is called create_link

#include <rpc/pmap_clnt.h>
#include <rpc/rpc_com.h>

// rpcgen's dispatchers, which its header does not declare.
extern "C" {
void device_core_1(struct svc_req *, SVCXPRT *);
void device_async_1(struct svc_req *, SVCXPRT *);
}

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

constexpr std::size_t longest_message = 64 * 1024; // as on the socket: longer is -223, dropped
constexpr unsigned long largest_write = 64 * 1024; // device_write's data, said in create_link
constexpr std::size_t largest_read = 1024 * 1024;  // device_read's answer, whatever requestSize asks
// A connection's requests wait while this much of its answers is unacknowledged,
// so that libtirpc never waits to write one.
constexpr int output_bound = 1024 * 1024;
constexpr int socket_buffer = 4 * 1024 * 1024;
// libtirpc gathers a request without blocking once records are bounded.
constexpr int largest_record = 128 * 1024;

vxi11_server *serving_now = nullptr; // the one server; rpcgen's dispatchers reach it here

int unacknowledged(int fd)
{
    int n = 0;
    return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

} // namespace

struct vxi11_link {
    vxi11_link(long id_, int fd_, std::string peer_, word_hold &hold) : id(id_), fd(fd_), peer(std::move(peer_)), taken(hold)
    {
    }
    long id;
    int fd; // its connection
    std::string peer;
    scpi_session session;
    delivery_ticket taken;
    std::string in; // a message written in pieces, until one with END
    bool dropping = false;
    std::string out; // the responses, from out_done on not yet read
    std::size_t out_done = 0;
    std::size_t unread() const { return out.size() - out_done; }
};

// A call that waits for the lock, and is answered when it comes (or its
// lock_timeout passes): libtirpc replies to the last request a connection
// made, so the connection's next requests wait behind it.
struct vxi11_waiter {
    unsigned long procedure;
    long link;
    int fd;
    SVCXPRT *transport;
    event_loop::clock::time_point deadline;
    Device_WriteParms write{};
    std::string write_data;
    Device_ReadParms read{};
    Device_GenericParms generic{};
};

struct vxi11_server::call {
    unsigned long procedure;
    void *arguments;
    svc_req *request;
};

vxi11_server::vxi11_server(event_loop &loop, bus_owner &owner, vxi11_options options,
                           std::function<void(const std::string &)> log)
    : loop_(loop), owner_(owner), options_(std::move(options)), log_(std::move(log))
{
    serving_now = this;
}

vxi11_server::~vxi11_server()
{
    stop("the server is ending");
    serving_now = nullptr;
}

bool vxi11_server::start(const std::vector<listen_address> &hosts, std::string &bound, std::string &why)
{
    int record = largest_record;
    rpc_control(RPC_SVC_CONNMAXREC_SET, &record);
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
    // libtirpc takes each socket; on a failure it is given back whole
    // (svc_destroy closes the socket and forgets its descriptor).
    std::vector<SVCXPRT *> transports;
    auto give_back = [&](const std::string &reason) {
        why = reason;
        for (SVCXPRT *t : transports)
            svc_destroy(t);
        for (std::size_t i = transports.size(); i < opened.size(); ++i)
            close(opened[i].first);
        svc_unregister(DEVICE_CORE, DEVICE_CORE_VERSION);
        svc_unregister(DEVICE_ASYNC, DEVICE_ASYNC_VERSION);
        rendezvous_.clear();
        return false;
    };
    for (auto &[fd, core] : opened) {
        SVCXPRT *t = svc_vc_create(fd, 0, 0);
        if (t == nullptr)
            return give_back("libtirpc cannot serve a socket");
        transports.push_back(t);
        if (core)
            svc_register(t, DEVICE_CORE, DEVICE_CORE_VERSION, device_core_1, 0);
        else
            svc_register(t, DEVICE_ASYNC, DEVICE_ASYNC_VERSION, device_async_1, 0);
        rendezvous_[fd] = core;
    }
    abort_port_ = abort_port;
    // A registration left by a server that did not end cleanly is replaced.
    pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    if (!pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, static_cast<unsigned short>(core_port)))
        return give_back("rpcbind does not answer (apt-get install rpcbind; systemctl start rpcbind), so no "
                         "controller could find the core channel");
    registered_ = true;
    loop_.every(std::chrono::milliseconds(10), [this] { check_timeouts(); });
    bound += " (core port " + std::to_string(core_port) + ", abort port " + std::to_string(abort_port) + ")";
    return true;
}

void vxi11_server::stop(const std::string &why)
{
    stopped_ = true;  // no more connections are taken
    waiters_.clear(); // unanswered: their connections close
    while (!links_.empty()) {
        vxi11_link &l = *links_.begin()->second;
        const bool delivered = l.unread() == 0 && unacknowledged(l.fd) == 0;
        settle_link(l, delivered, why);
    }
    for (auto &[fd, c] : connections_)
        shutdown(fd, SHUT_RDWR);
    if (registered_)
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    registered_ = false;
}

std::vector<std::string> vxi11_server::describe_links() const
{
    std::vector<std::string> out;
    for (const auto &[id, l] : links_)
        out.push_back(l->peer + " (VXI-11 link " + std::to_string(id) + (owner_.lock_holder == id ? ", holds the lock)" : ")"));
    return out;
}

// --- the loop's side --------------------------------------------------------

void vxi11_server::prepare(std::vector<pollfd> &fds, int &timeout_ms)
{
    std::set<int> waiting;
    for (const auto &w : waiters_)
        waiting.insert(w->fd);
    bool held_back = false;
    for (int i = 0; i < svc_max_pollfd; ++i) {
        const int fd = svc_pollfd[i].fd;
        if (fd < 0)
            continue;
        short events = stopped_ && rendezvous_.count(fd) > 0 ? 0 : POLLIN;
        const auto c = connections_.find(fd);
        if (c != connections_.end() && !c->second.shut &&
            (waiting.count(fd) > 0 || unacknowledged(fd) > output_bound)) {
            events = 0; // its next request waits: it has not read its answers, or one waits for the lock
            held_back = true;
        }
        fds.push_back({fd, events, 0});
    }
    if (held_back && (timeout_ms < 0 || timeout_ms > 10))
        timeout_ms = 10;
}

void vxi11_server::dispatch(const pollfd *fds, std::size_t count)
{
    // Connections first, then the listeners: a connection libtirpc closes is
    // forgotten before an accept can reuse its descriptor.
    run_pass(fds, count, -1);
    forget_closed_connections();
    for (const auto &[fd, core] : rendezvous_) {
        run_pass(fds, count, fd);
        adopt_new_connections(core);
    }
}

void vxi11_server::run_pass(const pollfd *fds, std::size_t count, int only_listener)
{
    std::vector<pollfd> ready;
    for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0)
            continue;
        const bool listener = rendezvous_.count(fds[i].fd) > 0;
        if (only_listener < 0 ? listener : fds[i].fd != only_listener)
            continue;
        ready.push_back(fds[i]);
        const auto c = connections_.find(fds[i].fd);
        if (c != connections_.end())
            c->second.last_call = event_loop::clock::now();
    }
    if (!ready.empty())
        svc_getreq_poll(ready.data(), static_cast<int>(ready.size()));
}

void vxi11_server::forget_closed_connections()
{
    std::set<int> open;
    for (int i = 0; i < svc_max_pollfd; ++i)
        if (svc_pollfd[i].fd >= 0)
            open.insert(svc_pollfd[i].fd);
    for (auto c = connections_.begin(); c != connections_.end();) {
        if (open.count(c->first) > 0) {
            ++c;
            continue;
        }
        // Its waiting calls first: libtirpc has destroyed their transport,
        // and a lock given back by its links would answer them.
        const int fd = c->first;
        waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [fd](const auto &w) { return w->fd == fd; }),
                       waiters_.end());
        std::vector<vxi11_link *> gone;
        for (auto &[id, l] : links_)
            if (l->fd == fd)
                gone.push_back(l.get());
        for (vxi11_link *l : gone)
            settle_link(*l, false, "its connection closed");
        c = connections_.erase(c);
    }
}

void vxi11_server::adopt_new_connections(bool core)
{
    std::size_t on_channel = 0;
    for (const auto &[fd, c] : connections_)
        on_channel += c.core == core && !c.shut;
    for (int i = 0; i < svc_max_pollfd; ++i) {
        const int fd = svc_pollfd[i].fd;
        if (fd < 0 || rendezvous_.count(fd) > 0 || connections_.count(fd) > 0)
            continue;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length);
        connections_[fd] = {core, address_text(peer), event_loop::clock::now()};
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
        const int on = 1; // a reply goes at once: calls are one at a time, each waits for its reply
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const char *channel = core ? "VXI-11 core channel" : "VXI-11 abort channel";
        if (options_.allow_given && !allowed(peer, options_.allow)) {
            shut(fd, std::string(channel) + " connection from " + address_text(peer) + " refused (not in --allow)");
        } else if (on_channel >= 2 * options_.max_links) {
            shut(fd, std::string(channel) + " connection from " + address_text(peer) + " refused (" +
                         std::to_string(on_channel) + " open already)");
        } else {
            ++on_channel;
        }
    }
}

// libtirpc owns the connection: it is ended from under it, and libtirpc
// finds the end at its next read.
void vxi11_server::shut(int fd, const std::string &why)
{
    auto c = connections_.find(fd);
    if (c == connections_.end() || c->second.shut)
        return;
    c->second.shut = true;
    shutdown(fd, SHUT_RDWR);
    log_(why);
}

void vxi11_server::check_timeouts()
{
    const auto now = event_loop::clock::now();
    for (std::size_t i = 0; i < waiters_.size();) {
        if (now >= waiters_[i]->deadline && try_waiter(*waiters_[i], true))
            waiters_.erase(waiters_.begin() + static_cast<long>(i));
        else
            ++i;
    }
    for (auto &[fd, c] : connections_) {
        const bool waits = std::any_of(waiters_.begin(), waiters_.end(), [fd = fd](const auto &w) { return w->fd == fd; });
        if (!c.shut && !waits && now - c.last_call > options_.idle_timeout)
            shut(fd, "VXI-11 connection from " + c.peer + " closed (idle: no call in " +
                         std::to_string(options_.idle_timeout.count()) + " s)");
    }
}

void vxi11_server::settle_link(vxi11_link &l, bool delivered, const std::string &why)
{
    const std::string said = delivered ? "" : delivery_ticket::said(l.taken.fail());
    if (delivered)
        l.taken.ack();
    log_("VXI-11 link " + std::to_string(l.id) + " from " + l.peer + " destroyed (" + why + ")" + said);
    // A link with a call waiting has its connection held back, so it cannot
    // be destroyed by a call of its own: its waiter is the caller's to forget.
    const bool held_lock = owner_.lock_holder == l.id;
    links_.erase(l.id);
    if (held_lock) {
        owner_.lock_holder = 0;
        lock_released();
    }
}

// --- the procedures -----------------------------------------------------------

namespace {

// A waiting call's answer, sent after its dispatch returned: encoded as
// its procedure's answer is (every other waiting procedure answers a
// Device_Error).
void send_late(const vxi11_waiter &w, void *answer)
{
    xdrproc_t encode = reinterpret_cast<xdrproc_t>(xdr_Device_Error);
    if (w.procedure == create_link)
        encode = reinterpret_cast<xdrproc_t>(xdr_Create_LinkResp);
    else if (w.procedure == device_write)
        encode = reinterpret_cast<xdrproc_t>(xdr_Device_WriteResp);
    else if (w.procedure == device_read)
        encode = reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp);
    svc_sendreply(w.transport, encode, static_cast<char *>(answer));
}

// A waiting call's answer, when it is refused after all. Each answer
// begins with its error code.
void send_refusal(const vxi11_waiter &w, long error)
{
    Create_LinkResp link{};
    Device_WriteResp write{};
    Device_ReadResp read{};
    Device_Error other{};
    link.error = write.error = read.error = other.error = error;
    send_late(w, w.procedure == create_link    ? static_cast<void *>(&link)
                 : w.procedure == device_write ? static_cast<void *>(&write)
                 : w.procedure == device_read  ? static_cast<void *>(&read)
                                               : static_cast<void *>(&other));
}

// The answers, alive until libtirpc has encoded them.
Create_LinkResp link_answer;
Device_WriteResp write_answer;
Device_ReadResp read_answer;
std::string read_bytes;
Device_ReadStbResp stb_answer;
Device_Error error_answer;
Device_DocmdResp docmd_answer;

Device_Error *error_of(long code)
{
    error_answer.error = code;
    return &error_answer;
}

} // namespace

// A link's next call shows it has the responses it read, once its TCP
// acknowledged them and nothing is left to read. Null: no such link on
// this connection.
vxi11_link *vxi11_server::link_of(const call &c, long id)
{
    const auto l = links_.find(id);
    if (l == links_.end() || l->second->fd != c.request->rq_xprt->xp_fd)
        return nullptr;
    if (l->second->unread() == 0 && unacknowledged(l->second->fd) == 0)
        l->second->taken.ack();
    return l->second.get();
}

bool vxi11_server::lock_free_for(long link) const { return owner_.lock_holder == 0 || owner_.lock_holder == link; }

// Defers a call that waits for the lock; false when it may not wait.
bool vxi11_server::wait_for_lock(const call &c, long link, long flags, unsigned long timeout_ms, vxi11_waiter &&w)
{
    if ((flags & waitlock_flag) == 0 || timeout_ms == 0)
        return false;
    w.procedure = c.procedure;
    w.link = link;
    w.fd = c.request->rq_xprt->xp_fd;
    w.transport = c.request->rq_xprt;
    w.deadline = event_loop::clock::now() + std::chrono::milliseconds(timeout_ms);
    waiters_.push_back(std::make_unique<vxi11_waiter>(std::move(w)));
    return true;
}

void *vxi11_server::serve(call &c)
{
    const auto conn = connections_.find(c.request->rq_xprt->xp_fd);
    if (conn == connections_.end() || stopped_) {
        svcerr_systemerr(c.request->rq_xprt);
        return nullptr;
    }
    if ((c.request->rq_prog == DEVICE_ASYNC) == conn->second.core) {
        svcerr_noprog(c.request->rq_xprt); // each channel answers its own program only
        return nullptr;
    }
    switch (c.procedure) {
    case device_abort:
        return abort_waits(c);
    case create_link:
        return make_link(c, conn->second.peer);
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
            stb_answer.stb = static_cast<u_char>(status_byte(l->session) | (l->unread() > 0 ? 1 << 4 : 0));
        return &stb_answer;
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
    case device_unlock: {
        vxi11_link *l = link_of(c, *static_cast<Device_Link *>(c.arguments));
        if (l == nullptr)
            return error_of(invalid_link);
        if (owner_.lock_holder != l->id)
            return error_of(no_lock_held);
        owner_.lock_holder = 0;
        lock_released();
        return error_of(no_error);
    }
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
        return &docmd_answer;
    default:
        svcerr_noproc(c.request->rq_xprt);
        return nullptr;
    }
}

// From the abort channel, for a link on the core channel: a call of that
// link waiting for the lock is answered "aborted".
void *vxi11_server::abort_waits(call &c)
{
    const long id = *static_cast<Device_Link *>(c.arguments);
    if (links_.count(id) == 0)
        return error_of(invalid_link);
    for (std::size_t i = 0; i < waiters_.size();) {
        if (waiters_[i]->link != id) {
            ++i;
            continue;
        }
        send_refusal(*waiters_[i], aborted);
        waiters_.erase(waiters_.begin() + static_cast<long>(i));
    }
    return error_of(no_error);
}

void *vxi11_server::make_link(call &c, const std::string &peer)
{
    const auto &p = *static_cast<Create_LinkParms *>(c.arguments);
    link_answer = {};
    link_answer.abortPort = static_cast<unsigned short>(abort_port_);
    link_answer.maxRecvSize = largest_write;
    const std::string device = p.device != nullptr ? p.device : "";
    if (device != "inst0" && device != "INST0") {
        link_answer.error = device_not_accessible;
        return &link_answer;
    }
    if (links_.size() >= options_.max_links) {
        link_answer.error = out_of_resources;
        log_("VXI-11 link from " + peer + " refused (" + std::to_string(links_.size()) +
             " links already, the most --max-clients allows)");
        return &link_answer;
    }
    const long id = next_link_++;
    links_[id] = std::make_unique<vxi11_link>(id, c.request->rq_xprt->xp_fd, peer, owner_.hold);
    log_("VXI-11 link " + std::to_string(id) + " from " + peer + " created");
    link_answer.lid = id;
    if (p.lockDevice) {
        if (lock_free_for(id)) {
            owner_.lock_holder = id;
        } else if (!wait_for_lock(c, id, waitlock_flag, p.lock_timeout, vxi11_waiter{})) {
            settle_link(*links_[id], true, "the lock it asked for is held by another link");
            link_answer.lid = 0;
            link_answer.error = locked_by_another_link;
        } else {
            return nullptr; // answered when the lock comes, or its time is up
        }
    }
    return &link_answer;
}

void *vxi11_server::on_write(call &c)
{
    const auto &p = *static_cast<Device_WriteParms *>(c.arguments);
    write_answer = {};
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr) {
        write_answer.error = invalid_link;
        return &write_answer;
    }
    if (!lock_free_for(l->id)) {
        vxi11_waiter w;
        w.write = p;
        w.write_data.assign(p.data.data_val, p.data.data_len);
        if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, std::move(w)))
            return nullptr;
        write_answer.error = locked_by_another_link;
        return &write_answer;
    }
    l->in.append(p.data.data_val, p.data.data_len);
    if (l->in.size() > longest_message) {
        if (!l->dropping)
            push_error(l->session, -223, "a message longer than " + std::to_string(longest_message) + " bytes");
        l->dropping = true;
        l->in.clear();
    }
    if ((p.flags & end_flag) != 0) {
        std::string all = std::move(l->in);
        l->in.clear();
        if (l->dropping)
            l->dropping = false;
        else
            execute_lines(*l, all);
    }
    write_answer.size = p.data.data_len;
    return &write_answer;
}

// Lines within one message are messages of their own, as on the socket.
void vxi11_server::execute_lines(vxi11_link &l, const std::string &all)
{
    for (std::size_t from = 0; from < all.size();) {
        message_scanner scanner;
        std::size_t end = find_message_end(all, from, scanner);
        if (end == std::string::npos)
            end = all.size();
        std::string message = all.substr(from, end - from);
        from = end + 1;
        if (!message.empty() && message.back() == '\r')
            message.pop_back();
        if (l.unread() == 0) {
            l.out.clear();
            l.out_done = 0;
        }
        l.out += execute_message(l.session, owner_, l.taken, message);
    }
}

void *vxi11_server::on_read(call &c)
{
    const auto &p = *static_cast<Device_ReadParms *>(c.arguments);
    read_answer = {};
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr) {
        read_answer.error = invalid_link;
        return &read_answer;
    }
    if (!lock_free_for(l->id)) {
        vxi11_waiter w;
        w.read = p;
        if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, std::move(w)))
            return nullptr;
        read_answer.error = locked_by_another_link;
        return &read_answer;
    }
    if (l->unread() == 0) {
        // Every response is made when its message is written: none will come.
        read_answer.error = io_timeout;
        return &read_answer;
    }
    std::size_t n = std::min<std::size_t>({l->unread(), p.requestSize, largest_read});
    long reason = 0;
    if ((p.flags & termchar_flag) != 0) {
        const char *from = l->out.data() + l->out_done;
        const void *at = std::memchr(from, static_cast<unsigned char>(p.termChar), n);
        if (at != nullptr) {
            n = static_cast<std::size_t>(static_cast<const char *>(at) - from) + 1;
            reason |= reason_termchar;
        }
    }
    read_bytes.assign(l->out, l->out_done, n);
    l->out_done += n;
    if (l->unread() == 0)
        reason |= reason_end;
    else if (reason == 0)
        reason = reason_requested;
    read_answer.reason = reason;
    read_answer.data.data_val = read_bytes.data();
    read_answer.data.data_len = static_cast<u_int>(read_bytes.size());
    return &read_answer;
}

// The link's input and output are emptied; the words of a response it did
// not read go back to the hold. Its error queue stays.
void *vxi11_server::on_clear(call &c)
{
    const auto &p = *static_cast<Device_GenericParms *>(c.arguments);
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr)
        return error_of(invalid_link);
    if (!lock_free_for(l->id)) {
        vxi11_waiter w;
        w.generic = p;
        if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, std::move(w)))
            return nullptr;
        return error_of(locked_by_another_link);
    }
    l->in.clear();
    l->dropping = false;
    l->out.clear();
    l->out_done = 0;
    l->taken.fail();
    return error_of(no_error);
}

void *vxi11_server::on_lock(call &c)
{
    const auto &p = *static_cast<Device_LockParms *>(c.arguments);
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr)
        return error_of(invalid_link);
    if (lock_free_for(l->id)) {
        owner_.lock_holder = l->id;
        return error_of(no_error);
    }
    if (wait_for_lock(c, l->id, p.flags, p.lock_timeout, vxi11_waiter{}))
        return nullptr;
    return error_of(locked_by_another_link);
}

void vxi11_server::lock_released()
{
    for (std::size_t i = 0; i < waiters_.size();) {
        if (try_waiter(*waiters_[i], false))
            waiters_.erase(waiters_.begin() + static_cast<long>(i));
        else
            ++i;
    }
}

// Answers a waiting call if the lock is free for it, or with error 11 when
// its time is up. True when answered.
bool vxi11_server::try_waiter(vxi11_waiter &w, bool timed_out)
{
    const bool free = owner_.lock_holder == 0 || owner_.lock_holder == w.link;
    if (!free && !timed_out)
        return false;
    if (!free) {
        send_refusal(w, locked_by_another_link);
        if (w.procedure == create_link) // the link made for it goes
            settle_link(*links_.at(w.link), true, "the lock it asked for is held by another link");
        return true;
    }
    if (w.procedure == create_link) {
        owner_.lock_holder = w.link;
        Create_LinkResp r{no_error, w.link, static_cast<unsigned short>(abort_port_), largest_write};
        send_late(w, &r);
        return true;
    }
    // Served now as if it had just come, with the lock free for it.
    svc_req request{};
    request.rq_xprt = w.transport;
    request.rq_prog = DEVICE_CORE;
    request.rq_proc = w.procedure;
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
    call c{w.procedure, arguments, &request};
    if (void *answer = serve(c))
        send_late(w, answer);
    return true;
}

// --- rpcgen's dispatchers call these ------------------------------------------

namespace {

template <typename Answer, typename Arguments>
Answer *serve_call(unsigned long procedure, Arguments *arguments, svc_req *request)
{
    if (serving_now == nullptr)
        return nullptr;
    vxi11_server::call c{procedure, arguments, request};
    return static_cast<Answer *>(serving_now->serve(c));
}

} // namespace

extern "C" {
Device_Error *device_abort_1_svc(Device_Link *link, svc_req *r)
{
    return serve_call<Device_Error>(device_abort, link, r);
}
Create_LinkResp *create_link_1_svc(Create_LinkParms *p, svc_req *r) { return serve_call<Create_LinkResp>(create_link, p, r); }
Device_WriteResp *device_write_1_svc(Device_WriteParms *p, svc_req *r)
{
    return serve_call<Device_WriteResp>(device_write, p, r);
}
Device_ReadResp *device_read_1_svc(Device_ReadParms *p, svc_req *r) { return serve_call<Device_ReadResp>(device_read, p, r); }
Device_ReadStbResp *device_readstb_1_svc(Device_GenericParms *p, svc_req *r)
{
    return serve_call<Device_ReadStbResp>(device_readstb, p, r);
}
Device_Error *device_trigger_1_svc(Device_GenericParms *p, svc_req *r) { return serve_call<Device_Error>(device_trigger, p, r); }
Device_Error *device_clear_1_svc(Device_GenericParms *p, svc_req *r) { return serve_call<Device_Error>(device_clear, p, r); }
Device_Error *device_remote_1_svc(Device_GenericParms *p, svc_req *r) { return serve_call<Device_Error>(device_remote, p, r); }
Device_Error *device_local_1_svc(Device_GenericParms *p, svc_req *r) { return serve_call<Device_Error>(device_local, p, r); }
Device_Error *device_lock_1_svc(Device_LockParms *p, svc_req *r) { return serve_call<Device_Error>(device_lock, p, r); }
Device_Error *device_unlock_1_svc(Device_Link *p, svc_req *r) { return serve_call<Device_Error>(device_unlock, p, r); }
Device_Error *device_enable_srq_1_svc(Device_EnableSrqParms *p, svc_req *r)
{
    return serve_call<Device_Error>(device_enable_srq, p, r);
}
Device_DocmdResp *device_docmd_1_svc(Device_DocmdParms *p, svc_req *r)
{
    return serve_call<Device_DocmdResp>(device_docmd, p, r);
}
Device_Error *destroy_link_1_svc(Device_Link *p, svc_req *r) { return serve_call<Device_Error>(destroy_link, p, r); }
Device_Error *create_intr_chan_1_svc(Device_RemoteFunc *p, svc_req *r)
{
    return serve_call<Device_Error>(create_intr_chan, p, r);
}
Device_Error *destroy_intr_chan_1_svc(void *p, svc_req *r) { return serve_call<Device_Error>(destroy_intr_chan, p, r); }
}
