// ONC RPC calls over TCP, on the server's side (RFC 5531): the record
// marking that frames each call, the call's header, and the reply. The
// bytes are ours to read and write, so that no client can make the loop
// wait: a connection's records are gathered as they come, however slowly,
// and its replies queue until its socket takes them. The arguments and
// results are still encoded by rpcgen's XDR routines.
#pragma once

#include <rpc/xdr.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Gathers records from the bytes of one connection. A record (its
// fragments together) longer than `largest` is refused.
class rpc_record_reader {
public:
    explicit rpc_record_reader(std::size_t largest) : largest_(largest) {}
    enum class result { more, record, too_long };
    // Takes bytes from [data, data + size): `used` says how many. `record`
    // when a whole record is in `record()`; call again for the rest.
    result feed(const char *data, std::size_t size, std::size_t &used);
    const std::string &record() const { return record_; }

private:
    std::size_t largest_;
    std::string record_;
    bool complete_ = false;         // record_ is whole: cleared by the next feed
    unsigned char mark_[4] = {};
    std::size_t mark_have_ = 0;
    std::size_t fragment_left_ = 0; // bytes of the fragment still to come
    bool last_fragment_ = false;
};

struct rpc_request {
    std::uint32_t xid = 0, program = 0, version = 0, procedure = 0;
    const char *arguments = nullptr; // inside the record
    std::size_t arguments_size = 0;
};

enum class rpc_call_fault {
    none,
    not_a_call,   // a reply, or bytes that are no message: the connection is dropped
    rpc_version,  // not RPC version 2: denied with RPC_MISMATCH
    garbage,      // a header cut short or with credentials too long
};

rpc_call_fault parse_rpc_call(const std::string &record, rpc_request &call);

// The accept_stat values of a reply (RFC 5531, section 9).
enum class rpc_accept : std::uint32_t {
    success = 0,
    program_unavailable = 1,
    program_mismatch = 2,
    procedure_unavailable = 3,
    garbage_arguments = 4,
    system_error = 5,
};

// A whole reply record, its record mark included. With success, `result`
// is encoded by `encode` (null: no result, as the null procedure has);
// with program_mismatch, version 1 to 1 is said to be served.
std::string rpc_reply(std::uint32_t xid, rpc_accept status, xdrproc_t encode = nullptr, const void *result = nullptr);
// The denial of a call of another RPC version.
std::string rpc_version_denied(std::uint32_t xid);

// Decodes a call's arguments with rpcgen's routine; false when they are
// not what the procedure takes. What was decoded is freed with free_arguments.
bool decode_arguments(const rpc_request &call, xdrproc_t decode, void *into);
void free_arguments(xdrproc_t decode, void *from);
