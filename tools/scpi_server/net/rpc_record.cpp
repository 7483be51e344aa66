#include "net/rpc_record.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

constexpr std::uint32_t last_fragment_bit = 0x80000000u;
constexpr std::uint32_t call_message = 0, reply_message = 1;
constexpr std::uint32_t rpc_version = 2;
constexpr std::uint32_t largest_authentication = 400; // RFC 5531: an opaque_auth body

std::uint32_t word_at(const std::string &s, std::size_t at)
{
    std::uint32_t w = 0;
    std::memcpy(&w, s.data() + at, 4);
    return ntohl(w);
}

void put_word(std::string &s, std::uint32_t w)
{
    const std::uint32_t n = htonl(w);
    s.append(reinterpret_cast<const char *>(&n), 4);
}

// The record mark, over the reply that follows it in `s`.
void mark_record(std::string &s)
{
    const std::uint32_t n = htonl(last_fragment_bit | static_cast<std::uint32_t>(s.size() - 4));
    std::memcpy(s.data(), &n, 4);
}

} // namespace

rpc_record_reader::result rpc_record_reader::feed(const char *data, std::size_t size, std::size_t &used)
{
    if (complete_) {
        record_.clear();
        complete_ = false;
    }
    used = 0;
    while (used < size) {
        if (fragment_left_ == 0 && mark_have_ < 4) {
            mark_[mark_have_++] = static_cast<unsigned char>(data[used++]);
            if (mark_have_ < 4)
                continue;
            const std::uint32_t mark = (std::uint32_t{mark_[0]} << 24) | (std::uint32_t{mark_[1]} << 16) |
                                       (std::uint32_t{mark_[2]} << 8) | mark_[3];
            last_fragment_ = (mark & last_fragment_bit) != 0;
            fragment_left_ = mark & ~last_fragment_bit;
            if (record_.size() + fragment_left_ > largest_)
                return result::too_long;
        }
        const std::size_t take = std::min(fragment_left_, size - used);
        record_.append(data + used, take);
        used += take;
        fragment_left_ -= take;
        if (fragment_left_ == 0) {
            mark_have_ = 0;
            if (last_fragment_) {
                complete_ = true;
                return result::record;
            }
        }
    }
    return result::more;
}

rpc_call_fault parse_rpc_call(const std::string &record, rpc_request &call)
{
    if (record.size() < 8)
        return rpc_call_fault::not_a_call;
    call.xid = word_at(record, 0);
    if (word_at(record, 4) != call_message)
        return rpc_call_fault::not_a_call;
    if (record.size() < 24)
        return rpc_call_fault::garbage;
    if (word_at(record, 8) != rpc_version)
        return rpc_call_fault::rpc_version;
    call.program = word_at(record, 12);
    call.version = word_at(record, 16);
    call.procedure = word_at(record, 20);
    std::size_t at = 24;
    for (int credential_then_verifier = 0; credential_then_verifier < 2; ++credential_then_verifier) {
        if (record.size() < at + 8)
            return rpc_call_fault::garbage;
        const std::uint32_t length = word_at(record, at + 4); // after the flavour: any flavour is taken
        if (length > largest_authentication)
            return rpc_call_fault::garbage;
        at += 8 + ((length + 3) & ~3u);
        if (record.size() < at)
            return rpc_call_fault::garbage;
    }
    call.arguments = record.data() + at;
    call.arguments_size = record.size() - at;
    return rpc_call_fault::none;
}

std::string rpc_reply(std::uint32_t xid, rpc_accept status, xdrproc_t encode, const void *result)
{
    const bool with_result = status == rpc_accept::success && encode != nullptr;
    const std::size_t result_size = with_result ? xdr_sizeof(encode, const_cast<void *>(result)) : 0;
    std::string s;
    s.reserve(4 + 24 + 8 + result_size);
    put_word(s, 0); // the record mark, once the size is known
    put_word(s, xid);
    put_word(s, reply_message);
    put_word(s, 0); // MSG_ACCEPTED
    put_word(s, 0); // verifier: AUTH_NONE,
    put_word(s, 0); //   empty
    put_word(s, static_cast<std::uint32_t>(status));
    if (status == rpc_accept::program_mismatch) {
        put_word(s, 1); // the versions served: 1 to 1
        put_word(s, 1);
    }
    if (with_result) {
        const std::size_t header = s.size();
        s.resize(header + result_size);
        XDR x;
        xdrmem_create(&x, s.data() + header, static_cast<u_int>(result_size), XDR_ENCODE);
        if (!encode(&x, const_cast<void *>(result))) { // cannot happen for a result we made
            s.resize(header - 4);
            put_word(s, static_cast<std::uint32_t>(rpc_accept::system_error));
        }
        xdr_destroy(&x);
    }
    mark_record(s);
    return s;
}

std::string rpc_version_denied(std::uint32_t xid)
{
    std::string s;
    put_word(s, 0);
    put_word(s, xid);
    put_word(s, reply_message);
    put_word(s, 1); // MSG_DENIED
    put_word(s, 0); // RPC_MISMATCH
    put_word(s, rpc_version);
    put_word(s, rpc_version);
    mark_record(s);
    return s;
}

bool decode_arguments(const rpc_request &call, xdrproc_t decode, void *into)
{
    XDR x;
    xdrmem_create(&x, const_cast<char *>(call.arguments), static_cast<u_int>(call.arguments_size), XDR_DECODE);
    const bool ok = decode(&x, into) != 0;
    xdr_destroy(&x);
    return ok;
}

void free_arguments(xdrproc_t decode, void *from) { xdr_free(decode, static_cast<char *>(from)); }
