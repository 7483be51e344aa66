#include "bus_recording.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

#include "frame_decoder.h"
#include "instrument.h"
#include "numbers.h"
#include "spi.h"
#include "violations.h"
#include "wiring.h"

namespace {

int read_out[max_data_words];

// Every operation the tool knows, how it runs one, and what a user types
// for it in countctl (with the argument after it) and in the console's menu.
struct operation_kind {
    const char *name;
    bool takes_argument;
    void (*perform)(int argument);
    const char *countctl;
    int menu;
};

const operation_kind operation_kinds[] = {
    {"reset", false, [](int) { reset(); }, "reset", 1},
    {"start", false, [](int) { start(); }, "start", 2},
    {"stop", false, [](int) { stop(); }, "stop", 3},
    {"run", false, [](int) { run(); }, "status (run)", 4},
    {"datasize", false, [](int) { datasize(); }, "status (datasize)", 7},
    {"ifc_rd", true, [](int a) { ifc_rd(a); }, "ifc", 9},
    {"setPeriod", true, [](int a) { setPeriod(a); }, "set --period", 10},
    {"setTHR", true, [](int a) { setTHR(a); }, "set --threshold", 5},
    {"setPOL", true, [](int a) { setPOL(a); }, "set --polarity", 6},
    {"readDATA", true, [](int a) { readDATA(a, read_out, max_data_words); }, "read", 8},
};

// The label of an operation, its argument as it was typed.
std::string label_of(const operation_kind &k, const bus_operation &op, const std::string &n)
{
    if (!k.takes_argument)
        return op.name + " (countctl " + k.countctl + "; menu " + std::to_string(k.menu) + ")";
    if (op.name == "readDATA")
        return op.name + " " + n + " (countctl read; menu 8)";
    return op.name + " " + n + " (countctl " + k.countctl + " " + n + "; menu " + std::to_string(k.menu) + ")";
}

// The eighteen bus lines, in the order they are shown.
struct signal {
    int pin;
    std::string name;
};

std::vector<signal> bus_signals()
{
    std::vector<signal> s;
    for (int j = 0; j < 8; ++j)
        s.push_back({sim::data_out_pins[static_cast<unsigned>(j)], "data_out_" + std::to_string(j)});
    s.push_back({sim::strobe_pin, "strobe"});
    s.push_back({sim::select_pin, "select_n"});
    for (int j = 0; j < 8; ++j)
        s.push_back({sim::data_in_pins[static_cast<unsigned>(j)], "data_in_" + std::to_string(j)});
    return s;
}

// A line's level over time, replayed from the recording: 'z' while the Pi
// does not drive a line of its own, '0' or '1' otherwise.
struct line_change {
    std::uint64_t time_ns;
    int pin;
    char level;
};

std::vector<line_change> line_changes(const std::vector<sim::bus_event> &events)
{
    std::array<bool, sim::line_count> output{};
    std::array<char, sim::line_count> latched{};
    latched.fill('0');
    std::vector<line_change> changes;
    for (const sim::bus_event &e : events) {
        if (e.pin < 0 || e.pin >= sim::line_count)
            continue;
        const auto p = static_cast<unsigned>(e.pin);
        const std::uint64_t t = e.call * sim::bus_call_ns;
        switch (e.kind) {
        case sim::call_kind::mode:
            if (sim::line_uses[p].role != sim::line_role::data_in && (e.value == 0 || e.value == 1)) {
                output[p] = e.value == 1;
                changes.push_back({t, e.pin, output[p] ? latched[p] : 'z'});
            }
            break;
        case sim::call_kind::write:
            // A write to an input only sets the latch the line drives later.
            latched[p] = e.value != 0 ? '1' : '0';
            if (output[p])
                changes.push_back({t, e.pin, latched[p]});
            break;
        case sim::call_kind::far_side:
            changes.push_back({t + sim::bus_call_ns / 2, e.pin, e.value < 0 ? 'z' : e.value != 0 ? '1' : '0'});
            break;
        default:
            break;
        }
    }
    return changes;
}

char initial_level(int pin)
{
    return sim::line_uses[static_cast<unsigned>(pin)].role == sim::line_role::data_in ? '0' : 'z';
}

} // namespace

