#include "instrument.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <iterator>
#include <string>

#include "pin_bank.h"
#include "violations.h"
#include "wiring.h"

namespace sim {

namespace {

constexpr const char *wall_field = "clock_wall_ns ";
constexpr std::uint32_t seed = 0x2545F491u;

// Bus side: the levels the instrument sees and the frame in progress.
struct decoder {
    bool select = false;
    bool strobe = false;
    std::uint8_t data_out = 0;
    bool in_frame = false;
    std::uint64_t frames = 0;
    int pulses = 0;
    std::uint8_t command[4] = {};
    std::uint32_t reply = 0;
    std::uint8_t data_in = 0;
};

struct registers {
    int period = default_period;
    int threshold = default_threshold;
    int polarity = default_polarity;
    bool running = false;
};

struct acquisition {
    std::uint64_t ticks = 0;
    std::uint64_t next_close = 0;
    std::uint32_t fifo[fifo_capacity] = {};
    int head = 0;
    int held = 0;
    bool overflow = false;
    bool gap_pending = false;
    int latched_size = 0;
    std::uint32_t random_state = seed;
};

// The clock: one tick a strobe rise (deterministic, the default), or real
// time, one tick every wall_tick_ns (VIRTUAL_INSTRUMENT_CLOCK=wall), counted
// from a wall-clock reading that the shared state carries between programs.
struct wall_clock {
    bool on = false;
    std::uint64_t tick_ns = 1000;
    std::uint64_t reference_ns = 0; // CLOCK_REALTIME at the last tick counted
};

decoder bus;
registers regs;
acquisition acq;
wall_clock wall;
std::deque<std::uint32_t> queued_replies;
bool never_dry = false;

std::uint32_t next_random()
{
    std::uint32_t x = acq.random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    acq.random_state = x;
    return x;
}

void store_word(std::uint32_t word)
{
    if (acq.held == fifo_capacity) {
        acq.overflow = true;
        acq.gap_pending = true;
        return;
    }
    if (acq.gap_pending) {
        word |= word_after_gap;
        acq.gap_pending = false;
    }
    acq.fifo[(acq.head + acq.held) % fifo_capacity] = word;
    ++acq.held;
}

std::uint32_t take_word()
{
    if (acq.held == 0)
        return 0;
    const std::uint32_t word = acq.fifo[acq.head];
    acq.head = (acq.head + 1) % fifo_capacity;
    --acq.held;
    return word;
}

void close_measurement()
{
    const bool want_negative = regs.polarity == 1;
    std::uint32_t count = 0;
    for (int i = 0; i < regs.period; ++i) {
        const std::uint32_t r = next_random();
        const bool negative = (r & 3u) == 0;
        const int height = static_cast<int>((r >> 20) & 0xFFFu);
        if (negative == want_negative && height > regs.threshold)
            ++count;
    }
    store_word(count);
}

void tick()
{
    ++acq.ticks;
    if (regs.running && acq.ticks >= acq.next_close) {
        close_measurement();
        acq.next_close = acq.ticks + static_cast<std::uint64_t>(regs.period);
    }
}

std::uint64_t realtime_ns()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

void advance_clock(std::uint64_t ticks);

// With the wall clock: the ticks since the last reading, counted now. Once
// the FIFO is full every further measurement is dropped unseen (and the gap
// marked), so a long wait costs no more than filling the FIFO.
void catch_up_with_wall_clock()
{
    if (!wall.on)
        return;
    const std::uint64_t now = realtime_ns();
    if (wall.reference_ns == 0 || now < wall.reference_ns) {
        wall.reference_ns = now;
        return;
    }
    const std::uint64_t ticks = (now - wall.reference_ns) / wall.tick_ns;
    wall.reference_ns += ticks * wall.tick_ns;
    advance_clock(ticks);
}

} // namespace

// The clock on by `ticks` at once: the measurements they close, the FIFO's
// overflow if it fills.
void let_time_pass(std::uint64_t ticks)
{
    if (!wall.on) // the wall clock counts the time itself
        advance_clock(ticks);
}

namespace {

void advance_clock(std::uint64_t ticks)
{
    const std::uint64_t until = acq.ticks + ticks;
    while (regs.running && acq.next_close <= until) {
        acq.ticks = acq.next_close;
        if (acq.held == fifo_capacity) { // the rest would be dropped: count them so
            acq.overflow = true;
            acq.gap_pending = true;
            const std::uint64_t period = static_cast<std::uint64_t>(regs.period);
            acq.next_close += (until - acq.next_close) / period * period + period;
            break;
        }
        close_measurement();
        acq.next_close += static_cast<std::uint64_t>(regs.period);
    }
    acq.ticks = until;
}

void reset_instrument()
{
    regs = registers{};
    acq.head = 0;
    acq.held = 0;
    acq.overflow = false;
    acq.gap_pending = false;
    acq.latched_size = 0;
    acq.random_state = seed;
}

void write_register(int address, std::uint32_t data)
{
    switch (address) {
    case 0:
        reset_instrument();
        break;
    case 1:
        if (!regs.running) {
            regs.running = true;
            acq.next_close = acq.ticks + static_cast<std::uint64_t>(regs.period);
        }
        break;
    case 2:
        regs.running = false;
        break;
    case 3:
        regs.period = static_cast<int>(data & 0xFFFu);
        if (regs.period == 0)
            regs.period = 1;
        break;
    case 4:
        regs.threshold = static_cast<int>(data & 0xFFFu);
        break;
    case 5:
        regs.polarity = static_cast<int>(data & 1u);
        break;
    case 6:
        if (never_dry && acq.held == 0)
            store_word(1);
        acq.latched_size = acq.held;
        break;
    default:
        break;
    }
}

std::uint32_t read_register(int address, std::uint32_t data)
{
    switch (address) {
    case 0:
        return ((~data & 0xFFu) << 24) | data;
    case 3:
        return (regs.running ? 1u : 0u) | static_cast<std::uint32_t>(regs.period) << 16;
    case 4:
        return static_cast<std::uint32_t>(regs.threshold);
    case 5:
        return static_cast<std::uint32_t>(regs.polarity);
    case 6:
        return static_cast<std::uint32_t>(acq.latched_size) |
               (acq.overflow ? status_overflow : 0u) | (regs.running ? status_running : 0u);
    case 7:
        return take_word();
    default:
        return 0;
    }
}

// Puts a byte on the data-in lines (0 between replies: they read low).
void present(std::uint8_t byte)
{
    const std::uint8_t changed = bus.data_in ^ byte;
    bus.data_in = byte;
    if (changed == 0)
        return;
    for (int j = 0; j < 8; ++j)
        if ((changed >> j) & 1u)
            far_side_drive(data_in_pins[static_cast<unsigned>(j)], (byte >> j) & 1u);
}

bool is_write_frame() { return (bus.command[0] & 0x80u) != 0; }

std::uint32_t frame_data()
{
    return static_cast<std::uint32_t>(bus.command[1]) << 16 |
           static_cast<std::uint32_t>(bus.command[2]) << 8 | bus.command[3];
}

void open_frame()
{
    bus.in_frame = true;
    ++bus.frames;
    bus.pulses = 0;
    present(0);
}

void close_frame()
{
    bus.in_frame = false;
    present(0);
    const bool write = bus.pulses > 0 && is_write_frame();
    const int expected = write ? 4 : 8;
    if (bus.pulses != expected) {
        flag(violation_kind::wrong_pulse_count, select_pin,
             std::to_string(bus.pulses) + " pulses, " +
                 (bus.pulses == 0 ? "no header" : write ? "a write frame needs 4" : "a read frame needs 8"));
        return;
    }
    if (write)
        write_register(bus.command[0] & 7, frame_data());
}

void strobe_rose()
{
    if (!wall.on)
        tick();
    if (!bus.in_frame) {
        flag(violation_kind::strobe_outside_frame, strobe_pin, "");
        return;
    }
    ++bus.pulses;
    if (bus.pulses <= 4)
        bus.command[bus.pulses - 1] = bus.data_out;
    if (bus.pulses == 1 && (bus.command[0] & 0x78u) != 0)
        flag(violation_kind::reserved_header_bits, -1, "header byte " + std::to_string(bus.command[0]));
}

void strobe_fell()
{
    if (!bus.in_frame || is_write_frame() || bus.pulses < 4)
        return;
    if (bus.pulses == 4) {
        if (!queued_replies.empty()) {
            bus.reply = queued_replies.front();
            queued_replies.pop_front();
        } else {
            bus.reply = read_register(bus.command[0] & 7, frame_data());
        }
    }
    const int byte = bus.pulses - 4;
    present(byte < 4 ? static_cast<std::uint8_t>(bus.reply >> (8 * byte)) : 0);
}

void line_changed(int pin, bool level)
{
    const line_use use = line_uses[static_cast<unsigned>(pin)];
    switch (use.role) {
    case line_role::data_out: {
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << use.bit);
        const bool was = (bus.data_out & bit) != 0;
        // With select high the instrument ignores the data lines.
        if (was != level && bus.strobe && bus.in_frame)
            flag(violation_kind::data_changed_on_strobe, pin, "data-out bit " + std::to_string(use.bit));
        bus.data_out = static_cast<std::uint8_t>(level ? bus.data_out | bit : bus.data_out & ~bit);
        break;
    }
    case line_role::strobe:
        if (level != bus.strobe) {
            bus.strobe = level;
            if (level)
                strobe_rose();
            else
                strobe_fell();
        }
        break;
    case line_role::select:
        if (level != bus.select) {
            bus.select = level;
            if (level) {
                if (bus.in_frame)
                    close_frame();
            } else {
                catch_up_with_wall_clock();
                open_frame();
            }
        }
        break;
    default:
        break;
    }
}

void power_on_instrument()
{
    bus = decoder{};
    bus.select = wire_level(select_pin);
    bus.strobe = wire_level(strobe_pin);
    for (int j = 0; j < 8; ++j)
        if (wire_level(data_out_pins[static_cast<unsigned>(j)]))
            bus.data_out = static_cast<std::uint8_t>(bus.data_out | 1u << j);
    for (int pin : data_in_pins)
        far_side_drive(pin, 0);
    acq.ticks = 0;
    acq.next_close = 0;
    queued_replies.clear();
    never_dry = false;
    reset_instrument();
}

wire_role role_of(int pin)
{
    switch (line_uses[static_cast<unsigned>(pin)].role) {
    case line_role::data_out:
    case line_role::strobe:
    case line_role::select:
        return wire_role::listens;
    case line_role::data_in:
        return wire_role::drives;
    default:
        return wire_role::none;
    }
}

} // namespace

