#include "counting_instrument.h"

#include <algorithm>
#include <cstdlib>
#include <sys/time.h>

namespace counting_instrument_ns {

namespace {

const char *const origin = "CountingInstrument";

// Every connection: words as 32-bit blocks, exactly as the instrument sent
// them, and no message left waiting while another client holds the lock.
const char *const setup = "FORM INT,32;:SYST:LOCK:WAIT OFF";

// The most words one DATA:REMove? answers with (the server's own bound).
constexpr Tango::DevLong most_taken = 16 << 20;
// TakeCounts waits for its answer well under a client's usual time-out
// (PyTango's 3 s): a reply the client gave up on would lose its words.
constexpr auto longest_take = std::chrono::milliseconds(1000);
constexpr auto look_period = std::chrono::milliseconds(500);

[[noreturn]] void refuse(const std::string &reason, const std::string &description)
{
    Tango::Except::throw_exception(reason, description, origin);
}

Tango::DevState tango_state(device_state s)
{
    switch (s) {
    case device_state::on: return Tango::ON;
    case device_state::running: return Tango::RUNNING;
    case device_state::fault: return Tango::FAULT;
    case device_state::disable: return Tango::DISABLE;
    case device_state::unknown: break;
    }
    return Tango::UNKNOWN;
}

timeval now_timeval()
{
    timeval t{};
    gettimeofday(&t, nullptr);
    return t;
}

} // namespace

// --- the watcher ----------------------------------------------------------------

watcher::watcher(CountingInstrument &device, scpi_link l, long recent_, long bins_, std::chrono::milliseconds timeout_)
    : link(std::move(l)), recent(recent_), bins(bins_), timeout(timeout_), device_(device),
      thread_([this] {
          device_.watch(*this);
          finished_ = true;
      })
{
}

watcher::~watcher()
{
    stop();
    join();
}

void watcher::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

bool watcher::stopped()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void watcher::join()
{
    if (thread_.joinable())
        thread_.join();
}

bool watcher::pause(std::chrono::milliseconds ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, ms, [this] { return stopping_; });
}

// --- the device -------------------------------------------------------------------

CountingInstrument::CountingInstrument(Tango::DeviceClass *cl, const char *name)
    : TANGO_BASE_CLASS(cl, name), read_values_(attribute_table().size()),
      booleans_(std::make_unique<Tango::DevBoolean[]>(attribute_table().size())), strings_(attribute_table().size())
{
    init_device();
}

CountingInstrument::~CountingInstrument()
{
    delete_device();
    for (const auto &w : retired_)
        w->join();
}

void CountingInstrument::read_properties()
{
    Tango::DbData data;
    for (const property_row &p : device_properties())
        data.push_back(Tango::DbDatum(p.name));
    if (Tango::Util::_UseDb)
        get_db_device()->get_property(data);
    const auto text = [&](std::size_t i) {
        std::string v = device_properties()[i].default_value;
        if (!data[i].is_empty())
            data[i] >> v;
        return v;
    };
    host_ = text(0);
    port_ = std::atol(text(1).c_str());
    timeout_s_ = std::clamp(std::atof(text(2).c_str()), 0.01, 60.0);
    recent_length_ = std::clamp(std::atol(text(3).c_str()), 1L, 4095L);
    histogram_bins_ = std::clamp(std::atol(text(4).c_str()), 1L, 1024L);
    timeout_ = std::chrono::milliseconds(static_cast<long>(timeout_s_ * 1000));
}

scpi_link CountingInstrument::new_link() const { return scpi_link(host_, static_cast<int>(port_), setup); }

void CountingInstrument::init_device()
{
    read_properties();
    link_ = std::make_unique<scpi_link>(new_link());
    identity_asked_on_ = 0;
    view_ = instrument_view();
    retry_s_ = 1;
    for (const attribute_row &row : attribute_table())
        if (row.events) {
            set_change_event(row.name, true, false);
            set_archive_event(row.name, true, false);
        }
    set_change_event("State", true, false);
    set_data_ready_event("NextIndex", true);
    set_state(Tango::UNKNOWN);
    set_status(host_.empty() ? "no Host property: set it to the scpi_server's host name"
                             : "connecting to " + link_->where());
    retired_.erase(std::remove_if(retired_.begin(), retired_.end(), [](const auto &w) { return w->finished(); }),
                   retired_.end()); // their threads have ended: joined at once
    if (!host_.empty())
        watcher_ = std::make_shared<watcher>(*this, new_link(), recent_length_, histogram_bins_, timeout_);
}

