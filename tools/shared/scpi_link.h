// One connection to an scpi_server: a client like any other, over its SCPI
// socket (the Tango device server's, countctl's --server). Every wait ends
// at a deadline the caller gives, so no Tango call, and no recording, waits
// longer than its time-out because a Pi is gone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using link_clock = std::chrono::steady_clock;

class scpi_link {
public:
    // `setup` ("FORM INT,32"), a message that asks nothing and sets only
    // the session, goes before the first message of every connection: no
    // message is ever sent on a connection without it.
    scpi_link(std::string host, int port, std::string setup = "")
        : host_(std::move(host)), port_(port), setup_(std::move(setup))
    {
    }
    ~scpi_link() { close_connection(); }
    scpi_link(const scpi_link &) = delete;
    scpi_link &operator=(const scpi_link &) = delete;
    scpi_link(scpi_link &&other) noexcept
        : host_(std::move(other.host_)), port_(other.port_), setup_(std::move(other.setup_)), fd_(other.fd_),
          connections_(other.connections_), set_up_(other.set_up_), in_(std::move(other.in_))
    {
        other.fd_ = -1;
    }

    // Connects if it is not; false, with the reason ("connection refused").
    bool connect(link_clock::time_point deadline, std::string &why);
    bool connected() const { return fd_ >= 0; }
    // Counts the connections made: a new one is a new session on the server.
    unsigned long connections() const { return connections_; }
    void close_connection();

    // Sends one message and reads its one answer: up to the newline that
    // ends it, past any definite-length block (whose bytes may hold
    // newlines), without the newline. False, with the reason, when the
    // connection failed or the deadline passed: the connection is then
    // closed, so that a late answer is never taken for the next one.
    // An answer longer than `most_bytes` fails too: a server that never
    // ends its answer costs this process no more memory than that.
    bool ask(const std::string &message, std::string &answer, link_clock::time_point deadline, std::string &why,
             std::size_t most_bytes = default_most_bytes);
    static constexpr std::size_t default_most_bytes = 1u << 20;

    std::string where() const { return host_ + ":" + std::to_string(port_); }

private:
    std::string host_;
    int port_;
    std::string setup_;
    int fd_ = -1;
    unsigned long connections_ = 0;
    bool set_up_ = false; // the setup was sent on this connection
    std::string in_;      // bytes read past the last answer

    bool send_all(const std::string &bytes, link_clock::time_point deadline, std::string &why);
    void drop_if_closed();
};

// Where the answer that starts `text` ends: the offset of its newline, or
// npos while it is incomplete. Quoted strings and definite-length blocks
// (#<n><length><bytes>, as any element of a field: "first,missed,#...")
// are stepped over whole.
std::size_t answer_end(const std::string &text);

// An answer's fields, split at the semicolons between the answers to its
// queries; a block or a string stays whole in its field.
std::vector<std::string> answer_fields(const std::string &answer);

// A definite-length block of 32-bit words, most significant byte first
// (FORMat INTeger,32), as the signed words they are; false when `field`
// is no such block: not a whole number of words, or more than `most`.
bool block_words(const std::string &field, std::vector<std::int32_t> &out, std::size_t most = SIZE_MAX);

// The answer to SYSTem:ERRor?: its code (0 for none) and its text.
struct scpi_error_answer {
    int code = 0;
    std::string text;
};
bool parse_error(const std::string &field, scpi_error_answer &out);

// "12" as its number; false unless the text is one whole number.
bool one_number(const std::string &text, long long &out);

// "a,b,c" as numbers; false when a field is no whole number.
bool split_numbers(const std::string &text, std::vector<long long> &out);

// The answer to DATA:JOURnal?: "identity",oldest,next.
struct journal_state {
    std::string identity; // the server's life: another after a restart
    std::uint64_t oldest = 0, next = 0;
};
bool parse_journal(const std::string &field, journal_state &out);

// The answer to DATA:READ? in FORMat INTeger: first,missed,#block, the
// block at most `most` words.
struct journal_words {
    std::uint64_t first = 0;  // the index of the first word
    std::uint64_t missed = 0; // words that had left the journal before it
    std::vector<std::int32_t> words;
};
bool parse_journal_read(const std::string &field, journal_words &out, std::size_t most);
