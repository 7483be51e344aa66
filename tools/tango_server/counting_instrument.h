// The instrument as a device of a Tango control system: class
// CountingInstrument, one device per instrument, reaching it through the
// network instrument (scpi_server) over its SCPI socket, as any client
// does. Its attributes are the rows of attribute_table()
// (instrument_model.h); what each state allows is refusal()'s. The device
// keeps no words of its own: TakeCounts hands over, in its reply, the
// words DATA:REM? took from the server's hold, and ReadCounts reads the
// server's journal by index, taking nothing.
#pragma once

#include <tango.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instrument_model.h"
#include "scpi_link.h"

namespace counting_instrument_ns {

class CountingInstrument;

// The thread that watches the server: a look twice a second, and between
// looks a wait on the server's journal, so that new words are told as they
// come. It has its own connection and its own stop, and touches the device
// only under its monitor, after making sure it has not been stopped: Init
// and the device's end stop it without waiting on it while they hold the
// monitor.
class watcher {
public:
    watcher(CountingInstrument &device, scpi_link link, long recent, long bins, std::chrono::milliseconds timeout);
    ~watcher();
    void stop();
    bool stopped();
    bool finished() const { return finished_; }
    // Its thread ends once it sees the stop: joined when nobody waits on the monitor.
    void join();
    // Pauses until `ms` pass or it is stopped; true when stopped.
    bool pause(std::chrono::milliseconds ms);

    scpi_link link;
    unsigned long identity_asked_on = 0; // the connection *IDN? was last asked on
    const long recent, bins;             // the properties it looks with
    const std::chrono::milliseconds timeout;

private:
    CountingInstrument &device_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

class CountingInstrument : public TANGO_BASE_CLASS {
public:
    CountingInstrument(Tango::DeviceClass *cl, const char *name);
    ~CountingInstrument() override;
    void init_device() override;
    void delete_device() override;

    // Attributes, by their row.
    void read_attribute(std::size_t row, Tango::Attribute &att);
    void write_attribute(std::size_t row, Tango::WAttribute &att);
    // Throws API_CommandNotAllowed (or API_AttrNotAllowed) with why, when
    // the state does not allow `action`.
    void require(const std::string &action, bool attribute = false);

    // Commands (counting_instrument_class.cpp's table).
    CORBA::Any *reset(const CORBA::Any &in);
    CORBA::Any *start(const CORBA::Any &in);
    CORBA::Any *stop(const CORBA::Any &in);
    CORBA::Any *interface_test(const CORBA::Any &in);
    CORBA::Any *take_counts(const CORBA::Any &in);
    CORBA::Any *read_counts(const CORBA::Any &in);

    // The watcher's work (the device's monitor is taken here).
    void watch(watcher &w);

private:
    // Properties (declared in device_properties()).
    std::string host_;
    long port_ = 5025;
    double timeout_s_ = 1.0;
    long recent_length_ = 100;
    long histogram_bins_ = 64;
    std::chrono::milliseconds timeout_{1000};

    std::timed_mutex link_mutex_; // one message at a time on the commands' connection
    std::unique_ptr<scpi_link> link_;
    unsigned long identity_asked_on_ = 0;
    instrument_view view_;        // what the attributes show: under the device's monitor
    std::string unreachable_why_; // why the last look failed
    int retry_s_ = 1;             // the watcher's pause while the server cannot be reached
    Tango::DevLong64 words_taken_ = 0;

    std::shared_ptr<watcher> watcher_;
    std::vector<std::shared_ptr<watcher>> retired_; // stopped while the monitor was held

    // Values handed to Tango by a read: alive until the call ends.
    std::vector<attribute_value> read_values_;
    std::unique_ptr<Tango::DevBoolean[]> booleans_;
    std::vector<Tango::DevString> strings_;

    void read_properties();
    scpi_link new_link() const;
    // Asks the server for everything the attributes show, on `link`. The
    // view is unreachable, with the reason, when it cannot be reached.
    instrument_view look(scpi_link &link, unsigned long &identity_asked_on, long recent, long bins,
                         link_clock::time_point deadline, std::string &why);
    // Shows a view: state, status and events. Under the device's monitor.
    void publish(const instrument_view &v, const std::string &why);
    void push_row(std::size_t row, const attribute_value &value);
    // Between looks: waits for words past the journal's next index; true
    // when it could ask, and publishes the journal's indices when they moved.
    bool follow_journal(watcher &w, std::chrono::milliseconds ms);
    // A look at once on the commands' connection (after a command changed what the server does).
    void look_now(link_clock::time_point deadline);
    std::vector<std::string> ask_with_error(const std::string &message, link_clock::time_point deadline,
                                            scpi_error_answer &error,
                                            std::size_t most_bytes = scpi_link::default_most_bytes);
    std::vector<std::string> ask_checked(const std::string &message, link_clock::time_point deadline);
    CORBA::Any *run_message(const char *action, const char *message);
    [[noreturn]] static void throw_scpi(const scpi_error_answer &error, const std::string &message);
    void stop_watching();
};

} // namespace counting_instrument_ns