// Init deletes the device holding its monitor, which the watcher may wait
// for: it is stopped, and joined later, once it has seen the stop.
void CountingInstrument::stop_watching()
{
    if (!watcher_)
        return;
    watcher_->stop();
    Tango::TangoMonitor &monitor = get_dev_monitor();
    omni_thread *self = omni_thread::self();
    if (self != nullptr && monitor.get_locking_thread_id() == self->id())
        retired_.push_back(watcher_);
    else
        watcher_->join();
    watcher_.reset();
}

void CountingInstrument::delete_device()
{
    stop_watching();
    link_.reset();
}

instrument_view CountingInstrument::look(scpi_link &link, unsigned long &identity_asked_on, long recent, long bins,
                                         link_clock::time_point deadline, std::string &why)
{
    instrument_view v;
    const bool new_session = link.connections() != identity_asked_on || !link.connected();
    const look_plan plan = plan_look(recent, bins, new_session);
    std::string answer;
    if (!link.ask(plan.message, answer, deadline, why))
        return v;
    if (answer.empty()) { // refused whole: another client holds the lock
        std::string error;
        scpi_error_answer e;
        v.locked = link.ask("SYST:ERR?", error, deadline, why) && parse_error(error, e) && e.code == -200;
        if (!v.locked)
            why = "it answered nothing to the look";
        return v;
    }
    if (!read_look(plan, answer, v, why)) {
        link.close_connection();
        return v;
    }
    if (new_session)
        identity_asked_on = link.connections();
    return v;
}

void CountingInstrument::push_row(std::size_t row, const attribute_value &value)
{
    const std::string name = attribute_table()[row].name;
    timeval t = now_timeval();
    const auto both = [&](auto *data, Tango::AttrQuality quality) {
        push_change_event(name, data, t, quality, 1, 0, false);
        push_archive_event(name, data, t, quality, 1, 0, false);
    };
    if (std::holds_alternative<std::monostate>(value)) { // no value: INVALID
        Tango::DevLong none = 0;
        return both(&none, Tango::ATTR_INVALID);
    }
    if (const bool *b = std::get_if<bool>(&value)) {
        Tango::DevBoolean v = *b;
        return both(&v, Tango::ATTR_VALID);
    }
    if (const std::int32_t *l = std::get_if<std::int32_t>(&value)) {
        Tango::DevLong v = *l;
        return both(&v, Tango::ATTR_VALID);
    }
    if (const std::int64_t *l = std::get_if<std::int64_t>(&value)) {
        Tango::DevLong64 v = *l;
        return both(&v, Tango::ATTR_VALID);
    }
    if (const double *d = std::get_if<double>(&value)) {
        Tango::DevDouble v = *d;
        return both(&v, Tango::ATTR_VALID);
    }
    if (const std::string *s = std::get_if<std::string>(&value)) {
        std::string copy = *s;
        Tango::DevString v = copy.data();
        return both(&v, Tango::ATTR_VALID);
    }
}

void CountingInstrument::publish(const instrument_view &v, const std::string &why)
{
    const instrument_view before = view_;
    view_ = v;
    for (std::size_t i = 0; i < attribute_table().size(); ++i) // asked once a connection: kept meanwhile
        if (attribute_table()[i].once && v.reachable && std::holds_alternative<std::monostate>(v.values[i]))
            view_.values[i] = before.values[i];
    if (!v.reachable)
        unreachable_why_ = why;
    const Tango::DevState state = tango_state(state_of(view_));
    const bool state_changed = state != get_state();
    set_state(state);
    set_status(status_of(view_, link_ ? link_->where() : host_, unreachable_why_, retry_s_));
    if (state_changed) {
        Tango::DevState pushed = state;
        push_change_event("State", &pushed);
    }
    for (const std::size_t row : changed_rows(before, view_))
        push_row(row, view_.values[row]);
    if (view_["NextIndex"] != before["NextIndex"])
        if (const std::int64_t *next = std::get_if<std::int64_t>(&view_["NextIndex"]))
            push_data_ready_event("NextIndex", static_cast<Tango::DevLong>(*next & 0x7FFFFFFF));
}

