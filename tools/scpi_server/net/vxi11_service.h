// The VXI-11 service inside: its channels' connections (stream_server's),
// its links, and the calls that wait for the instrument's lock. Shared by
// vxi11.cpp (channels, records, links, rpcbind) and vxi11_procedures.cpp
// (what each procedure does); nothing else includes it.
#pragma once

#include <rpc/xdr.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/rpc_record.h"
#include "net/stream_server.h"
#include "net/transport.h"
#include "scpi/client.h"
#include "vxi11_rpc.h" // rpcgen's: it names the procedures as macros, so nothing here is called create_link


struct vxi11_link {
    vxi11_link(long id_, stream_server::connection_id connection_, std::string peer_, bus_owner &owner,
               event_loop &loop)
        : id(id_), connection(connection_), peer(std::move(peer_)), client(owner, &loop)
    {
    }
    long id;
    stream_server::connection_id connection; // on the core channel
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
    stream_server::connection_id connection = 0;
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
    explicit vxi11_service(transport_context &context);
    ~vxi11_service();
    // Listens on the --listen hosts and registers with rpcbind; the log line.
    std::string start();
    // Links destroyed (words settled as delivered or put back), connections
    // closed, and the registration with rpcbind taken back.
    void stop(const std::string &why);
    bool busy() const { return core_.busy() || abort_.busy(); }
    std::vector<std::string> describe_links() const;
    std::vector<std::string> resources(const std::string &host) const;

    // One procedure's call, decoded, and how its answer is encoded.
    struct call {
        unsigned long procedure;
        void *arguments;
        stream_server::connection_id connection;
        bool core; // on the core channel, else the abort channel
        std::uint32_t xid;
    };
    struct answer {
        xdrproc_t encode = nullptr; // null: no answer now (it waits for the lock)
        const void *value = nullptr;
    };

    // From a channel's connection (rpc_channel, in vxi11.cpp): one whole
    // call. False when the connection is to close: nothing more it sent is read.
    bool handle_record(bool core, stream_server::connection_id connection, const std::string &record);
    // Replies go into a connection's output, named by its channel and number
    // (one gone already takes none).
    void send_reply(bool core, stream_server::connection_id connection, const std::string &reply);
    void end_connection(bool core, stream_server::connection_id connection, const std::string &why);
    void drop_waiters_of(stream_server::connection_id connection);
    void settle_links_of(stream_server::connection_id connection, bool delivered, const std::string &why);
    bool waits_on_another_connection(stream_server::connection_id connection) const;

private:
    transport_context &context_;
    event_loop &loop_;
    bus_owner &owner_;
    std::function<void(const std::string &)> log_;
    std::map<stream_server::connection_id, byte_queue *> outputs_[2]; // each channel's connections' (abort, core)
    stream_server core_, abort_;
    std::map<long, std::unique_ptr<vxi11_link>> links_;
    std::vector<std::unique_ptr<vxi11_waiter>> waiters_;
    long next_link_ = 1;
    int core_port_ = 0, abort_port_ = 0;
    bool started_ = false;
    bool registered_ = false;     // rpcbind has our core channel, as far as we know
    bool rpcbind_silent_ = false; // said in the log: rpcbind does not answer
    bool stopped_ = false;
    event_loop::timer_id registration_timer_ = 0;
    bus_owner::waiting_id lock_waiting_;

    stream_settings channel_settings(bool core) const;
    std::string answer_call(bool core, stream_server::connection_id connection, const rpc_request &rc);
    bool open_listeners(std::string &bound, std::string &why);
    void keep_registered();
    void settle_link(vxi11_link &l, bool delivered, const std::string &why);
    vxi11_link *link_of(const call &c, long id);
    bool lock_free_for(long link) const;
    const vxi11_link *lock_holder_link() const;
    bool wait_for_lock(const call &c, long link, long flags, unsigned long timeout_ms, vxi11_waiter &&w);
    bool wait_for_output(const call &c, long link, unsigned long timeout_ms, vxi11_waiter &&w);
    bool waits_for_output(const vxi11_waiter &w) const;
    answer serve_call(call &c);
    answer read_status(call &c);
    answer abort_waits(call &c);
    answer make_link(call &c);
    answer on_write(call &c);
    answer on_read(call &c);
    answer on_clear(call &c);
    answer on_lock(call &c);
    answer on_unlock(call &c);
    answer on_destroy(call &c);
    void answer_waiters();
    void time_out(vxi11_waiter *w);
    void answer_waiter(vxi11_waiter &w, bool timed_out);
    void answer_late(const vxi11_waiter &w, const answer &a);
    void refuse_late(const vxi11_waiter &w, long error);
};
