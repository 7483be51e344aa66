#include "scpi_session.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "numbers.h"
#include "program_options.h"
#include "spi.h"

const char *const scpi_identity = "counter-console,counting-instrument,0,";

namespace {

// SCPI's standard texts for the codes the server uses.
const char *standard_text(int code)
{
    switch (code) {
    case -102: return "Syntax error";
    case -104: return "Data type error";
    case -108: return "Parameter not allowed";
    case -109: return "Missing parameter";
    case -113: return "Undefined header";
    case -222: return "Data out of range";
    case -223: return "Too much data";
    case -224: return "Illegal parameter value";
    case -300: return "Device-specific error";
    case -350: return "Queue overflow";
    case -363: return "Input buffer overrun";
    default: return "Error";
    }
}

// The event status bit an error sets: command, execution, device or query.
int event_bit(int code)
{
    if (code <= -100 && code > -200)
        return 1 << 5;
    if (code <= -200 && code > -300)
        return 1 << 4;
    if (code <= -300 && code > -400)
        return 1 << 3;
    if (code <= -400 && code > -500)
        return 1 << 2;
    return 0;
}

constexpr const char *not_a_number = "9.91E37"; // SCPI's NaN: nothing set since the start or *RST

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Character data in long or short form ("MAXimum": MAX or MAXIMUM).
bool is_word(const std::string &typed, const char *short_form, const char *long_form)
{
    const std::string t = upper(typed);
    return t == short_form || t == long_form;
}

// A decimal integer parameter from `min` to `max`, or MINimum/MAXimum
// where `limits` allows them. 0, or the error code.
int integer_param(const std::string &text, long long min, long long max, bool limits, long long &value)
{
    if (limits && is_word(text, "MIN", "MINIMUM")) {
        value = min;
        return 0;
    }
    if (limits && is_word(text, "MAX", "MAXIMUM")) {
        value = max;
        return 0;
    }
    const std::size_t digits = text.find_first_not_of("+-") == 1 ? 1 : 0;
    const bool decimal = !text.empty() && text.size() > digits &&
                         text.find_first_not_of("0123456789", digits) == std::string::npos;
    if (!decimal)
        return -104;
    switch (parse_integer(text, min, max, value)) {
    case number_fault::none: return 0;
    case number_fault::out_of_range: return -222;
    default: return -104;
    }
}

// The words as the connection's format has them.
std::string format_words(const connection_state &c, const std::vector<word_run> &runs)
{
    std::size_t n = 0;
    for (const word_run &r : runs)
        n += r.words.size();
    std::string out;
    if (!c.integer_format) {
        out.reserve(n * 8);
        char number[16];
        for (const word_run &r : runs) {
            for (std::int32_t w : r.words) {
                if (!out.empty())
                    out += ',';
                out.append(number, static_cast<std::size_t>(std::snprintf(number, sizeof number, "%d", w)));
            }
        }
        return out;
    }
    // An IEEE 488.2 definite-length block: '#', the number of digits of the
    // length, the length in bytes, then the bytes.
    const std::string length = std::to_string(n * 4);
    out = "#" + std::to_string(length.size()) + length;
    out.reserve(out.size() + n * 4);
    for (const word_run &r : runs) {
        for (std::int32_t w : r.words) {
            const auto u = static_cast<std::uint32_t>(w);
            const char big[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                                 static_cast<char>(u)};
            if (c.swapped)
                out += {big[3], big[2], big[1], big[0]};
            else
                out.append(big, 4);
        }
    }
    return out;
}

// Reads what the instrument holds into the hold, as far as it has room.
void read_out(server_state &s)
{
    static int words[max_data_words];
    const int count = datasize();
    if (count <= 0)
        return;
    const int fits = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(count), room(s.hold)));
    if (fits == 0)
        return;
    const int read = readDATA(fits, words, max_data_words);
    hold_add(s.hold, words, read);
}

std::string setting_answer(const std::optional<int> &v) { return v ? std::to_string(*v) : not_a_number; }

} // namespace

