// The device server's one connection to an scpi_server: a client like any
// other, over its SCPI socket. Every wait is bounded by the time-out, so
// no Tango call waits longer because a Pi is gone.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class scpi_link {
public:
    scpi_link(std::string host, int port, std::chrono::milliseconds timeout)
        : host_(std::move(host)), port_(port), timeout_(timeout)
    {
    }
    ~scpi_link() { close_connection(); }
    scpi_link(const scpi_link &) = delete;
    scpi_link &operator=(const scpi_link &) = delete;

    // Connects if it is not; false, with the reason ("connection refused").
    bool connect(std::string &why);
    bool connected() const { return fd_ >= 0; }
    void close_connection();

    // Sends one message and reads its one answer line (without the
    // newline). False, with the reason, when the connection failed or the
    // time-out passed: the connection is then closed.
    bool ask(const std::string &message, std::string &answer, std::string &why);
    // Sends a message that asks nothing.
    bool say(const std::string &message, std::string &why);

    std::string where() const { return host_ + ":" + std::to_string(port_); }

private:
    std::string host_;
    int port_;
    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    std::string in_; // bytes read past the last answer

    bool send_all(const std::string &bytes, std::string &why);
};

// "a,b,c" as numbers; false when a field is no whole number.
bool split_numbers(const std::string &text, std::vector<long long> &out);