bool parse_operations(const std::vector<std::string> &words, std::vector<bus_operation> &ops, std::string &error)
{
    for (std::size_t i = 0; i < words.size(); ++i) {
        const operation_kind *kind = nullptr;
        for (const operation_kind &k : operation_kinds)
            if (words[i] == k.name)
                kind = &k;
        if (kind == nullptr) {
            error = "unknown operation '" + words[i] + "'";
            return false;
        }
        bus_operation op{kind->name, kind->perform, 0, ""};
        if (kind->takes_argument) {
            if (i + 1 == words.size()) {
                error = std::string(kind->name) + " needs a whole number";
                return false;
            }
            const bool words_read = op.name == "readDATA";
            long long value = 0;
            if (!read_integer(kind->name, words[++i], words_read ? 0 : INT_MIN, words_read ? max_data_words : INT_MAX,
                              value, error))
                return false;
            op.argument = static_cast<int>(value);
        }
        op.label = label_of(*kind, op, kind->takes_argument ? words[i] : "");
        ops.push_back(op);
    }
    return true;
}

bus_recording record_operations(const std::vector<bus_operation> &ops)
{
    sim::set_reporting(false);
    sim::power_on();
    sim::record_events(true);
    (void)setup_io(); // the instrument is powered on here: nothing from the environment can fail
    bus_recording r;
    for (const bus_operation &op : ops) {
        r.operation_calls.push_back(sim::events().empty() ? 0 : sim::events().back().call + 1);
        r.labels.push_back(op.label);
        op.perform(op.argument);
    }
    sim::record_events(false);
    r.events = sim::events();
    return r;
}

void write_vcd(std::FILE *out, const std::vector<sim::bus_event> &events)
{
    const std::vector<signal> signals = bus_signals();
    std::array<char, sim::line_count> id{};
    std::fputs("$version bus_trace (virtual instrument) $end\n$timescale 1ns $end\n$scope module bus $end\n", out);
    for (std::size_t i = 0; i < signals.size(); ++i) {
        id[static_cast<unsigned>(signals[i].pin)] = static_cast<char>('A' + i);
        std::fprintf(out, "$var wire 1 %c %s $end\n", static_cast<char>('A' + i), signals[i].name.c_str());
    }
    std::fputs("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", out);
    for (const signal &s : signals)
        std::fprintf(out, "%c%c\n", initial_level(s.pin), id[static_cast<unsigned>(s.pin)]);
    std::fputs("$end\n", out);

    std::uint64_t now = 0;
    for (const line_change &c : line_changes(events)) {
        if (id[static_cast<unsigned>(c.pin)] == 0)
            continue; // an auxiliary line
        if (c.time_ns != now) {
            now = c.time_ns;
            std::fprintf(out, "#%llu\n", static_cast<unsigned long long>(now));
        }
        std::fprintf(out, "%c%c\n", c.level, id[static_cast<unsigned>(c.pin)]);
    }
    std::fprintf(out, "#%llu\n", static_cast<unsigned long long>((events.empty() ? 0 : events.back().call + 1) * sim::bus_call_ns));
}