void push_error(connection_state &c, int code, const std::string &text)
{
    c.esr |= event_bit(code);
    std::string message = standard_text(code);
    if (!text.empty())
        message += ";" + text;
    if (c.errors.size() + 1 < error_queue_size) {
        c.errors.push_back({code, message});
    } else if (c.errors.size() + 1 == error_queue_size) {
        c.errors.push_back({-350, standard_text(-350)});
    }
}

bool execute_command(server_state &s, connection_state &c, const scpi_parsed &p, std::string &answer,
                     std::vector<word_run> &taken)
{
    if (p.error != 0) {
        push_error(c, p.error, p.text);
        return false;
    }
    const auto refuse = [&](int code, const std::string &why) {
        push_error(c, code, p.text + (why.empty() ? "" : ": " + why));
        return false;
    };
    // How many parameters each command takes.
    std::size_t least = 0, most = 0;
    switch (p.command) {
    case scpi_command::ese:
    case scpi_command::threshold:
    case scpi_command::polarity:
    case scpi_command::period:
    case scpi_command::format_border:
        least = most = p.query ? 0 : 1;
        break;
    case scpi_command::format_data:
        least = p.query ? 0 : 1;
        most = p.query ? 0 : 2;
        break;
    case scpi_command::data_remove:
        most = 1;
        break;
    case scpi_command::interface_test:
        least = most = 1;
        break;
    default:
        break;
    }
    if (p.params.size() > most)
        return refuse(-108, "");
    if (p.params.size() < least || std::any_of(p.params.begin(), p.params.end(), [](const std::string &x) {
            return x.empty();
        }))
        return refuse(-109, "");

    long long value = 0;
    const auto number = [&](long long min, long long max, bool limits) {
        const int fault = integer_param(p.params[0], min, max, limits, value);
        if (fault != 0)
            refuse(fault, std::to_string(min) + " to " + std::to_string(max));
        return fault == 0;
    };

    // A setting with no read-back: sent, or what was last sent said.
    const auto send_or_say = [&](std::optional<int> &known, long long min, long long max, void (*send)(int)) {
        if (p.query) {
            answer = setting_answer(known);
            return true;
        }
        if (!number(min, max, true))
            return false;
        send(static_cast<int>(value));
        known = static_cast<int>(value);
        return true;
    };

    switch (p.command) {
    case scpi_command::none:
        return refuse(-113, "");
    case scpi_command::idn:
        answer = std::string(scpi_identity) + program_version();
        return true;
    case scpi_command::rst: {
        reset();
        s.running = false;
        s.said_hold_full = false;
        s.threshold.reset();
        s.polarity.reset();
        s.period.reset();
        const std::size_t dropped = hold_clear(s.hold);
        if (s.log)
            s.log("*RST: the instrument is reset, and the " + std::to_string(dropped) + " words held are dropped");
        return true;
    }
    case scpi_command::cls:
        c.errors.clear();
        c.esr = 0;
        return true;
    case scpi_command::esr:
        answer = std::to_string(c.esr);
        c.esr = 0;
        return true;
    case scpi_command::ese:
        if (p.query) {
            answer = std::to_string(c.ese);
            return true;
        }
        if (!number(0, 255, false))
            return false;
        c.ese = static_cast<int>(value);
        return true;
    case scpi_command::stb:
        answer = std::to_string((c.errors.empty() ? 0 : 1 << 2) | ((c.esr & c.ese) != 0 ? 1 << 5 : 0));
        return true;
    case scpi_command::opc:
        if (p.query)
            answer = "1"; // every operation is complete when its command returns
        else
            c.esr |= 1;
        return true;
    case scpi_command::wai:
        return true;
    case scpi_command::error_next: {
        if (c.errors.empty()) {
            answer = "0,\"No error\"";
            return true;
        }
        const scpi_error e = c.errors.front();
        c.errors.pop_front();
        std::string quoted;
        for (char ch : e.text)
            quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        answer = std::to_string(e.code) + ",\"" + quoted + "\"";
        return true;
    }
    case scpi_command::error_count:
        answer = std::to_string(c.errors.size());
        return true;
    case scpi_command::version:
        answer = "1999.0";
        return true;
    case scpi_command::initiate:
        start();
        s.running = true;
        return true;
    case scpi_command::abort:
        stop();
        read_out(s); // what was measured before the stop
        s.running = false;
        return true;
    case scpi_command::operation_condition:
        answer = run() != 0 ? "16" : "0";
        return true;
    case scpi_command::threshold: {
        if (p.query) {
            answer = setting_answer(s.threshold);
            return true;
        }
        if (!number(0, 4095, true))
            return false;
        const int back = setTHR(static_cast<int>(value));
        s.threshold = back;
        // The command ran: a read-back that differs is the device's error.
        if (back != value)
            push_error(c, -300, p.text + ": the instrument read back threshold " + std::to_string(back) + ", not " +
                                    std::to_string(value));
        return true;
    }
    case scpi_command::polarity:
        return send_or_say(s.polarity, 0, 1, setPOL);
    case scpi_command::period:
        return send_or_say(s.period, 1, 4095, setPeriod);
    case scpi_command::data_points:
        answer = std::to_string(s.hold.count + static_cast<std::size_t>(datasize()));
        return true;
    case scpi_command::data_remove: {
        long long wanted = LLONG_MAX;
        if (!p.params.empty()) {
            if (!number(0, INT_MAX, true))
                return false;
            wanted = value;
        }
        if (static_cast<unsigned long long>(wanted) > s.hold.count)
            read_out(s);
        std::vector<word_run> words = hold_take(s.hold, static_cast<std::size_t>(wanted));
        answer = format_words(c, words);
        for (word_run &r : words)
            taken.push_back(std::move(r));
        return true;
    }
    case scpi_command::format_data:
        if (p.query) {
            answer = c.integer_format ? "INT,32" : "ASC";
            return true;
        }
        if (is_word(p.params[0], "ASC", "ASCII")) {
            if (p.params.size() > 1)
                return refuse(-108, "ASCii takes no length");
            c.integer_format = false;
            return true;
        }
        if (is_word(p.params[0], "INT", "INTEGER")) {
            if (p.params.size() > 1 && p.params[1] != "32")
                return refuse(-224, "INTeger words are 32 bits");
            c.integer_format = true;
            return true;
        }
        return refuse(-224, "ASCii or INTeger");
    case scpi_command::format_border:
        if (p.query) {
            answer = c.swapped ? "SWAP" : "NORM";
            return true;
        }
        if (is_word(p.params[0], "NORM", "NORMAL") || is_word(p.params[0], "SWAP", "SWAPPED")) {
            c.swapped = is_word(p.params[0], "SWAP", "SWAPPED");
            return true;
        }
        return refuse(-224, "NORMal or SWAPped");
    case scpi_command::interface_test:
        if (!number(INT_MIN, INT_MAX, false))
            return false;
        answer = std::to_string(ifc_rd(static_cast<int>(value)));
        return true;
    }
    return refuse(-113, "");
}

scpi_response execute_line(server_state &s, connection_state &c, const std::string &line)
{
    scpi_response r;
    bool asked = false;
    for (const scpi_parsed &p : parse_scpi_line(line)) {
        std::string answer;
        const bool done = execute_command(s, c, p, answer, r.taken);
        if (done && p.query) {
            if (asked)
                r.text += ';';
            r.text += answer;
            asked = true;
        }
    }
    if (asked)
        r.text += '\n';
    return r;
}

void drain_instrument(server_state &s)
{
    if (!s.running)
        return;
    if (room(s.hold) == 0) {
        if (!s.said_hold_full && s.tell_everyone) {
            s.said_hold_full = true;
            s.tell_everyone(-363, "the server holds " + std::to_string(s.hold.count) +
                                      " words, all it may: it reads no more until words are taken, and the "
                                      "instrument's FIFO overflows");
        }
        return;
    }
    s.said_hold_full = false;
    read_out(s);
}
