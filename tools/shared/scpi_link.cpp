#include "scpi_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int left_ms(link_clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - link_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// strerror's "Connection refused" as it reads inside a sentence.
std::string sentence(const char *reason)
{
    std::string s(reason);
    if (s.size() > 1 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'a' && s[1] <= 'z')
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

} // namespace

void scpi_link::close_connection()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    in_.clear();
}

bool scpi_link::connect(link_clock::time_point deadline, std::string &why)
{
    if (fd_ >= 0)
        return true;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int looked = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found);
    if (looked != 0) {
        why = sentence(gai_strerror(looked));
        return false;
    }
    why = "no address";
    for (addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            why = sentence(std::strerror(errno));
            close(fd);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (poll(&p, 1, left_ms(deadline)) != 1) {
            why = "no answer in time";
            close(fd);
            continue;
        }
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            why = sentence(std::strerror(error));
            close(fd);
            continue;
        }
        const int on = 1; // a question is one small segment: send it now
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fd_ = fd;
        set_up_ = setup_.empty();
        ++connections_;
    }
    freeaddrinfo(found);
    return fd_ >= 0;
}

bool scpi_link::send_all(const std::string &bytes, link_clock::time_point deadline, std::string &why)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            why = sentence(std::strerror(errno));
        } else if (poll(&p, 1, left_ms(deadline)) == 1) {
            continue;
        } else {
            why = "it took nothing in time";
        }
        close_connection();
        return false;
    }
    return true;
}

// A connection its server closed while it was idle (a restart, an idle
// time-out) is opened anew before a message is sent on it: the message was
// never read there.
void scpi_link::drop_if_closed()
{
    if (fd_ < 0 || !in_.empty())
        return;
    pollfd p{fd_, POLLIN, 0};
    char byte = 0;
    if (poll(&p, 1, 0) == 1 && recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0)
        close_connection();
}

bool scpi_link::ask(const std::string &message, std::string &answer, link_clock::time_point deadline,
                    std::string &why, std::size_t most_bytes)
{
    drop_if_closed();
    if (!connect(deadline, why))
        return false;
    // The setup is a message of its own: it asks nothing, and touches only
    // the session, so it runs even while another client holds the lock.
    if (!send_all((set_up_ ? "" : setup_ + "\n") + message + "\n", deadline, why))
        return false;
    set_up_ = true;
    for (;;) {
        const std::size_t end = answer_end(in_);
        if (end != std::string::npos) {
            answer.assign(in_, 0, end);
            in_.erase(0, end + 1);
            return true;
        }
        if (in_.size() > most_bytes) {
            why = "its answer is longer than " + std::to_string(most_bytes) + " bytes";
            break;
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, left_ms(deadline));
        if (ready == 0) {
            why = "no answer in time";
            break;
        }
        char buffer[65536];
        const ssize_t n = ready > 0 ? recv(fd_, buffer, sizeof buffer, 0) : -1;
        if (n > 0) {
            in_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        why = n == 0 ? "the server closed the connection" : sentence(std::strerror(errno));
        break;
    }
    close_connection();
    return false;
}

namespace {

constexpr std::size_t not_a_block = std::string::npos - 1;

// The end of the block that starts at `at` ('#'); npos while it is
// incomplete, not_a_block when the bytes can be no definite-length block
// (the '#' is then a character like any other).
std::size_t block_end(const std::string &text, std::size_t at)
{
    if (at + 1 >= text.size())
        return std::string::npos;
    if (text[at + 1] < '1' || text[at + 1] > '9')
        return not_a_block;
    const std::size_t digits = static_cast<std::size_t>(text[at + 1] - '0');
    std::size_t length = 0;
    for (std::size_t i = at + 2; i < at + 2 + digits; ++i) {
        if (i >= text.size())
            return std::string::npos;
        if (text[i] < '0' || text[i] > '9')
            return not_a_block;
        length = length * 10 + static_cast<std::size_t>(text[i] - '0');
    }
    const std::size_t end = at + 2 + digits + length;
    return end <= text.size() ? end : std::string::npos;
}

// Calls `field(from, to)` for each field of the answer at the start of
// `text` (all of it, when no newline ends it); returns where the answer's
// newline is, or npos.
// A block may be any data element of a field: its first, or one after a comma.
template <typename F> std::size_t scan_answer(const std::string &text, F field)
{
    std::size_t from = 0, element = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            quoted = c != '"';
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            element = i + 1;
        } else if (c == '#' && i == element) {
            const std::size_t end = block_end(text, i);
            if (end == std::string::npos) { // the rest is the block, so far
                field(from, text.size());
                return std::string::npos;
            }
            if (end != not_a_block)
                i = end - 1;
        } else if (c == ';' || c == '\n') {
            field(from, i);
            from = element = i + 1;
            if (c == '\n')
                return i;
        }
    }
    field(from, text.size());
    return std::string::npos;
}

} // namespace

