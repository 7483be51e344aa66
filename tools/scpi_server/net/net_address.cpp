#include "net/net_address.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <cstring>

#include "numbers.h"

namespace {

// The address bytes of a peer, an IPv4-mapped IPv6 address as IPv4.
int address_bytes(const sockaddr_storage &a, unsigned char bytes[16])
{
    if (a.ss_family == AF_INET) {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in &>(a).sin_addr, 4);
        return AF_INET;
    }
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(bytes, v6.s6_addr + 12, 4);
        return AF_INET;
    }
    std::memcpy(bytes, v6.s6_addr, 16);
    return AF_INET6;
}

} // namespace

bool parse_listen_address(const std::string &text, listen_address &a, std::string &error)
{
    error = "--listen " + text + ": not ADDR:PORT or [ADDR]:PORT";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    long long port = 0;
    if (parse_integer(text.substr(colon + 1), 0, 65535, port) != number_fault::none)
        return false;
    std::string host = text.substr(0, colon);
    a = listen_address{};
    a.text = text;
    if (host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(a.address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1)
            return false;
        a.length = sizeof v6;
    } else {
        auto &v4 = reinterpret_cast<sockaddr_in &>(a.address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1)
            return false;
        a.length = sizeof v4;
    }
    return true;
}

bool parse_cidr_list(const std::string &text, std::vector<cidr_block> &blocks, std::string &error)
{
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(at, end - at);
        at = end + 1;
        error = "--allow " + item + ": not a CIDR block (ADDR/BITS)";
        const std::size_t slash = item.find('/');
        if (slash == std::string::npos)
            return false;
        cidr_block b;
        const std::string host = item.substr(0, slash);
        b.family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
        long long prefix = 0;
        if (inet_pton(b.family, host.c_str(), b.bytes) != 1 ||
            parse_integer(item.substr(slash + 1), 0, b.family == AF_INET ? 32 : 128, prefix) != number_fault::none)
            return false;
        b.prefix = static_cast<int>(prefix);
        blocks.push_back(b);
    }
    return true;
}

bool is_loopback(const sockaddr_storage &a)
{
    unsigned char bytes[16];
    if (address_bytes(a, bytes) == AF_INET)
        return bytes[0] == 127;
    static const unsigned char v6_loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, v6_loopback, 16) == 0;
}

bool allowed(const sockaddr_storage &peer, const std::vector<cidr_block> &blocks)
{
    unsigned char bytes[16];
    const int family = address_bytes(peer, bytes);
    for (const cidr_block &b : blocks) {
        if (b.family != family)
            continue;
        bool inside = true;
        for (int bit = 0; bit < b.prefix && inside; ++bit) {
            const int mask = 0x80 >> (bit % 8);
            inside = (bytes[bit / 8] & mask) == (b.bytes[bit / 8] & mask);
        }
        if (inside)
            return true;
    }
    return false;
}

std::string address_text(const sockaddr_storage &a)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (a.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(a);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

int open_listener(const listen_address &a, int port, std::string &bound, std::string &error)
{
    sockaddr_storage where = a.address;
    if (port >= 0) {
        if (where.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in &>(where).sin_port = htons(static_cast<std::uint16_t>(port));
        else
            reinterpret_cast<sockaddr_in6 &>(where).sin6_port = htons(static_cast<std::uint16_t>(port));
    }
    const int fd = socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (where.ss_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&where), a.length) != 0 || listen(fd, 16) != 0) {
        error = "cannot listen on " + (port < 0 ? a.text : address_text(where)) + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    bound = address_text(local_address(fd));
    return fd;
}

sockaddr_storage local_address(int fd)
{
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    return a;
}

int bound_port(int fd) { return address_port(local_address(fd)); }

int accept_connection(int listener, sockaddr_storage &peer, std::string &why)
{
    socklen_t length = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    why.clear();
    if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
        why = std::strerror(errno);
    return fd;
}

std::string resource_host(const sockaddr_storage &bound, const std::string &asked)
{
    const std::string where = address_text(bound); // "127.0.0.1:5025", "[::]:5025"
    const std::string host = where.substr(0, where.rfind(':'));
    const bool any = host == "0.0.0.0" || host == "[::]";
    return any && !asked.empty() ? asked : host;
}

int address_port(const sockaddr_storage &a)
{
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(a).sin6_port
                                         : reinterpret_cast<const sockaddr_in &>(a).sin_port);
}
