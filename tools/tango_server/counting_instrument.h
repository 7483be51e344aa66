// The instrument as a device of a Tango control system: class
// CountingInstrument, one device per instrument, reaching it through the
// network instrument (scpi_server) over its SCPI socket, as any client
// does. The device keeps no words of its own: TakeCounts hands over, in
// its reply, the words DATA:REM? took from the server's hold.
#pragma once

#include <tango.h>

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
    Tango::DevDouble timeout_s_ = 1.0;
    Tango::DevLong recent_length_ = 100;

    std::mutex link_mutex_; // one message at a time on the connection
    std::unique_ptr<scpi_link> link_;
    instrument_view view_;   // under the device's monitor
    std::string view_identity_pending_; // *IDN? of a connection just made (the watcher's)
    Tango::DevLong64 words_taken_ = 0;

    std::thread watcher_;
    std::mutex watcher_mutex_;
    std::condition_variable watcher_wake_;
    bool stopping_ = false;

    void read_properties();
    void watch();
    bool refresh(instrument_view &v, std::string &why);
    void publish(const instrument_view &v, const std::string &why, int retry_s);
    // Sends `message` followed by a look at the error queue: the answers
    // before it, or a DevFailed with the SCPI code and text.
    std::string ask_checked(const std::string &message);
    void require_state(const char *what, std::initializer_list<Tango::DevState> allowed);
};

} // namespace counting_instrument_ns
