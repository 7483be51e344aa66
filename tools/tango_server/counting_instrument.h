// The instrument as a device of a Tango control system: class
// CountingInstrument, one device per instrument, reaching it through the
// network instrument (scpi_server) over its SCPI socket, as any client
// does. The device keeps no words of its own: TakeCounts hands over, in
// its reply, the words DATA:REM? took from the server's hold.
#pragma once

#include <tango.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scpi_link.h"

namespace counting_instrument_ns {

// What the device last learnt from the server; read by the attributes.
struct instrument_view {
    bool reachable = false;
    bool running = false;
    bool hold_full = false;
    Tango::DevLong data_size = 0;
    Tango::DevDouble count_rate = 0;
    Tango::DevLong64 words_lost = 0;
    std::optional<Tango::DevLong> threshold, polarity, period;
    std::string identity;
    std::vector<Tango::DevLong> recent, histogram;
    std::string error; // an error the server reported to the watcher's look
};

class CountingInstrument : public TANGO_BASE_CLASS {
public:
    CountingInstrument(Tango::DeviceClass *cl, const char *name);
    ~CountingInstrument() override { delete_device(); }
    void init_device() override;
    void delete_device() override;

    // The attributes and commands, by name (counting_instrument_class.cpp).
    void read(const std::string &name, Tango::Attribute &att);
    void write(const std::string &name, Tango::WAttribute &att);
    void run_command(const std::string &name);
    Tango::DevLong interface_test(Tango::DevLong value);
    Tango::DevVarLongArray *take_counts(Tango::DevLong most);

private:
    // Properties.
    std::string host_;
    Tango::DevLong port_ = 5025;
    Tango::DevDouble timeout_s_ = 1.0; // for connecting, and for each command
    Tango::DevLong recent_length_ = 100;

    std::chrono::milliseconds timeout_{1000};

    std::timed_mutex link_mutex_; // one message at a time on the connection
    std::unique_ptr<scpi_link> link_;
    instrument_view view_; // what the attributes show: under the device's monitor
    Tango::DevLong64 words_taken_ = 0;
    unsigned long identity_asked_on_ = 0; // the connection *IDN? was last asked on (under the link)
    std::atomic<int> retry_s_{1}; // the watcher's pause while the server cannot be reached

    // The values a read hands to Tango, which keeps a pointer until the
    // call ends (reads of one device are serialised by its monitor).
    Tango::DevLong long_value_ = 0;
    Tango::DevBoolean bool_value_ = false;
    Tango::DevDouble double_value_ = 0;
    Tango::DevLong64 long64_value_ = 0;
    std::string identity_;
    Tango::DevString string_value_ = nullptr;

    std::thread watcher_;
    std::mutex watcher_mutex_;
    std::condition_variable watcher_wake_;
    bool stopping_ = false;

    void read_properties();
    void watch();
    // Asks the server for everything the attributes show; false, with the
    // reason, when it cannot be reached. The caller holds the link.
    bool look(instrument_view &v, std::string &why, link_clock::time_point deadline);
    // Shows a look: state, status and the change and archive events.
    void publish(const instrument_view &v, const std::string &why);
    // A look made at once, after a command changed what the server does.
    void look_now(link_clock::time_point deadline);
    template <typename T> void push(const char *name, T value);
    // Sends `message` followed by a look at the error queue: the fields of
    // the answers before it, and the error. A DevFailed when the server
    // cannot be reached, or the connection stays busy, past `deadline`.
    std::vector<std::string> ask_with_error(const std::string &message, link_clock::time_point deadline,
                                            scpi_error_answer &error,
                                            std::size_t most_bytes = scpi_link::default_most_bytes);
    // The same, and the SCPI error as a DevFailed (reason SCPI_<code>).
    std::vector<std::string> ask_checked(const std::string &message, link_clock::time_point deadline);
    [[noreturn]] static void throw_scpi(const scpi_error_answer &error, const std::string &message);
    void require_state(const std::string &what, std::initializer_list<Tango::DevState> allowed);
};

} // namespace counting_instrument_ns
