#include "scpi/commands.h"

#include "scpi/data_commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>

#include "program_options.h"
#include "text_case.h"

const char *const scpi_identity = "counter-console,counting-instrument,0,";

namespace {

constexpr const char *not_a_number = "9.91E37"; // SCPI's NaN: nothing set since the start or *RST

// Status bits of this instrument's registers.
constexpr int operation_measuring = 1 << 4;
constexpr int questionable_hold_full = 1 << 9;
constexpr int questionable_gap = 1 << 10;

bool is_word(const scpi_param &p, const char *short_form, const char *long_form)
{
    if (p.kind != param_kind::character)
        return false;
    const std::string t = upper(p.text);
    return t == short_form || t == long_form;
}

std::string known(const std::optional<int> &v) { return v ? std::to_string(*v) : not_a_number; }

bool answer(scpi_call &c, std::string text)
{
    c.answer = std::move(text);
    return true;
}

// A setting: sent, or what was last sent said (the registers cannot be read
// without writing them).
bool setting(scpi_call &c, const std::optional<int> &now, long long min, long long max,
             void (bus_owner::*send)(int))
{
    if (c.command.query)
        return answer(c, known(now));
    long long v = 0;
    if (!c.number(0, min, max, true, v))
        return false;
    (c.owner.*send)(static_cast<int>(v));
    return true;
}

bool threshold(scpi_call &c)
{
    if (c.command.query)
        return answer(c, known(c.owner.settings().threshold));
    long long v = 0;
    if (!c.number(0, 0, 4095, true, v))
        return false;
    const int back = c.owner.set_threshold(static_cast<int>(v));
    // The command ran: a read-back that differs is the device's error.
    if (back != v)
        push_error(c.session, scpi_err::device_specific_error, c.command.text + ": the instrument read back threshold " +
                                        std::to_string(back) + ", not " + std::to_string(v));
    return true;
}

bool error_next(scpi_call &c)
{
    if (c.session.errors.empty())
        return answer(c, "0,\"No error\"");
    const scpi_error e = c.session.errors.front();
    c.session.errors.pop_front();
    std::string quoted;
    for (char ch : e.text)
        quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return answer(c, std::to_string(e.code) + ",\"" + quoted + "\"");
}

bool format_data(scpi_call &c)
{
    if (c.command.query)
        return answer(c, c.session.integer_format ? "INT,32" : "ASC");
    const std::vector<scpi_param> &p = c.command.params;
    if (is_word(p[0], "ASC", "ASCII")) {
        if (p.size() > 1)
            return c.refuse(scpi_err::parameter_not_allowed, "ASCii takes no length");
        c.session.integer_format = false;
        return true;
    }
    if (is_word(p[0], "INT", "INTEGER")) {
        long long bits = 32;
        if (p.size() > 1 && (integer_param(p[1], 0, 64, bits) != scpi_err::none || bits != 32))
            return c.refuse(scpi_err::illegal_parameter_value, "INTeger words are 32 bits");
        c.session.integer_format = true;
        return true;
    }
    return c.refuse(scpi_err::illegal_parameter_value, "ASCii or INTeger");
}

bool format_border(scpi_call &c)
{
    if (c.command.query)
        return answer(c, c.session.swapped ? "SWAP" : "NORM");
    const scpi_param &p = c.command.params[0];
    if (!is_word(p, "NORM", "NORMAL") && !is_word(p, "SWAP", "SWAPPED"))
        return c.refuse(scpi_err::illegal_parameter_value, "NORMal or SWAPped");
    c.session.swapped = is_word(p, "SWAP", "SWAPPED");
    return true;
}

// *ESE, *SRE: an enable mask, set or said.
bool enable_register(scpi_call &c, int &mask, int kept_bits)
{
    if (c.command.query)
        return answer(c, std::to_string(mask));
    long long v = 0;
    if (!c.number(0, 0, 255, false, v))
        return false;
    mask = static_cast<int>(v) & kept_bits;
    return true;
}

// An event register from counters: the bit is set when the counter moved
// since the session last read it.
int questionable_event(scpi_call &c, bool clear)
{
    const int bits = (c.owner.words_lost() != c.session.lost_seen ? questionable_hold_full : 0) |
                     (c.owner.gaps() != c.session.gaps_seen ? questionable_gap : 0);
    if (clear) {
        c.session.lost_seen = c.owner.words_lost();
        c.session.gaps_seen = c.owner.gaps();
    }
    return bits;
}

int operation_event(scpi_call &c)
{
    const int bits = c.owner.runs_started() != c.session.runs_seen ? operation_measuring : 0;
    c.session.runs_seen = c.owner.runs_started();
    return bits;
}

const std::vector<command_row> table = {
    {"*IDN", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::string(scpi_identity) + program_version()); },
     "identification: maker,model,serial,version", true},
    {"*RST", command_form::set_only, 0, 0, [](scpi_call &c) { c.owner.reset(); return true; },
     "reset the instrument; the words held are dropped"},
    {"*CLS", command_form::set_only, 0, 0,
     [](scpi_call &c) { c.session.errors.clear(); c.session.esr = 0; return true; },
     "clear the error queue and the event status", true},
    {"*ESR", command_form::query_only, 0, 0,
     [](scpi_call &c) { const int e = c.session.esr; c.session.esr = 0; return answer(c, std::to_string(e)); },
     "standard event status (read clears it)", true},
    {"*ESE", command_form::both, 1, 1, [](scpi_call &c) { return enable_register(c, c.session.ese, 0xFF); },
     "event status enable, 0..255", true},
    {"*SRE", command_form::both, 1, 1,
     [](scpi_call &c) { return enable_register(c, c.session.sre, 0xFF & ~(1 << 6)); },
     "service request enable, 0..255 (bit 6, MSS, is not kept)", true},
    {"*STB", command_form::query_only, 0, 0, [](scpi_call &c) { return answer(c, std::to_string(status_byte(c.session))); },
     "status byte: 4 error queue not empty, 32 ESB, 64 MSS", true},
    {"*OPC", command_form::both, 0, 0,
     [](scpi_call &c) {
         if (c.command.query)
             return answer(c, "1"); // every operation is complete when its command returns
         c.session.esr |= 1;
         return true;
     },
     "operation complete", true},
    {"*WAI", command_form::set_only, 0, 0, [](scpi_call &) { return true; }, "wait (every command completes at once)", true},
    {"*TST", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::to_string(c.owner.self_test())); },
     "self-test of the bus: 0 when the instrument answers every pattern"},
    {"SYSTem:ERRor[:NEXT]", command_form::query_only, 0, 0, error_next, "the oldest error: code,\"text\"", true},
    {"SYSTem:ERRor:COUNt", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::to_string(c.session.errors.size())); }, "errors queued", true},
    {"SYSTem:LOCK:WAIT", command_form::both, 1, 1, ::lock_wait,
     "ON|OFF: this client's messages wait while another holds the lock (ON), or are refused at once with -200", true},
    {"SYSTem:VERSion", command_form::query_only, 0, 0, [](scpi_call &c) { return answer(c, "1999.0"); },
     "the SCPI version", true},
    {"INITiate[:IMMediate]", command_form::set_only, 0, 0,
     [](scpi_call &c) { return c.owner.start_run() || c.refuse(scpi_err::init_ignored, "a run is on"); },
     "start a run (-213 while one is on)"},
    {"ABORt", command_form::set_only, 0, 0, [](scpi_call &c) { c.owner.stop_run(); return true; },
     "stop the run"},
    {"STATus:OPERation:CONDition", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, c.owner.run_flag() ? "16" : "0"); }, "16 while measuring"},
    {"STATus:OPERation[:EVENt]", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::to_string(operation_event(c))); },
     "16 when a run started since the last read"},
    {"STATus:QUEStionable:CONDition", command_form::query_only, 0, 0,
     [](scpi_call &c) {
         return answer(c, std::to_string(c.owner.hold_full() ? questionable_hold_full : 0));
     },
     "512 while the hold is full"},
    {"STATus:QUEStionable[:EVENt]", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::to_string(questionable_event(c, true))); },
     "512 words lost for a full hold, 1024 a gap the instrument marked, since the last read"},
    {"STATus:PRESet", command_form::set_only, 0, 0, [](scpi_call &) { return true; },
     "preset the status enables (none are kept)"},
    {"[SENSe:]THReshold", command_form::both, 1, 1, threshold, "threshold 0..4095|MIN|MAX (query: as read back)"},
    {"[SENSe:]POLarity", command_form::both, 1, 1,
     [](scpi_call &c) { return setting(c, c.owner.settings().polarity, 0, 1, &bus_owner::set_polarity); },
     "polarity 0..1 (query: as last set)"},
    {"[SENSe:]PERiod", command_form::both, 1, 1,
     [](scpi_call &c) { return setting(c, c.owner.settings().period, 1, 4095, &bus_owner::set_period); },
     "period 1..4095 ticks (query: as last set)"},
    {"DATA:POINts", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::to_string(c.owner.points())); },
     "words available: held here, and in the instrument"},
    {"DATA:REMove", command_form::query_only, 0, 1, data_remove,
     "take up to MAX words (all by default), oldest first: for one taker (the hold)"},
    {"DATA:LOST", command_form::query_only, 0, 0, data_lost,
     "words lost for a full hold, and gaps the instrument marked"},
    {"DATA:JOURnal", command_form::query_only, 0, 0, data_journal,
     "the journal of every word read: \"identity of this life\",oldest index,next index"},
    {"DATA:READ", command_form::query_only, 1, 3, data_read,
     "FROM[,MOST[,WAIT ms]]: words from index FROM, none taken: first,missed,words (for many readers)"},
    {"DATA:RECent", command_form::query_only, 0, 1, data_recent,
     "the latest N counts read (1..4095, 100 by default), oldest first; none taken"},
    {"DATA:RATE[:COUNts]", command_form::query_only, 0, 0, data_rate,
     "counts/s: the counts read in the last second, added up (the event rate)"},
    {"DATA:RATE:WORDs", command_form::query_only, 0, 0, data_word_rate, "words/s: the words read in the last second"},
    {"DATA:HISTogram", command_form::query_only, 0, 1, data_histogram,
     "the latest counts in BINS bins (1..1024, 64): least,width,n1,...; none taken"},
    {"DATA:SEEN", command_form::query_only, 0, 0,
     [](scpi_call &c) { return answer(c, std::to_string(c.owner.journal().next())); },
     "words read since the start (the journal's next index)"},
    {"FORMat[:DATA]", command_form::both, 1, 2, format_data, "ASCii | INTeger[,32]", true},
    {"FORMat:BORDer", command_form::both, 1, 1, format_border, "NORMal | SWAPped", true},
    {"DIAGnostic:INTerface", command_form::query_only, 1, 1,
     [](scpi_call &c) {
         long long v = 0;
         return c.number(0, INT_MIN, INT_MAX, false, v) &&
                answer(c, std::to_string(c.owner.interface_test(static_cast<int>(v))));
     },
     "the interface test's reply word to N"},
};

