// VXI-11's channels, records and links, and its registration with rpcbind;
// what each procedure does is in vxi11_procedures.cpp.
#include "net/vxi11.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include <rpc/pmap_clnt.h>

#include "net/vxi11_service.h"

namespace {

constexpr int socket_buffer = 4 * 1024 * 1024;
constexpr std::size_t largest_record = 128 * 1024; // a call: a write's 64 KiB and its header
// A connection's calls wait while any of its replies is unsent, or while
// this much is sent and unacknowledged.
constexpr std::size_t output_bound = 1024 * 1024;
constexpr auto registration_check = std::chrono::seconds(5);

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

// One connection of a channel: RPC records in, replies out.
class rpc_channel final : public stream_protocol {
public:
    rpc_channel(vxi11_service &s, std::map<stream_server::connection_id, byte_queue *> &outputs,
                stream_server::connection_id id_, bool core_)
        : service(s), outputs_(outputs), id(id_), core(core_), in_(largest_record)
    {
        outputs_[id] = &out;
    }
    ~rpc_channel() override { outputs_.erase(id); }
    void received(const char *bytes, std::size_t n) override
    {
        for (std::size_t at = 0; at < n && !ended_;) {
            std::size_t used = 0;
            const auto r = in_.feed(bytes + at, n - at, used);
            at += used;
            if (r == rpc_record_reader::result::too_long) {
                ended_ = true;
                service.end_connection(core, id, "a call longer than " + std::to_string(largest_record) + " bytes");
            }
            if (r == rpc_record_reader::result::record) {
                ++calls_; // only a whole call counts: a trickle of bytes does not
                ended_ = !service.handle_record(core, id, in_.record());
            }
        }
    }
    // Its calls that wait for the lock go unanswered: nobody reads the
    // answers. (Links and waiting calls are the core channel's: the abort
    // channel's connections are numbered apart, and own none.)
    void peer_closed() override
    {
        if (core)
            service.drop_waiters_of(id);
    }
    byte_queue &output() override { return out; }
    bool input_waits() const override { return false; } // a waiting call holds up nothing else of its connection
    bool awaits_another() const override { return core && service.waits_on_another_connection(id); }
    std::uint64_t messages() const override { return calls_; }
    std::string closing(bool delivered, const std::string &why) override
    {
        // Its waiting calls first: a lock given back by its links would answer them.
        if (core) {
            service.drop_waiters_of(id);
            service.settle_links_of(id, delivered, why);
        }
        return "";
    }

private:
    vxi11_service &service;
    std::map<stream_server::connection_id, byte_queue *> &outputs_;
    const stream_server::connection_id id;
    const bool core;
    byte_queue out; // replies
    rpc_record_reader in_;
    std::uint64_t calls_ = 0;
    bool ended_ = false;
};

} // namespace

// --- the service -------------------------------------------------------------

stream_settings vxi11_service::channel_settings(bool core) const
{
    stream_settings s;
    s.name = core ? "VXI-11 core channel connection" : "VXI-11 abort channel connection";
    s.admission = context_.settings.admission;
    s.most = 2 * context_.settings.admission.most;
    s.too_many = std::to_string(s.most) + " open already";
    s.send_buffer = socket_buffer;
    s.no_delay = true; // a reply goes at once: calls are one at a time, each waits for its reply
    s.unsent_bound = 1;
    s.unacknowledged_bound = output_bound;
    s.idle_unit = "call";
    return s;
}

vxi11_service::vxi11_service(transport_context &context)
    : context_(context), loop_(context.loop), owner_(context.owner), log_(context.log),
      core_(loop_, channel_settings(true),
            [this](auto id, const std::string &) {
                return std::make_unique<rpc_channel>(*this, outputs_[1], id, true);
            },
            log_),
      abort_(loop_, channel_settings(false),
              [this](auto id, const std::string &) { return std::make_unique<rpc_channel>(*this, outputs_[0], id, false); },
             log_),
      lock_waiting_(owner_.when_released([this] { answer_waiters(); }))
{
}

vxi11_service::~vxi11_service()
{
    stop("the server is ending");
    owner_.forget_waiting(lock_waiting_);
}

bool vxi11_service::open_listeners(std::string &bound, std::string &why)
{
    int core_port = context_.settings.vxi11_port, abort_port = 0;
    for (const listen_address &a : context_.settings.scpi) {
        std::string where;
        core_port = core_.listen_on(a, core_port, where, why);
        if (core_port < 0)
            return false;
        bound += (bound.empty() ? "" : ", ") + where;
        abort_port = abort_.listen_on(a, abort_port, where, why);
        if (abort_port < 0)
            return false;
    }
    core_port_ = core_port;
    abort_port_ = abort_port;
    return true;
}

