// The Tango device server's connection to scpi_server: where an answer
// ends, its fields, its blocks of words and its errors; a server that
// never ends its answer; the setup that begins every connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

#include <thread>

#include "scpi_link.h"

namespace {

std::string block(std::initializer_list<std::uint32_t> words)
{
    std::string bytes;
    for (std::uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes += static_cast<char>(w >> shift);
    const std::string length = std::to_string(bytes.size());
    return "#" + std::to_string(length.size()) + length + bytes;
}

// A socket listening on 127.0.0.1, on a port the kernel picks.
int loopback_listener(int &port)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 2) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return listener;
}

TEST(scpi_answers, end_after_blocks_and_strings_that_hold_newlines_and_semicolons)
{
    const std::string words = block({0x0A0A0A0A, 0x3B3B3B3B, 0xFFFFFFFF}); // '\n', ';' and -1
    const std::string answer = "16;" + words + ";0,\"No; \"\"error\"\"\n\"";
    EXPECT_EQ(answer_end(answer + "\n7\n"), answer.size());
    for (std::size_t cut = 0; cut <= answer.size(); ++cut)
        EXPECT_EQ(answer_end(answer.substr(0, cut)), std::string::npos) << cut;

    const std::vector<std::string> fields = answer_fields(answer);
    ASSERT_EQ(fields.size(), 3u);
    std::vector<std::int32_t> out;
    ASSERT_TRUE(block_words(fields[1], out));
    EXPECT_EQ(out, (std::vector<std::int32_t>{0x0A0A0A0A, 0x3B3B3B3B, -1}));
    scpi_error_answer error;
    ASSERT_TRUE(parse_error(fields[2], error));
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.text, "No; \"error\"\n");

    // A '#' that begins no block is a character: the newline after it ends the answer.
    EXPECT_EQ(answer_end("#x;#9a\n"), 6u);
    EXPECT_EQ(answer_end("#9"), std::string::npos); // its length digits are yet to come
    ASSERT_TRUE(block_words("#10", out));
    EXPECT_TRUE(out.empty());
    for (const char *bad : {"", "#", "#0", "#15abcd", "#14abc", "#3005abcd", "12,3"})
        EXPECT_FALSE(block_words(bad, out)) << bad;
    for (const char *bad : {"", "-113", "-113,Undefined", "x,\"a\"", "-113,\"a"})
        EXPECT_FALSE(parse_error(bad, error)) << bad;
    ASSERT_TRUE(parse_error("-213,\"Init ignored; a run is on\"", error));
    EXPECT_EQ(error.code, -213);
}

TEST(scpi_link, a_server_that_never_ends_its_answer_costs_a_bounded_buffer_and_closes)
{
    int port = 0;
    const int listener = loopback_listener(port);
    ASSERT_GE(listener, 0);
    std::thread endless([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        const std::string chunk(65536, 'x');
        while (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
        }
        close(fd);
    });
    scpi_link link("127.0.0.1", port);
    std::string answer, why;
    EXPECT_FALSE(link.ask("*IDN?", answer, link_clock::now() + std::chrono::seconds(10), why, 1 << 20));
    EXPECT_EQ(why, "its answer is longer than 1048576 bytes");
    EXPECT_FALSE(link.connected());
    endless.join();
    close(listener);

    EXPECT_FALSE(link.ask("*IDN?", answer, link_clock::now() + std::chrono::seconds(1), why));
    EXPECT_EQ(why, "connection refused");
}

TEST(scpi_link, every_connection_begins_with_the_setup)
{
    int port = 0;
    const int listener = loopback_listener(port);
    ASSERT_GE(listener, 0);
    std::vector<std::string> heard;
    std::atomic<bool> first_closed{false};
    std::thread server([&] {
        for (int connection = 0; connection < 2; ++connection) {
            const int fd = accept(listener, nullptr, nullptr);
            for (int message = 0; message < 3 - connection; ++message) {
                std::string line;
                char c;
                while (recv(fd, &c, 1, 0) == 1 && c != '\n')
                    line += c;
                heard.push_back(line);
                if (line.rfind("FORM", 0) != 0) // the setup asks nothing
                    send(fd, "1\n", 2, MSG_NOSIGNAL);
            }
            close(fd);
            first_closed = true;
        }
    });
    scpi_link link("127.0.0.1", port, "FORM INT,32");
    std::string answer, why;
    const auto deadline = link_clock::now() + std::chrono::seconds(10);
    EXPECT_TRUE(link.ask("DATA:POIN?", answer, deadline, why));
    EXPECT_TRUE(link.ask("*IDN?", answer, deadline, why));
    while (!first_closed)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The server closed it while it was idle: the message goes on a new one.
    EXPECT_TRUE(link.ask("*IDN?", answer, deadline, why)) << why;
    EXPECT_EQ(link.connections(), 2u);
    server.join();
    close(listener);
    EXPECT_EQ(heard, (std::vector<std::string>{"FORM INT,32", "DATA:POIN?", "*IDN?", "FORM INT,32", "*IDN?"}));
}

} // namespace
