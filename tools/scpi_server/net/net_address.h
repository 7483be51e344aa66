// Addresses the SCPI server listens on and lets in: "ADDR:PORT" for IPv4,
// "[ADDR]:PORT" for IPv6, and CIDR blocks ("10.0.0.0/8", "fd00::/8").
#pragma once

#include <chrono>
#include <cstddef>

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

struct listen_address {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text; // as given
};

struct cidr_block {
    int family = AF_INET;
    unsigned char bytes[16] = {};
    int prefix = 0; // bits that must match
};

// Who a transport takes, and for how long it waits on them: the same rule
// for the SCPI socket and VXI-11.
struct client_admission {
    std::size_t most = 8;           // clients (links) at once: --max-clients
    bool allow_given = false;       // --allow was given: only its blocks
    std::vector<cidr_block> allow;
    std::chrono::seconds idle_timeout{300};
};

// False, with the reason, when `text` is no address and port.
bool parse_listen_address(const std::string &text, listen_address &a, std::string &error);
// Comma separated blocks, added to `blocks`. False, with the reason.
bool parse_cidr_list(const std::string &text, std::vector<cidr_block> &blocks, std::string &error);

bool is_loopback(const sockaddr_storage &a);
// Whether a peer lies in one of the blocks (an IPv4 peer seen through an
// IPv6 socket counts as IPv4).
bool allowed(const sockaddr_storage &peer, const std::vector<cidr_block> &blocks);

// "127.0.0.1:5025", "[::1]:5025"
std::string address_text(const sockaddr_storage &a);

// A listening TCP socket (non-blocking, close-on-exec) on `a`, its port
// replaced by `port` when that is not negative. -1, with the reason, when
// it cannot listen; `bound` says where it does (port 0: the kernel's choice).
int open_listener(const listen_address &a, int port, std::string &bound, std::string &error);
// A connection from `listener`, non-blocking and close-on-exec, or -1. On
// -1, `why` is the reason when it is a lack of descriptors or memory, which
// only waiting cures (the listener stays readable: accepting again at once
// would spin), else empty.
int accept_connection(int listener, sockaddr_storage &peer, std::string &why);
// The address a socket is bound to (port 0 there: the kernel's choice).
sockaddr_storage local_address(int fd);
// Its port.
int bound_port(int fd);
int address_port(const sockaddr_storage &a);
// The host a VISA resource string names for a socket bound to `bound`: its
// address, or, bound to every address, the name the asker used (`asked`).
std::string resource_host(const sockaddr_storage &bound, const std::string &asked);
