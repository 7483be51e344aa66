#include "loopback_plug.h"

#include <array>
#include <cstdlib>

#include "pin_bank.h"
#include "wiring.h"

namespace sim {

namespace {

// Jumpers 0..7 are the data lines, 8 the strobe, 9 the select.
constexpr int jumper_count = 10;

struct plug_state {
    std::array<int, jumper_count> source{};  // Pi output wired to each input
    std::array<bool, jumper_count> open{};
    std::array<int, jumper_count> stuck{};   // -1, or the level it is shorted to
    std::array<int, jumper_count> bridge{};  // the jumper it touches, or itself
};

plug_state plug;
std::vector<plug_fault> pending_faults;

int output_pin(int jumper)
{
    return jumper < 8 ? data_out_pins[static_cast<unsigned>(jumper)] : jumper == 8 ? strobe_pin : select_pin;
}

int input_pin(int jumper)
{
    return jumper < 8 ? data_in_pins[static_cast<unsigned>(jumper)] : jumper == 8 ? strobe_return_pin
                                                                               : select_return_pin;
}

// What reaches input `jumper` through its own jumper: -1 when nothing drives it.
int arriving(int jumper)
{
    if (plug.open[static_cast<unsigned>(jumper)])
        return -1;
    const int from = output_pin(plug.source[static_cast<unsigned>(jumper)]);
    return driven_by_pi(from) ? static_cast<int>(wire_level(from)) : -1;
}

int level_on(int jumper)
{
    const auto j = static_cast<unsigned>(jumper);
    if (plug.stuck[j] >= 0)
        return plug.stuck[j];
    const int own = arriving(jumper);
    const int other = plug.bridge[j] == jumper ? -1 : arriving(plug.bridge[j]);
    if (own < 0)
        return other;
    if (other < 0)
        return own;
    return own & other;
}

void drive_inputs()
{
    for (int jumper = 0; jumper < jumper_count; ++jumper)
        far_side_drive(input_pin(jumper), level_on(jumper));
}

void power_on_plug()
{
    for (int j = 0; j < jumper_count; ++j) {
        plug.source[static_cast<unsigned>(j)] = j;
        plug.open[static_cast<unsigned>(j)] = false;
        plug.stuck[static_cast<unsigned>(j)] = -1;
        plug.bridge[static_cast<unsigned>(j)] = j;
    }
    for (const plug_fault &f : pending_faults) {
        const auto j = static_cast<unsigned>(f.line), k = static_cast<unsigned>(f.other);
        switch (f.kind) {
        case plug_fault_kind::open: plug.open[j] = true; break;
        case plug_fault_kind::stuck_high: plug.stuck[j] = 1; break;
        case plug_fault_kind::stuck_low: plug.stuck[j] = 0; break;
        case plug_fault_kind::swapped:
            plug.source[j] = f.other;
            plug.source[k] = f.line;
            break;
        case plug_fault_kind::bridged:
            plug.bridge[j] = f.other;
            plug.bridge[k] = f.line;
            break;
        case plug_fault_kind::strobe_open: plug.open[8] = true; break;
        case plug_fault_kind::select_open: plug.open[9] = true; break;
        }
    }
    drive_inputs();
}

void line_changed(int, bool) { drive_inputs(); }

wire_role role_of(int pin)
{
    for (int j = 0; j < jumper_count; ++j) {
        if (pin == output_pin(j))
            return wire_role::listens;
        if (pin == input_pin(j))
            return wire_role::drives;
    }
    return wire_role::none;
}

const far_side loopback_plug = {"loopback plug", power_on_plug, line_changed, role_of};

bool parse_line(const std::string &word, int &line)
{
    if (word.size() != 1 || word[0] < '0' || word[0] > '7')
        return false;
    line = word[0] - '0';
    return true;
}

} // namespace

void power_on_with_plug(const std::vector<plug_fault> &faults)
{
    pending_faults = faults;
    power_on(loopback_plug);
}

bool parse_plug_faults(const std::string &text, std::vector<plug_fault> &faults, std::string &error)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(at, end - at);
        at = end + 1;
        std::vector<std::string> parts;
        for (std::size_t from = 0;;) {
            const std::size_t colon = item.find(':', from);
            parts.push_back(item.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
            if (colon == std::string::npos)
                break;
            from = colon + 1;
        }
        const std::string &name = parts[0];
        plug_fault f{plug_fault_kind::open};
        bool ok = true;
        if (name == "strobe-open" || name == "select-open") {
            f.kind = name == "strobe-open" ? plug_fault_kind::strobe_open : plug_fault_kind::select_open;
            ok = parts.size() == 1;
        } else if (name == "open" || name == "high" || name == "low") {
            f.kind = name == "open" ? plug_fault_kind::open
                                    : name == "high" ? plug_fault_kind::stuck_high : plug_fault_kind::stuck_low;
            ok = parts.size() == 2 && parse_line(parts[1], f.line);
        } else if (name == "swap" || name == "bridge") {
            f.kind = name == "swap" ? plug_fault_kind::swapped : plug_fault_kind::bridged;
            ok = parts.size() == 3 && parse_line(parts[1], f.line) && parse_line(parts[2], f.other) &&
                 f.line != f.other;
        } else {
            ok = false;
        }
        if (!ok) {
            error = "cannot read fault '" + item +
                    "' (open:J, high:J, low:J, swap:J:K, bridge:J:K, strobe-open, select-open; J, K 0..7)";
            return false;
        }
        faults.push_back(f);
    }
    return true;
}

} // namespace sim