// A pattern's nodes: mnemonic and whether it may be left out.
struct pattern_node {
    std::string mnemonic;
    bool optional;
};

std::vector<pattern_node> nodes_of(const std::string &p)
{
    std::vector<pattern_node> nodes;
    std::size_t at = 0;
    while (at < p.size()) {
        if (p[at] == ':') {
            ++at;
            continue;
        }
        const bool optional = p[at] == '[';
        const std::size_t end = optional ? p.find(']', at) : p.find_first_of(":[", at);
        std::string node = p.substr(at + (optional ? 1 : 0), (end == std::string::npos ? p.size() : end) - at -
                                                                   (optional ? 1 : 0));
        while (!node.empty() && node.front() == ':')
            node.erase(0, 1);
        while (!node.empty() && node.back() == ':')
            node.pop_back();
        nodes.push_back({node, optional});
        at = end == std::string::npos ? p.size() : end + (optional ? 1 : 0);
    }
    return nodes;
}

// A mnemonic as typed matches the short form or the long form, in any case.
bool matches(const std::string &typed, const std::string &mnemonic)
{
    std::string short_form;
    for (char c : mnemonic)
        if (!std::islower(static_cast<unsigned char>(c)))
            short_form += c;
    const std::string t = upper(typed);
    return t == short_form || t == upper(mnemonic);
}