namespace {

constexpr double px_per_ns = 10.0 / static_cast<double>(sim::bus_call_ns);
constexpr int label_width = 110;
constexpr int row_height = 24;

struct level_at {
    std::uint64_t time_ns;
    int value; // 0 or 1 for a line, 0..255 for a byte
};

// The levels of one line from t0 on, starting with its level at t0.
std::vector<level_at> line_history(const std::vector<line_change> &changes, int pin, std::uint64_t t0)
{
    std::vector<level_at> h = {{t0, initial_level(pin) == '1'}};
    for (const line_change &c : changes) {
        if (c.pin != pin)
            continue;
        const int v = c.level == '1';
        if (c.time_ns <= t0)
            h.front().value = v;
        else if (v != h.back().value)
            h.push_back({c.time_ns, v});
    }
    return h;
}

// The byte on eight lines (bit j on pins[j]) over time.
std::vector<level_at> byte_history(const std::vector<line_change> &changes, const std::array<int, 8> &pins,
                                   std::uint64_t t0)
{
    std::vector<level_at> h = {{t0, 0}};
    for (const line_change &c : changes) {
        int bit = -1;
        for (int j = 0; j < 8; ++j)
            if (pins[static_cast<unsigned>(j)] == c.pin)
                bit = j;
        if (bit < 0)
            continue;
        const int previous = h.back().value;
        const int v = c.level == '1' ? previous | (1 << bit) : previous & ~(1 << bit);
        if (c.time_ns <= t0)
            h.front().value = v;
        else if (v != previous) {
            if (h.back().time_ns == c.time_ns)
                h.back().value = v;
            else
                h.push_back({c.time_ns, v});
        }
    }
    return h;
}

std::string xml_text(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '&': escaped += "&amp;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

double x_of(std::uint64_t t, std::uint64_t t0) { return label_width + static_cast<double>(t - t0) * px_per_ns; }

void draw_line_row(std::FILE *out, const std::vector<level_at> &h, std::uint64_t t0, std::uint64_t t1, int top)
{
    const int high = top + 5, low = top + row_height - 5;
    std::fprintf(out, "<polyline class=\"wave\" points=\"");
    for (std::size_t i = 0; i < h.size(); ++i) {
        const int y = h[i].value ? high : low;
        if (i > 0)
            std::fprintf(out, "%.1f,%d ", x_of(h[i].time_ns, t0), h[i - 1].value ? high : low);
        std::fprintf(out, "%.1f,%d ", x_of(h[i].time_ns, t0), y);
    }
    std::fprintf(out, "%.1f,%d\"/>\n", x_of(t1, t0), h.back().value ? high : low);
}

// Moments that matter on the bus: the strobe rises that latch command bytes,
// and the reads that sample reply bytes (the first and last read of each).
struct bus_moment {
    std::uint64_t from_ns;
    std::uint64_t to_ns;
    int byte; // 0..3 in its phase
};

struct frame_moments {
    std::vector<bus_moment> latches; // from == to: the rise
    std::vector<bus_moment> samples;
};

frame_moments find_moments(const std::vector<sim::bus_event> &events)
{
    frame_moments m;
    for (const observed_frame &f : decode_bus(events).frames) {
        for (std::size_t k = 0; k < f.latch_calls.size(); ++k) {
            const std::uint64_t t = f.latch_calls[k] * sim::bus_call_ns;
            m.latches.push_back({t, t, static_cast<int>(k)});
        }
        for (std::size_t k = 0; k + 1 < f.sample_calls.size(); k += 2)
            m.samples.push_back({f.sample_calls[k] * sim::bus_call_ns, f.sample_calls[k + 1] * sim::bus_call_ns,
                                 static_cast<int>(k / 2)});
    }
    return m;
}

// True when a moment falls within [from, to).
bool any_within(const std::vector<bus_moment> &moments, std::uint64_t from, std::uint64_t to)
{
    for (const bus_moment &m : moments)
        if (m.from_ns < to && m.to_ns >= from)
            return true;
    return false;
}

// A byte row: the values that count (latched or sampled) solid and labelled,
// the lines passing between them faint and unlabelled.
void draw_byte_row(std::FILE *out, const std::vector<level_at> &h, std::uint64_t t0, std::uint64_t t1, int top,
                   const std::vector<bus_moment> &counted)
{
    const int high = top + 5, low = top + row_height - 5, mid = top + row_height / 2;
    for (std::size_t i = 0; i < h.size(); ++i) {
        const std::uint64_t to = i + 1 < h.size() ? h[i + 1].time_ns : t1;
        const double a = x_of(h[i].time_ns, t0);
        const double b = x_of(to, t0);
        const bool counts = any_within(counted, h[i].time_ns, to);
        const double slope = std::min(2.0, (b - a) / 2);
        std::fprintf(out, "<polygon class=\"%s\" points=\"%.1f,%d %.1f,%d %.1f,%d %.1f,%d %.1f,%d %.1f,%d\"/>\n",
                     counts ? "bus" : "between", a, mid, a + slope, high, b - slope, high, b, mid, b - slope, low,
                     a + slope, low);
        if (counts && b - a >= 22)
            std::fprintf(out, "<text class=\"byte\" x=\"%.1f\" y=\"%d\">%02X</text>\n", (a + b) / 2, mid + 4,
                         h[i].value);
    }
}

// A dashed guide down the rows at each moment, named at the top.
void draw_moments(std::FILE *out, const std::vector<bus_moment> &moments, const char *name, std::uint64_t t0,
                  int top, int bottom)
{
    for (const bus_moment &m : moments) {
        const double a = x_of(m.from_ns, t0), b = x_of(m.to_ns, t0);
        std::fprintf(out, "<line class=\"moment\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>\n", a, top, a,
                     bottom);
        if (b > a)
            std::fprintf(out, "<rect class=\"sampled\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\"/>\n", a,
                         top, b - a, bottom - top);
        std::fprintf(out, "<text class=\"mark\" x=\"%.1f\" y=\"%d\">%s%d</text>\n", (a + b) / 2, top - 3, name,
                     m.byte);
    }
}

} // namespace

namespace {

// The widest a row of the diagram is drawn, in platform calls (10 px each):
// about a page. Longer recordings wrap, at frame boundaries.
constexpr std::uint64_t row_calls = 180;
constexpr int panel_rows = 19; // select, strobe, two bytes of eight lines

// Where each row of the diagram begins and ends: whole frames, as many as
// fit in row_calls (a longer frame alone), from one call before the first.
std::vector<std::pair<std::uint64_t, std::uint64_t>> diagram_spans(const std::vector<sim::bus_event> &events)
{
    std::vector<std::uint64_t> frame_starts;
    for (const sim::bus_event &e : events)
        if (e.kind == sim::call_kind::write && e.pin == sim::select_pin && e.value == 0)
            frame_starts.push_back(e.call == 0 ? 0 : e.call - 1);
    const std::uint64_t end = events.empty() ? 1 : events.back().call + 2;
    if (frame_starts.empty())
        frame_starts.push_back(0);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    std::uint64_t from = frame_starts.front();
    for (std::size_t i = 1; i < frame_starts.size(); ++i)
        if (frame_starts[i] - from > row_calls && frame_starts[i - 1] > from) {
            spans.push_back({from, frame_starts[i - 1]});
            from = frame_starts[i - 1];
        }
    if (end - from > row_calls && frame_starts.back() > from) {
        spans.push_back({from, frame_starts.back()});
        from = frame_starts.back();
    }
    spans.push_back({from, end});
    return spans;
}

template <typename T> std::vector<T> before(std::vector<T> h, std::uint64_t t1)
{
    h.erase(std::remove_if(h.begin() + 1, h.end(), [&](const T &l) { return l.time_ns >= t1; }), h.end());
    return h;
}

std::vector<bus_moment> within(const std::vector<bus_moment> &moments, std::uint64_t t0, std::uint64_t t1)
{
    std::vector<bus_moment> in;
    for (const bus_moment &m : moments)
        if (m.from_ns >= t0 && m.from_ns < t1)
            in.push_back(m);
    return in;
}

// One row of the diagram: the lines from t0 to t1, with its time axis
// counted from `origin`, and the operations that begin in it named above.
void draw_panel(std::FILE *out, const std::vector<line_change> &changes, const frame_moments &moments,
                const bus_recording &recording, std::uint64_t origin, std::uint64_t t0, std::uint64_t t1, int top)
{
    const int rows_top = top + 30;
    const int axis_top = rows_top + 4 + panel_rows * row_height;
    for (std::size_t i = 0; i < recording.operation_calls.size(); ++i) {
        const std::uint64_t t = recording.operation_calls[i] * sim::bus_call_ns;
        const std::uint64_t next = i + 1 < recording.operation_calls.size()
                                       ? recording.operation_calls[i + 1] * sim::bus_call_ns : t1;
        if (next > t0 && t < t1)
            std::fprintf(out, "<text class=\"operation\" x=\"%.1f\" y=\"%d\">%s%s</text>\n",
                         x_of(std::max(t, t0), t0), top + 10, t < t0 ? "\u2026 " : "",
                         xml_text(recording.labels[i]).c_str());
    }
    constexpr std::uint64_t tick = 10 * sim::bus_call_ns;
    for (std::uint64_t t = t0 + (tick - (t0 - origin) % tick) % tick; t <= t1; t += tick) {
        std::fprintf(out, "<line class=\"tick\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>\n", x_of(t, t0),
                     rows_top, x_of(t, t0), axis_top);
        std::fprintf(out, "<text x=\"%.1f\" y=\"%d\">%llu</text>\n", x_of(t, t0) - 6, axis_top + 14,
                     static_cast<unsigned long long>((t - origin) / sim::bus_call_ns));
    }
    const std::vector<bus_moment> latches = within(moments.latches, t0, t1);
    const std::vector<bus_moment> samples = within(moments.samples, t0, t1);
    draw_moments(out, latches, "C", t0, rows_top, axis_top);
    draw_moments(out, samples, "R", t0, rows_top, axis_top);
    int y = rows_top + 2;
    const auto line_row = [&](const std::string &name, int pin) {
        std::fprintf(out, "<text x=\"8\" y=\"%d\">%s</text>\n", y + row_height / 2 + 4, name.c_str());
        draw_line_row(out, before(line_history(changes, pin, t0), t1), t0, t1, y);
        y += row_height;
    };
    const auto byte_rows = [&](const char *name, const std::array<int, 8> &pins, const std::vector<bus_moment> &counted) {
        std::fprintf(out, "<text x=\"8\" y=\"%d\">%s</text>\n", y + row_height / 2 + 4, name);
        draw_byte_row(out, before(byte_history(changes, pins, t0), t1), t0, t1, y, counted);
        y += row_height;
        for (int j = 0; j < 8; ++j)
            line_row(std::string(name) + "_" + std::to_string(j), pins[static_cast<unsigned>(j)]);
    };
    line_row("select_n", sim::select_pin);
    line_row("strobe", sim::strobe_pin);
    byte_rows("data_out", sim::data_out_pins, moments.latches);
    byte_rows("data_in", sim::data_in_pins, moments.samples);
}

} // namespace

void write_timing_svg(std::FILE *out, const bus_recording &recording, const std::string &title)
{
    const std::vector<line_change> changes = line_changes(recording.events);
    const frame_moments moments = find_moments(recording.events);
    const auto spans = diagram_spans(recording.events);
    const std::uint64_t origin = spans.front().first * sim::bus_call_ns;
    std::uint64_t widest = 0;
    for (const auto &[from, to] : spans)
        widest = std::max(widest, to - from);
    const int width = std::max(static_cast<int>(x_of(widest * sim::bus_call_ns, 0)) + 20, 880); // room for the notes
    const int panel_height = 30 + 4 + panel_rows * row_height + 26;
    const int panels_top = 28;
    const int notes_top = panels_top + static_cast<int>(spans.size()) * panel_height;
    const int height = notes_top + 40;
    std::fprintf(out,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n"
                 "<style>text{font-family:monospace;font-size:11px}.wave{fill:none;stroke:#1a5fb4;stroke-width:1.5}"
                 ".bus{fill:#e8f0fb;stroke:#1a5fb4;stroke-width:1}.between{fill:#f6f6f6;stroke:#ccc;stroke-width:1}"
                 ".byte{text-anchor:middle;font-weight:bold}.tick{stroke:#eee;stroke-width:1}"
                 ".moment{stroke:#c64600;stroke-width:1;stroke-dasharray:3,2}.sampled{fill:#c64600;fill-opacity:0.08}"
                 ".mark{fill:#c64600;text-anchor:middle;font-size:10px}.note{font-family:sans-serif;font-size:11px;fill:#555}"
                 ".operation{font-family:sans-serif;font-size:11px;fill:#26a269;font-weight:bold}"
                 ".title{font-size:13px;font-weight:bold}</style>\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
                 "<text class=\"title\" x=\"8\" y=\"18\">%s</text>\n",
                 width, height, width, height, xml_text(title).c_str());
    int top = panels_top;
    for (const auto &[from, to] : spans) {
        draw_panel(out, changes, moments, recording, origin, from * sim::bus_call_ns, to * sim::bus_call_ns, top);
        top += panel_height;
    }
    std::fprintf(out,
                 "<text class=\"note\" x=\"8\" y=\"%d\">Time is virtual: one unit is one platform call (the "
                 "virtual bus counts 50 ns a call); on a Pi each call takes what it takes.</text>\n"
                 "<text class=\"note\" x=\"8\" y=\"%d\">C0..C3: the strobe rises that latch command bytes 0..3; "
                 "R0..R3: the reads that sample reply bytes 0..3. Faint bytes are the lines passing between "
                 "values.</text>\n",
                 notes_top + 12, notes_top + 28);
    std::fputs("</svg>\n", out);
}
