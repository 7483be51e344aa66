#include "counting_instrument.h"

#include <algorithm>
#include <cstdlib>

namespace counting_instrument_ns {

namespace {

const char *const origin = "CountingInstrument";

// The most words one DATA:REMove? answers with (the server's own bound).
constexpr Tango::DevLong most_taken = 16 << 20;

[[noreturn]] void refuse(const std::string &reason, const std::string &description)
{
    Tango::Except::throw_exception(reason, description, origin);
}

// A setting's read-back; none while the server has not made it (9.91E37).
std::optional<Tango::DevLong> setting(const std::string &text)
{
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        return std::nullopt;
    return static_cast<Tango::DevLong>(v);
}

bool whole(const std::string &text, long long &out)
{
    std::vector<long long> one;
    if (!split_numbers(text, one) || one.size() != 1)
        return false;
    out = one[0];
    return true;
}

// What the watcher asks at each look, in one message, and how many
// fields its answer has.
std::string look_query(Tango::DevLong recent_length)
{
    return "STAT:OPER:COND?;:STAT:QUES:COND?;:DATA:POIN?;RATE?;LOST?;:THR?;POL?;PER?;:DATA:REC? " +
           std::to_string(recent_length) + ";HIST? 64;:SYST:ERR?";
}
constexpr std::size_t look_fields = 11;

} // namespace

CountingInstrument::CountingInstrument(Tango::DeviceClass *cl, const char *name) : TANGO_BASE_CLASS(cl, name)
{
    init_device();
}

void CountingInstrument::read_properties()
{
    Tango::DbData data;
    for (const char *name : {"Host", "Port", "Timeout", "RecentLength"})
        data.push_back(Tango::DbDatum(name));
    if (Tango::Util::_UseDb)
        get_db_device()->get_property(data);
    if (!data[0].is_empty())
        data[0] >> host_;
    if (!data[1].is_empty())
        data[1] >> port_;
    if (!data[2].is_empty())
        data[2] >> timeout_s_;
    if (!data[3].is_empty())
        data[3] >> recent_length_;
    recent_length_ = std::clamp<Tango::DevLong>(recent_length_, 1, 4095);
    timeout_s_ = std::clamp(timeout_s_, 0.01, 60.0);
    timeout_ = std::chrono::milliseconds(static_cast<long>(timeout_s_ * 1000));
}

void CountingInstrument::init_device()
{
    read_properties();
    // Words and counts come as 32-bit blocks, exactly as the instrument sent them.
    link_ = std::make_unique<scpi_link>(host_, port_, "FORM INT,32");
    identity_asked_on_ = 0;
    view_ = instrument_view();
    for (const char *name : {"State", "Run", "CountRate", "DataSize", "Threshold", "Polarity", "Period", "WordsLost"}) {
        set_change_event(name, true, false);
        set_archive_event(name, true, false);
    }
    set_state(Tango::UNKNOWN);
    set_status(host_.empty() ? "no Host property: set it to the scpi_server's host name"
                             : "connecting to " + link_->where());
    stopping_ = false;
    retry_s_ = 1;
    if (!host_.empty())
        watcher_ = std::thread([this] { watch(); });
}

void CountingInstrument::delete_device()
{
    {
        std::lock_guard<std::mutex> lock(watcher_mutex_);
        stopping_ = true;
    }
    watcher_wake_.notify_all();
    if (watcher_.joinable()) {
        // Init deletes the device holding its monitor, which the watcher
        // may be waiting for: let it go while the watcher ends.
        Tango::TangoMonitor &monitor = get_dev_monitor();
        omni_thread *self = omni_thread::self();
        long held = self != nullptr && monitor.get_locking_thread_id() == self->id() ? monitor.get_locking_ctr() : 0;
        for (long i = 0; i < held; ++i)
            monitor.rel_monitor();
        watcher_.join();
        for (long i = 0; i < held; ++i)
            monitor.get_monitor();
    }
    link_.reset();
}

// The server, looked at twice a second while it answers; when it does not,
// reached again after 1 and 2 s, then every 5 s. Each look is pushed as
// events. Nothing thrown here may end the thread: that would end the
// process.
void CountingInstrument::watch()
{
    // The device's monitor tells its holder by omniORB's thread: without
    // one of its own, this thread would pass for any other that has none.
    omni_thread::ensure_self as_omni_thread;
    for (;;) {
        bool answered = false;
        try {
            const auto deadline = link_clock::now() + timeout_;
            instrument_view v;
            std::string why;
            std::unique_lock<std::timed_mutex> link(link_mutex_, deadline);
            if (!link.owns_lock()) { // a command has the connection still: it shows what it learns
                answered = true;
            } else {
                answered = look(v, why, deadline);
                link.unlock();
                if (answered)
                    retry_s_ = 1;
                Tango::AutoTangoMonitor synch(this);
                publish(v, why);
            }
        } catch (const Tango::DevFailed &e) {
            Tango::Except::print_exception(e);
        } catch (const std::exception &e) {
            std::cerr << get_name() << ": " << e.what() << std::endl;
        }
        const auto pause = answered ? std::chrono::milliseconds(500) : std::chrono::milliseconds(retry_s_ * 1000);
        if (!answered)
            retry_s_ = retry_s_ == 1 ? 2 : 5;
        std::unique_lock<std::mutex> lock(watcher_mutex_);
        if (watcher_wake_.wait_for(lock, pause, [this] { return stopping_; }))
            return;
    }
}

bool CountingInstrument::look(instrument_view &v, std::string &why, link_clock::time_point deadline)
{
    std::string answer;
    if (link_->connections() != identity_asked_on_ || !link_->connected()) { // a new session: who answers it?
        if (!link_->ask("*IDN?", answer, deadline, why))
            return false;
        identity_asked_on_ = link_->connections();
        v.identity = answer;
    }
    if (!link_->ask(look_query(recent_length_), answer, deadline, why))
        return false;
    const std::vector<std::string> f = answer_fields(answer);
    std::vector<std::int32_t> recent;
    std::vector<long long> lost_and_gaps, histogram;
    long long running = 0, questionable = 0, points = 0, rate = 0;
    scpi_error_answer error;
    if (f.size() != look_fields || !whole(f[0], running) || !whole(f[1], questionable) || !whole(f[2], points) ||
        !whole(f[3], rate) || !split_numbers(f[4], lost_and_gaps) || lost_and_gaps.size() != 2 ||
        !block_words(f[8], recent) || !split_numbers(f[9], histogram) || histogram.size() < 2 ||
        !parse_error(f[10], error)) {
        why = "its answer is not what this device expects (" + answer.substr(0, 60) + ")";
        link_->close_connection();
        return false;
    }
    v.reachable = true;
    v.running = running != 0;
    v.hold_full = questionable != 0;
    v.data_size = static_cast<Tango::DevLong>(std::min<long long>(points, INT32_MAX));
    v.count_rate = static_cast<Tango::DevDouble>(rate);
    v.words_lost = lost_and_gaps[0];
    v.threshold = setting(f[5]);
    v.polarity = setting(f[6]);
    v.period = setting(f[7]);
    v.recent.assign(recent.begin(), recent.end());
    v.histogram.assign(histogram.begin() + 2, histogram.end());
    if (error.code != 0)
        v.error = std::to_string(error.code) + ", " + error.text;
    return true;
}

template <typename T> void CountingInstrument::push(const char *name, T value)
{
    push_change_event(name, &value);
    push_archive_event(name, &value);
}

void CountingInstrument::publish(const instrument_view &v, const std::string &why)
{
    const instrument_view before = view_;
    view_ = v;
    if (v.reachable && v.identity.empty())
        view_.identity = before.identity;
    Tango::DevState state = Tango::UNKNOWN;
    std::string status;
    if (!v.reachable) {
        status = "cannot reach " + link_->where() + ": " + why + "; retrying every " + std::to_string(retry_s_) +
                 " s";
    } else if (!v.error.empty()) {
        state = Tango::FAULT;
        status = "the server reported an error: " + v.error;
    } else if (v.hold_full) {
        state = Tango::FAULT;
        status = "the server's hold is full: words read from the instrument are being lost (" +
                 std::to_string(v.words_lost) + " so far); take them with TakeCounts";
    } else {
        state = v.running ? Tango::RUNNING : Tango::ON;
        status = v.running ? "a run is on; " + std::to_string(v.data_size) + " words wait to be taken"
                           : "reachable at " + link_->where() + " and idle";
    }
    const bool state_changed = state != get_state();
    set_state(state);
    set_status(status);
    if (state_changed)
        push("State", state);
    if (!v.reachable)
        return; // no values: a read says why
    const bool values_new = !before.reachable;
    if (v.running != before.running || values_new)
        push("Run", static_cast<Tango::DevBoolean>(v.running));
    if (v.data_size != before.data_size || values_new)
        push("DataSize", v.data_size);
    if (v.count_rate != before.count_rate || values_new)
        push("CountRate", v.count_rate);
    if (v.words_lost != before.words_lost || values_new)
        push("WordsLost", v.words_lost);
    const std::pair<const char *, const std::optional<Tango::DevLong> instrument_view::*> settings[] = {
        {"Threshold", &instrument_view::threshold},
        {"Polarity", &instrument_view::polarity},
        {"Period", &instrument_view::period}};
    for (const auto &[name, member] : settings)
        if (v.*member && (v.*member != before.*member || values_new))
            push(name, *(v.*member));
}

void CountingInstrument::look_now(link_clock::time_point deadline)
{
    instrument_view v;
    std::string why;
    look(v, why, deadline);
    publish(v, why);
}

std::vector<std::string> CountingInstrument::ask_with_error(const std::string &message,
                                                            link_clock::time_point deadline,
                                                            scpi_error_answer &error, std::size_t most_bytes)
{
    std::string answer, why;
    {
        std::unique_lock<std::timed_mutex> link(link_mutex_, deadline);
        if (!link.owns_lock())
            refuse("BUSY", "the connection to " + link_->where() + " was still busy with another call");
        if (!link_->ask(message + ";:SYST:ERR?", answer, deadline, why, most_bytes))
            refuse("UNREACHABLE", "cannot reach " + link_->where() + ": " + why);
    }
    std::vector<std::string> fields = answer_fields(answer);
    if (!parse_error(fields.back(), error))
        refuse("BAD_ANSWER", "the server's answer to " + message + " is not what this device expects");
    fields.pop_back();
    return fields;
}

[[noreturn]] void CountingInstrument::throw_scpi(const scpi_error_answer &error, const std::string &message)
{
    Tango::Except::throw_exception("SCPI_" + std::to_string(error.code), std::to_string(error.code) + ", " + error.text,
                                   origin + std::string(": ") + message);
}

std::vector<std::string> CountingInstrument::ask_checked(const std::string &message,
                                                         link_clock::time_point deadline)
{
    scpi_error_answer error;
    std::vector<std::string> fields = ask_with_error(message, deadline, error);
    if (error.code != 0)
        throw_scpi(error, message);
    return fields;
}

void CountingInstrument::require_state(const std::string &what, std::initializer_list<Tango::DevState> allowed)
{
    const Tango::DevState now = get_state();
    if (std::find(allowed.begin(), allowed.end(), now) == allowed.end())
        refuse("NOT_ALLOWED", what + " is not allowed in " + Tango::DevStateName[now] + ": " + get_status());
}

void CountingInstrument::read(const std::string &name, Tango::Attribute &att)
{
    // A value not known (the server cannot be reached, a setting never
    // made) is no value: never a stale one.
    const instrument_view &v = view_;
    if (!v.reachable && name != "WordsTaken")
        refuse("NO_VALUE", name + " is not known: " + get_status());
    if (name == "Threshold" || name == "Polarity" || name == "Period") {
        const std::optional<Tango::DevLong> &s = name == "Threshold" ? v.threshold
                                                 : name == "Polarity" ? v.polarity
                                                                      : v.period;
        if (!s)
            refuse("NO_VALUE", name + " has not been set since the server started");
        long_value_ = *s;
        att.set_value(&long_value_);
    } else if (name == "DataSize") {
        long_value_ = v.data_size;
        att.set_value(&long_value_);
    } else if (name == "Run") {
        bool_value_ = v.running;
        att.set_value(&bool_value_);
    } else if (name == "CountRate") {
        double_value_ = v.count_rate;
        att.set_value(&double_value_);
    } else if (name == "WordsTaken") {
        long64_value_ = words_taken_;
        att.set_value(&long64_value_);
    } else if (name == "WordsLost") {
        long64_value_ = v.words_lost;
        att.set_value(&long64_value_);
    } else if (name == "Identity") {
        identity_ = v.identity;
        string_value_ = identity_.data();
        att.set_value(&string_value_);
    } else if (name == "RecentCounts") {
        att.set_value(const_cast<Tango::DevLong *>(v.recent.data()), static_cast<long>(v.recent.size()));
    } else if (name == "Histogram") {
        att.set_value(const_cast<Tango::DevLong *>(v.histogram.data()), static_cast<long>(v.histogram.size()));
    }
}

void CountingInstrument::write(const std::string &name, Tango::WAttribute &att)
{
    const auto deadline = link_clock::now() + timeout_;
    require_state("writing " + name, {Tango::ON, Tango::RUNNING, Tango::FAULT});
    Tango::DevLong value = 0;
    att.get_write_value(value);
    const std::string header = name == "Threshold" ? "THR" : name == "Polarity" ? "POL" : "PER";
    const std::vector<std::string> back = ask_checked(header + " " + std::to_string(value) + ";" + header + "?", deadline);
    std::optional<Tango::DevLong> &known = name == "Threshold" ? view_.threshold
                                          : name == "Polarity" ? view_.polarity
                                                               : view_.period;
    known = back.empty() ? std::nullopt : setting(back[0]);
    if (known)
        push(name.c_str(), *known);
}

void CountingInstrument::run_command(const std::string &name)
{
    const auto deadline = link_clock::now() + timeout_;
    if (name == "Start")
        require_state(name, {Tango::ON});
    else
        require_state(name, {Tango::ON, Tango::RUNNING, Tango::FAULT});
    ask_checked(name == "Reset" ? "*RST" : name == "Start" ? "INIT" : "ABOR", deadline);
    // What the command changed shows at once, not at the watcher's next look.
    std::unique_lock<std::timed_mutex> link(link_mutex_, deadline);
    if (link.owns_lock())
        look_now(deadline);
}

Tango::DevLong CountingInstrument::interface_test(Tango::DevLong value)
{
    const auto deadline = link_clock::now() + timeout_;
    require_state("IfcTest", {Tango::ON, Tango::RUNNING, Tango::FAULT});
    const std::vector<std::string> back = ask_checked("DIAG:INT? " + std::to_string(value), deadline);
    long long reply = 0;
    if (back.size() != 1 || !whole(back[0], reply))
        refuse("BAD_ANSWER", "DIAG:INT? was answered with no number");
    return static_cast<Tango::DevLong>(reply);
}

// The exactly-once path: words taken from the server's hold by DATA:REM?
// and handed over in this same reply. Nothing is kept here: if this
// process ends, at most the reply in flight is lost. Words taken are never
// dropped for an error told beside them: that a full hold lost words
// (-363) shows in WordsLost and in the state.
Tango::DevVarLongArray *CountingInstrument::take_counts(Tango::DevLong most)
{
    const auto deadline = link_clock::now() + timeout_;
    require_state("TakeCounts", {Tango::ON, Tango::RUNNING, Tango::FAULT});
    if (most < 1)
        refuse("OUT_OF_RANGE", "TakeCounts takes at least 1 word; it was asked for " + std::to_string(most));
    const std::string message = "DATA:REM? " + std::to_string(most);
    scpi_error_answer error;
    const std::vector<std::string> fields =
        ask_with_error(message, deadline, error, 4 * static_cast<std::size_t>(std::min(most, most_taken)) + 4096);
    std::vector<std::int32_t> words;
    if (fields.size() != 1 || !block_words(fields[0], words))
        refuse("BAD_ANSWER", "DATA:REM? was answered with no block of words");
    if (error.code != 0 && error.code != -363) {
        if (words.empty())
            throw_scpi(error, message);
        std::cerr << get_name() << ": DATA:REM? took " << words.size() << " words and reported " << error.code
                  << ", " << error.text << std::endl;
    }
    auto *out = new Tango::DevVarLongArray();
    out->length(static_cast<CORBA::ULong>(words.size()));
    std::copy(words.begin(), words.end(), out->get_buffer());
    words_taken_ += static_cast<Tango::DevLong64>(words.size());
    return out;
}

} // namespace counting_instrument_ns
