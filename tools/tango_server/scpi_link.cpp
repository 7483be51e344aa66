#include "scpi_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using clock_type = std::chrono::steady_clock;

int left_ms(clock_type::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

void scpi_link::close_connection()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    in_.clear();
}

bool scpi_link::connect(std::string &why)
{
    if (fd_ >= 0)
        return true;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int looked = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found);
    if (looked != 0) {
        why = gai_strerror(looked);
        return false;
    }
    const auto until = clock_type::now() + timeout_;
    why = "no address";
    for (addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            why = std::strerror(errno);
            close(fd);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (poll(&p, 1, left_ms(until)) != 1) {
            why = "no answer within " + std::to_string(timeout_.count()) + " ms";
            close(fd);
            continue;
        }
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            why = std::strerror(error);
            close(fd);
            continue;
        }
        fd_ = fd;
    }
    freeaddrinfo(found);
    return fd_ >= 0;
}

bool scpi_link::send_all(const std::string &bytes, std::string &why)
{
    const auto until = clock_type::now() + timeout_;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            why = std::strerror(errno);
        } else if (poll(&p, 1, left_ms(until)) == 1) {
            continue;
        } else {
            why = "it took nothing within " + std::to_string(timeout_.count()) + " ms";
        }
        close_connection();
        return false;
    }
    return true;
}

bool scpi_link::say(const std::string &message, std::string &why)
{
    return (fd_ >= 0 || connect(why)) && send_all(message + "\n", why);
}

bool scpi_link::ask(const std::string &message, std::string &answer, std::string &why)
{
    if (!say(message, why))
        return false;
    const auto until = clock_type::now() + timeout_;
    for (;;) {
        const std::size_t end = in_.find('\n');
        if (end != std::string::npos) {
            answer = in_.substr(0, end);
            in_.erase(0, end + 1);
            return true;
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, left_ms(until));
        if (ready == 0) {
            why = "no answer within " + std::to_string(timeout_.count()) + " ms";
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
        why = n == 0 ? "the server closed the connection" : std::strerror(errno);
        break;
    }
    close_connection();
    return false;
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
