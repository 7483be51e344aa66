// Fuzz target: arbitrary bytes as a VXI-11 connection's stream, in pieces
// of the sizes the input's first byte picks. Records are gathered and
// bounded, each call's header is read, and its arguments are decoded with
// every procedure's rpcgen routine and freed. Nothing may crash or read
// outside the record, a record never outgrows its bound, and a reply to any
// call decodes back to its transaction id.

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/rpc_record.h"
#include "vxi11_rpc.h"

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "RPC records broke: %s\n", what);
        std::abort();
    }
}

constexpr std::size_t largest = 4096;

template <typename Arguments>
void decode_as(const rpc_request &call, bool_t (*routine)(XDR *, Arguments *))
{
    Arguments a;
    std::memset(&a, 0, sizeof a);
    const auto decode = reinterpret_cast<xdrproc_t>(routine);
    decode_arguments(call, decode, &a);
    free_arguments(decode, &a);
}

void one_record(const std::string &record)
{
    require(record.size() <= largest, "a record outgrew its bound");
    rpc_request call;
    if (parse_rpc_call(record, call) != rpc_call_fault::none)
        return;
    require(call.arguments >= record.data() && call.arguments + call.arguments_size == record.data() + record.size(),
            "the arguments lie outside the record");
    decode_as(call, xdr_Create_LinkParms);
    decode_as(call, xdr_Device_WriteParms);
    decode_as(call, xdr_Device_ReadParms);
    decode_as(call, xdr_Device_GenericParms);
    decode_as(call, xdr_Device_LockParms);
    decode_as(call, xdr_Device_Link);
    decode_as(call, xdr_Device_EnableSrqParms);
    decode_as(call, xdr_Device_DocmdParms);
    decode_as(call, xdr_Device_RemoteFunc);
    Device_Error e{static_cast<long>(call.procedure)};
    const std::string reply = rpc_reply(call.xid, rpc_accept::success, reinterpret_cast<xdrproc_t>(xdr_Device_Error), &e);
    std::uint32_t mark = 0, xid = 0;
    require(reply.size() >= 8, "a reply is cut short");
    std::memcpy(&mark, reply.data(), 4);
    std::memcpy(&xid, reply.data() + 4, 4);
    require((ntohl(mark) & 0x7FFFFFFFu) == reply.size() - 4 && ntohl(xid) == call.xid, "a reply's mark or id is wrong");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t piece = 1 + data[0] % 64;
    rpc_record_reader reader(largest);
    for (std::size_t at = 1; at < size;) {
        const std::size_t n = std::min(piece, size - at);
        std::size_t offset = 0;
        while (offset < n) {
            std::size_t used = 0;
            const auto r = reader.feed(reinterpret_cast<const char *>(data) + at + offset, n - offset, used);
            require(used <= n - offset, "more bytes used than given");
            offset += used;
            if (r == rpc_record_reader::result::too_long)
                return 0; // the connection is dropped
            if (r == rpc_record_reader::result::record)
                one_record(reader.record());
            else
                require(offset == n, "bytes left unread with no record");
        }
        at += n;
    }
    return 0;
}