std::string vxi11_service::start()
{
    std::string bound, why;
    if (!open_listeners(bound, why)) {
        core_.stop_listening();
        abort_.stop_listening();
        return "VXI-11 is off: " + why + "; the SCPI socket serves all the same";
    }
    started_ = true;
    bound += " (core port " + std::to_string(core_port_) + ", abort port " + std::to_string(abort_port_) + ")";
    // A registration left by a server that did not end cleanly is replaced.
    pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    keep_registered();
    registration_timer_ = loop_.every(registration_check, [this] { keep_registered(); });
    bound += registered_ ? ", registered with rpcbind"
                         : "; rpcbind does not answer, so no controller can find it yet: start rpcbind"
                           " (systemctl start rpcbind, or as root without systemd: rpcbind -w) and it registers";
    return "VXI-11 (TCPIP::HOST::INSTR) on " + bound;
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
    stopped_ = true;  // no more calls are read
    waiters_.clear(); // unanswered: their connections close
    loop_.cancel(registration_timer_);
    core_.stop_reading();
    abort_.stop_reading();
    core_.close_all(why);
    abort_.close_all(why);
    core_.stop_listening();
    abort_.stop_listening();
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

std::vector<std::string> vxi11_service::resources(const std::string &host) const
{
    const std::vector<sockaddr_storage> bound = core_.addresses();
    if (!started_ || stopped_ || bound.empty())
        return {};
    return {"TCPIP::" + resource_host(bound.front(), host) + "::INSTR"};
}

bool vxi11_service::handle_record(bool core, stream_server::connection_id connection, const std::string &record)
{
    rpc_request rc;
    const rpc_call_fault fault = parse_rpc_call(record, rc);
    if (fault == rpc_call_fault::not_a_call) {
        end_connection(core, connection, "it sent what is no RPC call");
        return false;
    }
    const std::string reply = fault == rpc_call_fault::rpc_version ? rpc_version_denied(rc.xid)
                              : fault == rpc_call_fault::garbage   ? rpc_reply(rc.xid, rpc_accept::garbage_arguments)
                                                                   : answer_call(core, connection, rc);
    if (!reply.empty())
        send_reply(core, connection, reply);
    return true;
}

// The reply to a call, or none now (it waits for the lock).
std::string vxi11_service::answer_call(bool core, stream_server::connection_id connection, const rpc_request &rc)
{
    // Each channel answers its own program only.
    const std::uint32_t program = core ? DEVICE_CORE : DEVICE_ASYNC;
    if (rc.program != program)
        return rpc_reply(rc.xid, rpc_accept::program_unavailable);
    if (rc.version != 1)
        return rpc_reply(rc.xid, rpc_accept::program_mismatch);
    if (rc.procedure == 0) // the null procedure: a controller's ping
        return rpc_reply(rc.xid, rpc_accept::success);
    const procedure_row *row = nullptr;
    for (const procedure_row &p : procedures)
        if (p.number == rc.procedure && p.core == core)
            row = &p;
    if (row == nullptr)
        return rpc_reply(rc.xid, rpc_accept::procedure_unavailable);
    any_arguments arguments;
    std::memset(&arguments, 0, sizeof arguments);
    if (!decode_arguments(rc, row->decode, &arguments)) {
        free_arguments(row->decode, &arguments);
        return rpc_reply(rc.xid, rpc_accept::garbage_arguments);
    }
    call k{rc.procedure, &arguments, connection, core, rc.xid};
    const answer a = serve_call(k);
    std::string reply = a.encode != nullptr ? rpc_reply(rc.xid, rpc_accept::success, a.encode, a.value) : "";
    free_arguments(row->decode, &arguments);
    return reply;
}

void vxi11_service::end_connection(bool core, stream_server::connection_id connection, const std::string &why)
{
    (core ? core_ : abort_).close_connection(connection, why, false);
}

void vxi11_service::drop_waiters_of(stream_server::connection_id connection)
{
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(),
                                  [connection](const auto &w) { return w->connection == connection; }),
                   waiters_.end());
}

// A clean close after everything was taken shows the responses read, as on the socket.
void vxi11_service::settle_links_of(stream_server::connection_id connection, bool delivered, const std::string &why)
{
    std::vector<vxi11_link *> gone;
    for (auto &[id, l] : links_)
        if (l->connection == connection)
            gone.push_back(l.get());
    for (vxi11_link *l : gone)
        settle_link(*l, delivered && l->unread() == 0, why);
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
bool vxi11_service::waits_on_another_connection(stream_server::connection_id connection) const
{
    const vxi11_link *holder = lock_holder_link();
    return holder != nullptr && holder->connection != connection &&
           std::any_of(waiters_.begin(), waiters_.end(), [&](const auto &w) { return w->connection == connection; });
}

// --- the transport, as the rest of the server sees it ---------------------------

namespace {

class vxi11_transport final : public transport {
public:
    explicit vxi11_transport(transport_context &c) : context_(c) {}
    // Its channels open once the bus is the server's.
    std::string start() override
    {
        if (!context_.settings.vxi11)
            return "VXI-11 is off (--no-vxi11)";
        service_ = std::make_unique<vxi11_service>(context_);
        return service_->start();
    }
    void stop_reading() override { close_all("the server reads no more commands"); }
    void close_all(const std::string &why) override
    {
        if (service_)
            service_->stop(why);
    }
    bool busy() const override { return service_ && service_->busy(); }
    std::vector<std::string> clients() const override
    {
        return service_ ? service_->describe_links() : std::vector<std::string>{};
    }
    std::vector<std::string> resources(const std::string &host) const override
    {
        return service_ ? service_->resources(host) : std::vector<std::string>{};
    }

private:
    transport_context &context_;
    std::unique_ptr<vxi11_service> service_;
};

} // namespace

std::unique_ptr<transport> make_vxi11(transport_context &context)
{
    return std::make_unique<vxi11_transport>(context);
}
