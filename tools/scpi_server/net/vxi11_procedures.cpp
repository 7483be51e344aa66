// What each VXI-11 procedure does, and the calls that wait for the lock.
#include <algorithm>
#include <cstring>

#include "net/vxi11_service.h"

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
// A link's messages are not taken while this much of its output is unread
// (device_write answers error 15, as a device that cannot take data does).
constexpr std::size_t unread_bound = 1024 * 1024;

} // namespace

// --- what a procedure's answer or its link's end does ---------------------------

void vxi11_service::send_reply(bool core, stream_server::connection_id connection, const std::string &reply)
{
    const auto out = outputs_[core].find(connection);
    if (out == outputs_[core].end())
        return;
    out->second->bytes += reply;
    (core ? core_ : abort_).flush(connection);
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
    if (l == links_.end() || l->second->connection != c.connection || !c.core)
        return nullptr;
    if (l->second->client.owes_words() && l->second->unread() == 0 && core_.peer_has_everything(c.connection))
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
    w.connection = c.connection;
    w.xid = c.xid;
    w.deadline = event_loop::clock::now() + std::chrono::milliseconds(timeout_ms);
    waiters_.push_back(std::make_unique<vxi11_waiter>(std::move(w)));
    vxi11_waiter *waiting = waiters_.back().get();
    waiting->loop = &loop_;
    waiting->timer = loop_.at(waiting->deadline, [this, waiting] { time_out(waiting); });
    return true;
}

// Defers a device_read until its link's response is made, or its io_timeout.
bool vxi11_service::wait_for_output(const call &c, long link, unsigned long timeout_ms, vxi11_waiter &&w)
{
    return wait_for_lock(c, link, waitlock_flag, timeout_ms, std::move(w));
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

vxi11_service::answer vxi11_service::serve_call(call &c)
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
    case device_readstb:
        return read_status(c);
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
    case destroy_link:
        return on_destroy(c);
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

vxi11_service::answer vxi11_service::read_status(call &c)
{
    const auto &p = *static_cast<Device_GenericParms *>(c.arguments);
    stb_answer = {};
    vxi11_link *l = link_of(c, p.lid);
    if (l == nullptr)
        stb_answer.error = invalid_link;
    else // MAV, bit 4: a response waits to be read
        stb_answer.stb = static_cast<u_char>(status_byte(l->client.session) | (l->unread() > 0 ? 1 << 4 : 0));
    return answer_of(stb_answer);
}

vxi11_service::answer vxi11_service::on_destroy(call &c)
{
    vxi11_link *l = link_of(c, *static_cast<Device_Link *>(c.arguments));
    if (l == nullptr)
        return error_of(invalid_link);
    settle_link(*l, l->unread() == 0, "destroy_link");
    return error_of(no_error);
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
    const std::string &peer = core_.peer(c.connection);
    if (device != "inst0" && device != "INST0") {
        link_answer.error = device_not_accessible;
        return answer_of(link_answer);
    }
    if (links_.size() >= context_.settings.admission.most) {
        link_answer.error = out_of_resources;
        log_("VXI-11 link from " + peer + " refused (" + std::to_string(links_.size()) +
             " links already, the most --max-clients allows)");
        return answer_of(link_answer);
    }
    const long id = next_link_++;
    links_[id] = std::make_unique<vxi11_link>(id, c.connection, peer, owner_, loop_);
    links_[id]->client.woken = [this] { answer_waiters(); }; // a read may wait for what it made
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
    if (l->unread() > unread_bound) {
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
        // A response is made when its message is written, or, for a query
        // that waits for words, once they come: only that one is waited for.
        vxi11_waiter w;
        w.read = p;
        if (l->client.waiting() && wait_for_output(c, l->id, p.io_timeout, std::move(w)))
            return later;
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
// A device_read waits for a response its link's message is still making.
bool vxi11_service::waits_for_output(const vxi11_waiter &w) const
{
    const auto l = links_.find(w.link);
    return w.procedure == device_read && l != links_.end() && l->second->unread() == 0 && l->second->client.waiting();
}

void vxi11_service::answer_waiters()
{
    for (std::size_t i = 0; i < waiters_.size();) {
        const bool timed_out = event_loop::clock::now() >= waiters_[i]->deadline;
        if (!timed_out && (!lock_free_for(waiters_[i]->link) || waits_for_output(*waiters_[i]))) {
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
    if (a.encode != nullptr)
        send_reply(true, w.connection, rpc_reply(w.xid, rpc_accept::success, a.encode, a.value));
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
    if (outputs_[1].count(w.connection) == 0)
        return; // gone with its connection
    if (timed_out && waits_for_output(w))
        return refuse_late(w, io_timeout);
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
    call k{w.procedure, arguments, w.connection, true, w.xid};
    answer_late(w, serve_call(k));
}