// Between looks the watcher waits on the journal: the server answers as soon
// as a word past the next index is read, and its indices are published.
bool CountingInstrument::follow_journal(watcher &w, std::chrono::milliseconds ms)
{
    std::int64_t next = 0;
    {
        Tango::AutoTangoMonitor synch(this);
        if (w.stopped())
            return false;
        const std::int64_t *known = std::get_if<std::int64_t>(&view_["NextIndex"]);
        if (known == nullptr || !view_.reachable)
            return false;
        next = *known;
    }
    std::string answer, why;
    const auto deadline = link_clock::now() + ms + w.timeout;
    if (!w.link.ask("DATA:READ? " + std::to_string(next) + ",0," + std::to_string(ms.count()) + ";:DATA:JOUR?", answer,
                    deadline, why))
        return false;
    const std::vector<std::string> fields = answer_fields(answer);
    const int oldest = attribute_index("OldestIndex"), following = attribute_index("NextIndex");
    instrument_view moved;
    if (fields.size() != 2 ||
        !attribute_table()[static_cast<std::size_t>(following)].read(fields[1], moved.values[static_cast<std::size_t>(following)]) ||
        !attribute_table()[static_cast<std::size_t>(oldest)].read(fields[1], moved.values[static_cast<std::size_t>(oldest)]))
        return false;
    Tango::AutoTangoMonitor synch(this);
    if (w.stopped() || !view_.reachable)
        return false;
    instrument_view v = view_;
    v["NextIndex"] = moved["NextIndex"];
    v["OldestIndex"] = moved["OldestIndex"];
    publish(v, "");
    return true;
}

// The server, looked at twice a second while it answers, and followed
// between looks; when it does not, reached again after 1 and 2 s, then
// every 5 s. Nothing thrown here may end the thread: that would end the
// process.
void CountingInstrument::watch(watcher &w)
{
    // The device's monitor tells its holder by omniORB's thread: without
    // one of its own, this thread would pass for any other that has none.
    omni_thread::ensure_self as_omni_thread;
    while (!w.stopped()) {
        bool answered = false;
        try {
            std::string why;
            const instrument_view v = look(w.link, w.identity_asked_on, w.recent, w.bins, link_clock::now() + w.timeout, why);
            answered = v.reachable;
            Tango::AutoTangoMonitor synch(this);
            if (w.stopped())
                return; // Init or the device's end came first
            if (answered)
                retry_s_ = 1;
            publish(v, why);
            if (!answered && !v.locked)
                retry_s_ = retry_s_ == 1 ? 2 : 5;
        } catch (const Tango::DevFailed &e) {
            Tango::Except::print_exception(e);
        } catch (const std::exception &e) {
            std::cerr << get_name() << ": " << e.what() << std::endl;
        }
        const auto next_look = link_clock::now() + (answered ? look_period : std::chrono::milliseconds(retry_s_ * 1000));
        try {
            while (answered && !w.stopped() && link_clock::now() < next_look &&
                   follow_journal(w, std::chrono::duration_cast<std::chrono::milliseconds>(next_look - link_clock::now())))
                ;
        } catch (const Tango::DevFailed &e) {
            Tango::Except::print_exception(e);
        }
        const auto left = next_look - link_clock::now();
        if (left > link_clock::duration::zero() && w.pause(std::chrono::duration_cast<std::chrono::milliseconds>(left)))
            return;
    }
}

void CountingInstrument::look_now(link_clock::time_point deadline)
{
    std::unique_lock<std::timed_mutex> link(link_mutex_, deadline);
    if (!link.owns_lock())
        return;
    std::string why;
    const instrument_view v = look(*link_, identity_asked_on_, recent_length_, histogram_bins_, deadline, why);
    link.unlock();
    publish(v, why);
}

std::vector<std::string> CountingInstrument::ask_with_error(const std::string &message,
                                                            link_clock::time_point deadline,
                                                            scpi_error_answer &error, std::size_t most_bytes)
{
    std::string answer, why;
    std::unique_lock<std::timed_mutex> link(link_mutex_, deadline);
    if (!link.owns_lock())
        refuse("BUSY", "the connection to " + link_->where() + " was still busy with another call");
    if (!link_->ask(message + ";:SYST:ERR?", answer, deadline, why, most_bytes))
        refuse("UNREACHABLE", "cannot reach " + link_->where() + ": " + why);
    if (answer.empty()) { // refused whole: another client holds the lock, and nothing was taken
        std::string told;
        link_->ask("SYST:ERR?", told, deadline, why);
        refuse("LOCKED", "another client holds the instrument's lock (a VXI-11 link): " + message +
                             " was refused at once, and nothing was taken (" + valid_utf8(told) + ")");
    }
    std::vector<std::string> fields = answer_fields(answer);
    if (!parse_error(fields.back(), error))
        refuse("BAD_ANSWER", "the server's answer to " + message + " is not what this device expects");
    error.text = valid_utf8(error.text);
    fields.pop_back();
    return fields;
}

