#include "counting_instrument.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace counting_instrument_ns {

namespace {

// The SCPI answer to "...;:SYST:ERR?": its last field is the error. Throws
// the SCPI error as a DevFailed (reason SCPI_<code>), else returns what
// came before it.
std::string without_error(const std::string &answer, const std::string &message)
{
    const std::size_t quote = answer.rfind(";");
    const std::string error = quote == std::string::npos ? answer : answer.substr(quote + 1);
    const std::string before = quote == std::string::npos ? "" : answer.substr(0, quote);
    const int code = std::atoi(error.c_str());
    if (code != 0) {
        std::string text = error.substr(error.find(',') + 1);
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
        Tango::Except::throw_exception("SCPI_" + std::to_string(code), std::to_string(code) + ", " + text,
                                       "CountingInstrument: " + message);
    }
    return before;
}

std::optional<Tango::DevLong> setting(const std::string &text)
{
    if (text.find('E') != std::string::npos || text.empty()) // 9.91E37: not known yet
        return std::nullopt;
    return static_cast<Tango::DevLong>(std::atol(text.c_str()));
}

std::vector<std::string> fields(const std::string &answer)
{
    std::vector<std::string> out;
    std::size_t from = 0;
    for (;;) {
        const std::size_t to = answer.find(';', from);
        out.push_back(answer.substr(from, to - from));
        if (to == std::string::npos)
            return out;
        from = to + 1;
    }
}

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
    if (Tango::Util::instance()->_UseDb)
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
}

void CountingInstrument::init_device()
{
    read_properties();
    link_ = std::make_unique<scpi_link>(host_, port_,
                                        std::chrono::milliseconds(static_cast<long>(timeout_s_ * 1000)));
    for (const char *name : {"State", "Run", "CountRate", "DataSize", "Threshold", "Polarity", "Period", "WordsLost"}) {
        set_change_event(name, true, false);
        set_archive_event(name, true, false);
    }
    set_state(Tango::UNKNOWN);
    set_status(host_.empty() ? "no Host property: set it to the scpi_server's host name"
                             : "connecting to " + link_->where());
    stopping_ = false;
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
    if (watcher_.joinable())
        watcher_.join();
    link_.reset();
}

// The server, looked at twice a second while it answers; when it does not,
// reached again after 1, 2, then every 5 s. Each look is pushed as events.
void CountingInstrument::watch()
{
    int retry_s = 1;
    for (;;) {
        instrument_view v;
        std::string why;
        const bool answered = refresh(v, why);
        publish(v, why, retry_s);
        const auto pause = answered ? std::chrono::milliseconds(500) : std::chrono::milliseconds(retry_s * 1000);
        retry_s = answered ? 1 : std::min(retry_s == 1 ? 2 : 5, 5);
        std::unique_lock<std::mutex> lock(watcher_mutex_);
        if (watcher_wake_.wait_for(lock, pause, [this] { return stopping_; }))
            return;
    }
}

bool CountingInstrument::refresh(instrument_view &v, std::string &why)
{
    std::lock_guard<std::mutex> lock(link_mutex_);
    const bool fresh = !link_->connected();
    if (!link_->connect(why))
        return false;
    std::string answer;
    if (fresh && (!link_->ask("FORM ASC;*IDN?", answer, why)))
        return false;
    if (fresh)
        view_identity_pending_ = answer;
    const std::string query = "STAT:OPER:COND?;QUES:COND?;:DATA:POIN?;RATE?;LOST?;:THR?;POL?;PER?;:DATA:REC? " +
                              std::to_string(recent_length_) + ";HIST? 64";
    if (!link_->ask(query, answer, why))
        return false;
    const std::vector<std::string> f = fields(answer);
    if (f.size() < 10) {
        why = "the server's answer is not what this device expects: " + answer.substr(0, 80);
        link_->close_connection();
        return false;
    }
    v.reachable = true;
    v.running = std::atoi(f[0].c_str()) != 0;
    v.hold_full = std::atoi(f[1].c_str()) != 0;
    v.data_size = std::atol(f[2].c_str());
    v.count_rate = std::atof(f[3].c_str());
    v.words_lost = std::atoll(f[4].c_str());
    v.threshold = setting(f[5]);
    v.polarity = setting(f[6]);
    v.period = setting(f[7]);
    std::vector<long long> numbers;
    if (split_numbers(f[8], numbers))
        v.recent.assign(numbers.begin(), numbers.end());
    if (split_numbers(f[9], numbers) && numbers.size() > 2)
        v.histogram.assign(numbers.begin() + 2, numbers.end());
    return true;
}