std::size_t answer_end(const std::string &text)
{
    return scan_answer(text, [](std::size_t, std::size_t) {});
}

std::vector<std::string> answer_fields(const std::string &answer)
{
    std::vector<std::string> out;
    scan_answer(answer, [&](std::size_t from, std::size_t to) { out.push_back(answer.substr(from, to - from)); });
    return out;
}

bool block_words(const std::string &field, std::vector<std::int32_t> &out, std::size_t most)
{
    out.clear();
    if (field.empty() || field[0] != '#' || block_end(field, 0) != field.size())
        return false;
    const std::size_t head = 2 + static_cast<std::size_t>(field[1] - '0');
    if ((field.size() - head) % 4 != 0 || (field.size() - head) / 4 > most)
        return false;
    out.reserve((field.size() - head) / 4);
    for (std::size_t i = head; i < field.size(); i += 4) {
        const auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(field[i + k])); };
        out.push_back(static_cast<std::int32_t>(b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3)));
    }
    return true;
}

bool parse_error(const std::string &field, scpi_error_answer &out)
{
    char *end = nullptr;
    errno = 0;
    const long code = std::strtol(field.c_str(), &end, 10);
    if (end == field.c_str() || errno != 0 || *end != ',')
        return false;
    std::string text(end + 1);
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    out.code = static_cast<int>(code);
    out.text.clear();
    for (std::size_t i = 1; i + 1 < text.size(); ++i) { // "" inside is one quote
        out.text += text[i];
        if (text[i] == '"' && text[i + 1] == '"')
            ++i;
    }
    return true;
}

bool split_numbers(const std::string &text, std::vector<long long> &out)
{
    out.clear();
    if (text.empty())
        return true;
    const char *at = text.c_str();
    for (;;) {
        char *end = nullptr;
        errno = 0;
        const long long v = std::strtoll(at, &end, 10);
        if (end == at || errno != 0 || (*end != ',' && *end != '\0'))
            return false;
        out.push_back(v);
        if (*end == '\0')
            return true;
        at = end + 1;
    }
}

bool parse_journal(const std::string &field, journal_state &out)
{
    const std::size_t close = field.size() > 1 && field[0] == '"' ? field.find('"', 1) : std::string::npos;
    std::vector<long long> indices;
    if (close == std::string::npos || close + 1 >= field.size() || field[close + 1] != ',' ||
        !split_numbers(field.substr(close + 2), indices) || indices.size() != 2 || indices[0] < 0 ||
        indices[1] < indices[0])
        return false;
    out.identity = field.substr(1, close - 1);
    out.oldest = static_cast<std::uint64_t>(indices[0]);
    out.next = static_cast<std::uint64_t>(indices[1]);
    return true;
}

bool parse_journal_read(const std::string &field, journal_words &out, std::size_t most)
{
    const std::size_t first_comma = field.find(',');
    const std::size_t second = first_comma == std::string::npos ? first_comma : field.find(',', first_comma + 1);
    std::vector<long long> head;
    if (second == std::string::npos || !split_numbers(field.substr(0, second), head) || head.size() != 2 ||
        head[0] < 0 || head[1] < 0 || !block_words(field.substr(second + 1), out.words, most))
        return false;
    out.first = static_cast<std::uint64_t>(head[0]);
    out.missed = static_cast<std::uint64_t>(head[1]);
    return true;
}

bool one_number(const std::string &text, long long &out)
{
    std::vector<long long> one;
    if (!split_numbers(text, one) || one.size() != 1)
        return false;
    out = one[0];
    return true;
}