[[noreturn]] void CountingInstrument::throw_scpi(const scpi_error_answer &error, const std::string &message)
{
    Tango::Except::throw_exception("SCPI_" + std::to_string(error.code), std::to_string(error.code) + ", " + error.text,
                                   origin + std::string(": ") + message);
}

std::vector<std::string> CountingInstrument::ask_checked(const std::string &message, link_clock::time_point deadline)
{
    scpi_error_answer error;
    std::vector<std::string> fields = ask_with_error(message, deadline, error);
    if (error.code != 0)
        throw_scpi(error, message);
    return fields;
}

void CountingInstrument::require(const std::string &action, bool attribute)
{
    const std::string why = refusal(action, state_of(view_));
    if (!why.empty())
        refuse(attribute ? "API_AttrNotAllowed" : "API_CommandNotAllowed", why + ": " + std::string(get_status()));
}

void CountingInstrument::read_attribute(std::size_t row, Tango::Attribute &att)
{
    const attribute_row &r = attribute_table()[row];
    attribute_value &value = read_values_[row];
    if (std::string(r.name) == "WordsTaken")
        value = static_cast<std::int64_t>(words_taken_);
    else
        value = view_.reachable ? view_.values[row] : attribute_value{};
    // A value not known (the server cannot be reached, a setting never
    // made) reads as INVALID, never as a stale value; Status says why.
    if (std::holds_alternative<std::monostate>(value))
        return att.set_quality(Tango::ATTR_INVALID);
    if (bool *b = std::get_if<bool>(&value)) {
        booleans_[row] = *b;
        att.set_value(&booleans_[row]);
    } else if (std::int32_t *l = std::get_if<std::int32_t>(&value)) {
        att.set_value(reinterpret_cast<Tango::DevLong *>(l));
    } else if (std::int64_t *l64 = std::get_if<std::int64_t>(&value)) {
        att.set_value(reinterpret_cast<Tango::DevLong64 *>(l64));
    } else if (double *d = std::get_if<double>(&value)) {
        att.set_value(d);
    } else if (std::string *s = std::get_if<std::string>(&value)) {
        strings_[row] = s->data();
        att.set_value(&strings_[row]);
    } else if (auto *words = std::get_if<std::vector<std::int32_t>>(&value)) {
        att.set_value(reinterpret_cast<Tango::DevLong *>(words->data()), static_cast<long>(words->size()));
    }
}

// The instrument's range is the device's own: whatever min_value and
// max_value the database holds, a value outside it is refused.
void CountingInstrument::write_attribute(std::size_t row, Tango::WAttribute &att)
{
    const auto deadline = link_clock::now() + timeout_;
    const attribute_row &r = attribute_table()[row];
    Tango::DevLong value = 0;
    att.get_write_value(value);
    const std::string outside = outside_range(r, value);
    if (!outside.empty())
        refuse("API_WAttrOutsideLimit", outside);
    const std::vector<std::string> back =
        ask_checked(std::string(r.write) + " " + std::to_string(value) + ";" + r.write + "?", deadline);
    attribute_value known;
    if (back.size() != 1 || !r.read(back[0], known))
        refuse("BAD_ANSWER", std::string(r.write) + "? was answered with no setting");
    view_.values[row] = known;
    push_row(row, known);
    set_status(status_of(view_, link_->where(), unreachable_why_, retry_s_));
}

CORBA::Any *CountingInstrument::run_message(const char *action, const char *message)
{
    const auto deadline = link_clock::now() + timeout_;
    ask_checked(message, deadline);
    look_now(deadline); // what the command changed shows at once, not at the watcher's next look
    (void)action;
    return new CORBA::Any();
}

CORBA::Any *CountingInstrument::reset(const CORBA::Any &) { return run_message("Reset", "*RST"); }
CORBA::Any *CountingInstrument::start(const CORBA::Any &) { return run_message("Start", "INIT"); }
CORBA::Any *CountingInstrument::stop(const CORBA::Any &) { return run_message("Stop", "ABOR"); }

CORBA::Any *CountingInstrument::interface_test(const CORBA::Any &in)
{
    Tango::DevLong value = 0;
    if (!(in >>= value))
        refuse("API_IncompatibleCmdArgumentType", "IfcTest takes a DevLong");
    const std::vector<std::string> back =
        ask_checked("DIAG:INT? " + std::to_string(value), link_clock::now() + timeout_);
    long long reply = 0;
    if (back.size() != 1 || !one_number(back[0], reply))
        refuse("BAD_ANSWER", "DIAG:INT? was answered with no number");
    auto *out = new CORBA::Any();
    *out <<= static_cast<Tango::DevLong>(reply);
    return out;
}

