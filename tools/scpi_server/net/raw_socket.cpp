#include "net/raw_socket.h"

#include <map>

#include "net/stream_server.h"
#include "scpi/client.h"

namespace {

constexpr std::size_t output_bound = 1024 * 1024; // past it, the connection's input waits
constexpr int socket_buffer = 64 * 1024;          // a connection's send buffer in the kernel

// One connection's SCPI client: newline framing, and nothing else here.
class scpi_stream final : public stream_protocol {
public:
    scpi_stream(bus_owner &owner, event_loop &loop, stream_server &server, stream_server::connection_id id,
                std::function<void()> gone)
        : client(owner, &loop), gone_(std::move(gone))
    {
        // A message shows the responses before it arrived: everything sent
        // is acknowledged and nothing waits here.
        client.shows_delivery = [&server, id] { return server.peer_has_everything(id); };
        client.woken = [&server, id] { server.flush(id); };
    }
    void received(const char *bytes, std::size_t n) override { client.feed(bytes, n, false); }
    void peer_closed() override { client.feed("", 0, true); }
    byte_queue &output() override { return client.output(); }
    bool input_waits() const override { return client.waiting(); }
    bool awaits_another() const override { return client.waiting(); }
    std::uint64_t messages() const override { return client.messages(); }
    std::string closing(bool delivered, const std::string &) override
    {
        return delivery_ticket::said(client.settle(delivered));
    }
    ~scpi_stream() override { gone_(); }

    scpi_client client;

private:
    std::function<void()> gone_;
};

class raw_socket final : public transport {
public:
    explicit raw_socket(transport_context &c)
        : context_(c), server_(c.loop, settings(c.settings.admission), [this](auto id, const std::string &) {
              auto stream = std::make_unique<scpi_stream>(context_.owner, context_.loop, server_, id, [this, id] { streams_.erase(id); });
              streams_[id] = stream.get();
              return stream;
          }, c.log),
          lock_waiting_(c.owner.when_released([this] { resume_waiting(); }))
    {
    }
    ~raw_socket() override
    {
        context_.owner.forget_waiting(lock_waiting_);
        close_all("the server is ending");
    }

    bool listen(std::string &said, std::string &error) override
    {
        for (const listen_address &a : context_.settings.scpi) {
            std::string bound;
            if (server_.listen_on(a, -1, bound, error) < 0)
                return false;
            said += (said.empty() ? "listening on " : ", ") + bound;
        }
        return true;
    }
    void stop_listening() override { server_.stop_listening(); }
    void stop_reading() override
    {
        reading_ = false;
        server_.stop_reading();
    }
    void close_all(const std::string &why) override
    {
        // At the end, a response the client's TCP has acknowledged whole is
        // the client's, as on VXI-11: it is not spooled as well.
        server_.close_all(why);
    }
    bool busy() const override { return server_.busy(); }
    std::vector<std::string> clients() const override
    {
        std::vector<std::string> out;
        for (const auto id : server_.connections())
            out.push_back(server_.peer(id) + " (SCPI socket)");
        return out;
    }
    std::vector<std::string> resources(const std::string &host) const override
    {
        std::vector<std::string> out;
        for (const sockaddr_storage &a : server_.addresses())
            out.push_back("TCPIP::" + resource_host(a, host) + "::" + std::to_string(address_port(a)) + "::SOCKET");
        return out;
    }

private:
    transport_context &context_;
    std::map<stream_server::connection_id, scpi_stream *> streams_;
    stream_server server_;
    bus_owner::waiting_id lock_waiting_;
    bool reading_ = true;

    static stream_settings settings(const client_admission &admission)
    {
        stream_settings s;
        s.admission = admission;
        s.most = admission.most;
        s.too_many = std::to_string(admission.most) + " clients already, the most --max-clients allows";
        s.told = [](const std::string &why) {
            return std::to_string(code_of(scpi_err::system_error)) + ",\"" +
                   error_message(scpi_err::system_error, why) + "\"\n";
        };
        s.send_buffer = socket_buffer;
        s.unsent_bound = output_bound;
        return s;
    }

    // The lock was given back: the messages that waited for it run.
    void resume_waiting()
    {
        if (!reading_)
            return;
        for (const auto id : server_.connections()) {
            const auto s = streams_.find(id);
            if (s == streams_.end() || !s->second->client.waiting())
                continue;
            s->second->client.resume();
            server_.flush(id);
        }
    }
};

} // namespace

std::unique_ptr<transport> make_raw_socket(transport_context &context)
{
    return std::make_unique<raw_socket>(context);
}