const far_side virtual_instrument = {"instrument", power_on_instrument, line_changed, role_of};

instrument_view inspect_instrument()
{
    return {regs.period, regs.threshold, regs.polarity, regs.running, acq.overflow,
            acq.held, acq.latched_size, acq.ticks, bus.in_frame, bus.frames};
}

void queue_reply(std::uint32_t word) { queued_replies.push_back(word); }

void keep_data_ready(bool on) { never_dry = on; }

void load_fifo(const std::vector<std::uint32_t> &words)
{
    for (std::uint32_t word : words)
        store_word(word);
}

} // namespace sim

namespace sim {

namespace {

constexpr char state_heading[] = "counter virtual instrument state 1";

// The fields of a saved state, in the order they are written, with the
// range each must lie in.
struct state_field {
    const char *name;
    std::uint64_t most;
};

constexpr state_field state_fields[] = {
    {"period", 4095},      {"threshold", 4095}, {"polarity", 1},     {"running", 1},
    {"ticks", ~0ull},      {"next_close", ~0ull}, {"overflow", 1},   {"gap_pending", 1},
    {"latched_size", fifo_capacity}, {"random_state", 0xFFFFFFFFull}, {"fifo", fifo_capacity},
};

// A whole decimal number, digits only, at most `most`.
bool parse_field(const std::string &text, std::uint64_t most, std::uint64_t &value)
{
    if (text.empty() || text.size() > 20)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (most - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

} // namespace

void use_wall_clock(std::uint64_t tick_ns)
{
    wall.on = true;
    wall.tick_ns = tick_ns == 0 ? 1 : tick_ns;
    wall.reference_ns = 0;
}

std::string instrument_state_text()
{
    const std::uint64_t values[] = {
        static_cast<std::uint64_t>(regs.period), static_cast<std::uint64_t>(regs.threshold),
        static_cast<std::uint64_t>(regs.polarity), regs.running ? 1u : 0u, acq.ticks, acq.next_close,
        acq.overflow ? 1u : 0u, acq.gap_pending ? 1u : 0u, static_cast<std::uint64_t>(acq.latched_size),
        acq.random_state, static_cast<std::uint64_t>(acq.held)};
    std::string text = std::string(state_heading) + "\n";
    for (std::size_t i = 0; i < std::size(state_fields); ++i)
        text += std::string(state_fields[i].name) + " " + std::to_string(values[i]) + "\n";
    if (wall.on) // when its clock last ticked, for the next program to count on from
        text += std::string(wall_field) + std::to_string(wall.reference_ns) + "\n";
    for (int i = 0; i < acq.held; ++i)
        text += std::to_string(acq.fifo[(acq.head + i) % fifo_capacity]) + "\n";
    text += "end\n";
    return text;
}

bool load_instrument_state(const std::string &text, std::string &error)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            error = "its last line is cut short";
            return false;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines.empty() || lines[0] != state_heading) {
        error = "it does not begin with \"" + std::string(state_heading) + "\"";
        return false;
    }
    std::uint64_t values[std::size(state_fields)] = {};
    std::size_t line = 1;
    for (std::size_t i = 0; i < std::size(state_fields); ++i, ++line) {
        const std::string name = std::string(state_fields[i].name) + " ";
        if (line >= lines.size() || lines[line].compare(0, name.size(), name) != 0 ||
            !parse_field(lines[line].substr(name.size()), state_fields[i].most, values[i])) {
            error = "line " + std::to_string(line + 1) + " is not '" + state_fields[i].name + " N' in range";
            return false;
        }
    }
    std::uint64_t wall_reference = 0;
    if (line < lines.size() && lines[line].compare(0, std::strlen(wall_field), wall_field) == 0) {
        if (!parse_field(lines[line].substr(std::strlen(wall_field)), ~0ull, wall_reference)) {
            error = "line " + std::to_string(line + 1) + " is not '" + wall_field + "N'";
            return false;
        }
        ++line;
    }
    const std::uint64_t words = values[std::size(state_fields) - 1];
    if (values[0] == 0) {
        error = "its period is 0";
        return false;
    }
    std::vector<std::uint32_t> fifo;
    for (std::uint64_t i = 0; i < words; ++i, ++line) {
        std::uint64_t word = 0;
        if (line >= lines.size() || !parse_field(lines[line], 0xFFFFFFFFull, word)) {
            error = "line " + std::to_string(line + 1) + " is not a FIFO word";
            return false;
        }
        fifo.push_back(static_cast<std::uint32_t>(word));
    }
    if (line + 1 != lines.size() || lines[line] != "end") {
        error = "it does not end with its FIFO words and 'end'";
        return false;
    }

    regs.period = static_cast<int>(values[0]);
    regs.threshold = static_cast<int>(values[1]);
    regs.polarity = static_cast<int>(values[2]);
    regs.running = values[3] == 1;
    acq.ticks = values[4];
    acq.next_close = values[5];
    acq.overflow = values[6] == 1;
    acq.gap_pending = values[7] == 1;
    acq.latched_size = static_cast<int>(values[8]);
    acq.random_state = static_cast<std::uint32_t>(values[9]);
    acq.head = 0;
    acq.held = static_cast<int>(words);
    std::copy(fifo.begin(), fifo.end(), acq.fifo);
    if (wall.on)
        wall.reference_ns = wall_reference;
    return true;
}

} // namespace sim