// The exactly-once path: words taken from the server's hold by DATA:REM?
// and handed over in this same reply. Nothing is kept here. The device
// refuses at once, and takes nothing, while another client holds the lock,
// and its wait is bounded well under a client's time-out: a client that
// gave up could not be handed the words. Words taken are never dropped for
// an error told beside them: that a full hold lost words (-363) shows in
// WordsLost and in the state.
CORBA::Any *CountingInstrument::take_counts(const CORBA::Any &in)
{
    Tango::DevLong most = 0;
    if (!(in >>= most))
        refuse("API_IncompatibleCmdArgumentType", "TakeCounts takes a DevLong");
    if (most < 1)
        refuse("OUT_OF_RANGE", "TakeCounts takes at least 1 word; it was asked for " + std::to_string(most));
    const std::string message = "DATA:REM? " + std::to_string(most);
    scpi_error_answer error;
    const std::size_t words_asked = static_cast<std::size_t>(std::min(most, most_taken));
    const std::vector<std::string> fields =
        ask_with_error(message, link_clock::now() + std::min<link_clock::duration>(timeout_, longest_take), error,
                       4 * words_asked + 4096);
    std::vector<std::int32_t> words;
    if (fields.size() != 1 || !block_words(fields[0], words, words_asked))
        refuse("BAD_ANSWER", "DATA:REM? " + std::to_string(most) +
                                 " was answered with no block of at most that many words");
    if (error.code != 0 && error.code != -363) {
        if (words.empty())
            throw_scpi(error, message);
        std::cerr << get_name() << ": DATA:REM? took " << words.size() << " words and reported " << error.code << ", "
                  << error.text << std::endl;
    }
    auto *array = new Tango::DevVarLongArray();
    array->length(static_cast<CORBA::ULong>(words.size()));
    std::copy(words.begin(), words.end(), array->get_buffer());
    words_taken_ += static_cast<Tango::DevLong64>(words.size());
    auto *out = new CORBA::Any();
    *out <<= array;
    return out;
}

// The journal by index: [start, most] in; the words, and as text the
// journal's identity, the index they start at, the words missed before it
// and the next index. Nothing is taken: a reply lost is a read to make again.
CORBA::Any *CountingInstrument::read_counts(const CORBA::Any &in)
{
    const Tango::DevVarLong64Array *asked = nullptr;
    if (!(in >>= asked) || asked->length() != 2 || (*asked)[0] < 0 || (*asked)[1] < 0)
        refuse("API_IncompatibleCmdArgumentType", "ReadCounts takes [start, most]: two indices from 0");
    const Tango::DevLong64 from = (*asked)[0], most = std::min<Tango::DevLong64>((*asked)[1], most_taken);
    const std::string message = "DATA:READ? " + std::to_string(from) + "," + std::to_string(most) + ";:DATA:JOUR?";
    const std::vector<std::string> fields = ask_checked(message, link_clock::now() + timeout_);
    journal_words read;
    attribute_value identity;
    if (fields.size() != 2 || !parse_journal_read(fields[0], read, static_cast<std::size_t>(most)) ||
        !attribute_table()[static_cast<std::size_t>(attribute_index("JournalIdentity"))].read(fields[1], identity))
        refuse("BAD_ANSWER", "DATA:READ? was answered with no block of at most " + std::to_string(most) + " words");
    attribute_value next = std::int64_t{0};
    attribute_table()[static_cast<std::size_t>(attribute_index("NextIndex"))].read(fields[1], next);
    auto *out = new Tango::DevVarLongStringArray();
    out->lvalue.length(static_cast<CORBA::ULong>(read.words.size()));
    std::copy(read.words.begin(), read.words.end(), out->lvalue.get_buffer());
    out->svalue.length(4);
    out->svalue[0] = CORBA::string_dup(std::get<std::string>(identity).c_str());
    out->svalue[1] = CORBA::string_dup(std::to_string(read.first).c_str());
    out->svalue[2] = CORBA::string_dup(std::to_string(read.missed).c_str());
    out->svalue[3] = CORBA::string_dup(std::to_string(std::get<std::int64_t>(next)).c_str());
    auto *any = new CORBA::Any();
    *any <<= out;
    return any;
}

} // namespace counting_instrument_ns