bool matches(const std::vector<std::string> &typed, std::size_t t, const std::vector<pattern_node> &nodes,
             std::size_t at)
{
    if (at == nodes.size())
        return t == typed.size();
    if (nodes[at].optional && matches(typed, t, nodes, at + 1))
        return true;
    return t < typed.size() && matches(typed[t], nodes[at].mnemonic) && matches(typed, t + 1, nodes, at + 1);
}

} // namespace

bool lock_wait(scpi_call &c)
{
    if (c.command.query)
        return answer(c, c.session.lock_wait ? "1" : "0");
    const scpi_param &p = c.command.params[0];
    if (is_word(p, "ON", "ON") || (p.kind == param_kind::number && p.text == "1"))
        c.session.lock_wait = true;
    else if (is_word(p, "OFF", "OFF") || (p.kind == param_kind::number && p.text == "0"))
        c.session.lock_wait = false;
    else
        return c.refuse(scpi_err::illegal_parameter_value, "ON, OFF, 1 or 0");
    return true;
}

bool scpi_call::refuse(scpi_err code, const std::string &why)
{
    push_error(session, code, command.text + (why.empty() ? "" : ": " + why));
    return false;
}

bool scpi_call::number(std::size_t i, long long min, long long max, bool limits, long long &value)
{
    const scpi_param &p = command.params[i];
    if (limits && is_word(p, "MIN", "MINIMUM")) {
        value = min;
        return true;
    }
    if (limits && is_word(p, "MAX", "MAXIMUM")) {
        value = max;
        return true;
    }
    const scpi_err fault = integer_param(p, min, max, value);
    // A fraction (1.5) is -224 as an out-of-range value is -222: each says what is taken.
    return fault == scpi_err::none || refuse(fault, std::string(fault == scpi_err::illegal_parameter_value ? "a whole number, " : "") + std::to_string(min) +
                                           " to " + std::to_string(max));
}

const std::vector<command_row> &command_table() { return table; }

std::string command_help()
{
    std::string help;
    for (const command_row &r : table) {
        std::string head = r.pattern;
        if (r.form == command_form::query_only)
            head += "?";
        else if (r.form == command_form::both)
            head += "[?]";
        help += "  " + head + std::string(head.size() < 32 ? 32 - head.size() : 1, ' ') + r.help + "\n";
    }
    return help;
}

const command_row *find_command(const std::vector<std::string> &typed)
{
    static const std::vector<std::vector<pattern_node>> patterns = [] {
        std::vector<std::vector<pattern_node>> all;
        for (const command_row &r : table)
            all.push_back(nodes_of(r.pattern));
        return all;
    }();
    for (std::size_t i = 0; i < table.size(); ++i)
        if (matches(typed, 0, patterns[i], 0))
            return &table[i];
    return nullptr;
}