void CountingInstrument::publish(const instrument_view &v, const std::string &why, int retry_s)
{
    Tango::AutoTangoMonitor synch(this);
    const instrument_view before = view_;
    view_ = v;
    view_.identity = v.reachable ? (view_identity_pending_.empty() ? before.identity : view_identity_pending_) : "";
    view_identity_pending_.clear();
    Tango::DevState state = Tango::UNKNOWN;
    std::string status;
    if (!v.reachable) {
        status = "cannot reach " + link_->where() + ": " + why + "; retrying every " + std::to_string(retry_s) + " s";
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
    if (state_changed) {
        Tango::DevState s = state;
        push_change_event("State", &s);
        push_archive_event("State", &s);
    }
    auto push_long = [this](const char *name, std::optional<Tango::DevLong> now, std::optional<Tango::DevLong> was) {
        if (now && now != was) {
            Tango::DevLong value = *now;
            push_change_event(name, &value);
            push_archive_event(name, &value);
        }
    };
    if (v.running != before.running || state_changed) {
        Tango::DevBoolean run = v.running;
        push_change_event("Run", &run);
        push_archive_event("Run", &run);
    }
    push_long("DataSize", v.data_size, before.data_size);
    push_long("Threshold", v.threshold, before.threshold);
    push_long("Polarity", v.polarity, before.polarity);
    push_long("Period", v.period, before.period);
    if (v.count_rate != before.count_rate) {
        Tango::DevDouble rate = v.count_rate;
        push_change_event("CountRate", &rate);
        push_archive_event("CountRate", &rate);
    }
    if (v.words_lost != before.words_lost) {
        Tango::DevLong64 lost = v.words_lost;
        push_change_event("WordsLost", &lost);
        push_archive_event("WordsLost", &lost);
    }
}

std::string CountingInstrument::ask_checked(const std::string &message)
{
    std::string answer, why;
    bool answered;
    {
        std::lock_guard<std::mutex> lock(link_mutex_);
        answered = link_->ask(message + ";:SYST:ERR?", answer, why);
    }
    if (!answered)
        Tango::Except::throw_exception("UNREACHABLE", "cannot reach " + link_->where() + ": " + why,
                                       "CountingInstrument: " + message);
    return without_error(answer, message);
}

void CountingInstrument::require_state(const char *what, std::initializer_list<Tango::DevState> allowed)
{
    const Tango::DevState now = get_state();
    if (std::find(allowed.begin(), allowed.end(), now) != allowed.end())
        return;
    Tango::Except::throw_exception("NOT_ALLOWED",
                                   std::string(what) + " is not allowed in " + Tango::DevStateName[now] + ": " +
                                       get_status(),
                                   "CountingInstrument");
}

void CountingInstrument::read(const std::string &name, Tango::Attribute &att)
{
    // A value not known (the server cannot be reached, a setting never
    // made) is no value: never a stale one.
    const instrument_view &v = view_;
    static Tango::DevLong long_value;
    static Tango::DevBoolean bool_value;
    static Tango::DevDouble double_value;
    static Tango::DevLong64 long64_value;
    static Tango::DevString string_value;
    static std::string identity;
    auto unknown = [&] {
        Tango::Except::throw_exception("NO_VALUE", name + " is not known: " + get_status(), "CountingInstrument");
    };
    if (!v.reachable && name != "WordsTaken")
        unknown();
    if (name == "Threshold" || name == "Polarity" || name == "Period") {
        const std::optional<Tango::DevLong> &s = name == "Threshold" ? v.threshold
                                                 : name == "Polarity" ? v.polarity
                                                                      : v.period;
        if (!s)
            Tango::Except::throw_exception("NO_VALUE", name + " has not been set since the server started",
                                           "CountingInstrument");
        long_value = *s;
        att.set_value(&long_value);
    } else if (name == "DataSize") {
        long_value = v.data_size;
        att.set_value(&long_value);
    } else if (name == "Run") {
        bool_value = v.running;
        att.set_value(&bool_value);
    } else if (name == "CountRate") {
        double_value = v.count_rate;
        att.set_value(&double_value);
    } else if (name == "WordsTaken") {
        long64_value = words_taken_;
        att.set_value(&long64_value);
    } else if (name == "WordsLost") {
        long64_value = v.words_lost;
        att.set_value(&long64_value);
    } else if (name == "Identity") {
        identity = v.identity;
        string_value = const_cast<char *>(identity.c_str());
        att.set_value(&string_value);
    } else if (name == "RecentCounts") {
        att.set_value(const_cast<Tango::DevLong *>(v.recent.data()), static_cast<long>(v.recent.size()));
    } else if (name == "Histogram") {
        att.set_value(const_cast<Tango::DevLong *>(v.histogram.data()), static_cast<long>(v.histogram.size()));
    }
}

void CountingInstrument::write(const std::string &name, Tango::WAttribute &att)
{
    require_state(("writing " + name).c_str(), {Tango::ON, Tango::RUNNING, Tango::FAULT});
    Tango::DevLong value = 0;
    att.get_write_value(value);
    const char *header = name == "Threshold" ? "THR" : name == "Polarity" ? "POL" : "PER";
    const std::string back = ask_checked(std::string(header) + " " + std::to_string(value) + ";" + header + "?");
    Tango::AutoTangoMonitor synch(this);
    std::optional<Tango::DevLong> &known = name == "Threshold" ? view_.threshold
                                          : name == "Polarity" ? view_.polarity
                                                               : view_.period;
    known = setting(back);
}

void CountingInstrument::run_command(const std::string &name)
{
    if (name == "Start")
        require_state("Start", {Tango::ON});
    else
        require_state(name.c_str(), {Tango::ON, Tango::RUNNING, Tango::FAULT});
    ask_checked(name == "Reset" ? "*RST" : name == "Start" ? "INIT" : "ABOR");
    watcher_wake_.notify_all();
}

Tango::DevLong CountingInstrument::interface_test(Tango::DevLong value)
{
    require_state("IfcTest", {Tango::ON, Tango::RUNNING, Tango::FAULT});
    return static_cast<Tango::DevLong>(std::atol(ask_checked("DIAG:INT? " + std::to_string(value)).c_str()));
}

// The exactly-once path: words taken from the server's hold by DATA:REM?
// and handed over in this same reply. Nothing is kept here: if this
// process ends, at most the reply in flight is lost.
Tango::DevVarLongArray *CountingInstrument::take_counts(Tango::DevLong most)
{
    require_state("TakeCounts", {Tango::ON, Tango::RUNNING, Tango::FAULT});
    if (most < 1 || most > 1000000)
        Tango::Except::throw_exception("OUT_OF_RANGE", "TakeCounts takes 1 to 1000000 words", "CountingInstrument");
    const std::string answer = ask_checked("DATA:REM? " + std::to_string(most));
    std::vector<long long> words;
    if (!split_numbers(answer, words))
        Tango::Except::throw_exception("BAD_ANSWER", "DATA:REM? answered " + answer.substr(0, 80),
                                       "CountingInstrument");
    auto *out = new Tango::DevVarLongArray();
    out->length(static_cast<CORBA::ULong>(words.size()));
    for (std::size_t i = 0; i < words.size(); ++i)
        (*out)[static_cast<CORBA::ULong>(i)] = static_cast<Tango::DevLong>(words[i]);
    Tango::AutoTangoMonitor synch(this);
    words_taken_ += static_cast<Tango::DevLong64>(words.size());
    return out;
}

} // namespace counting_instrument_ns
