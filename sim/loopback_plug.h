// The virtual loopback plug: what a lab puts on the Pi's header in place of
// the instrument to check its wiring, with faults a test can inject.
//
// Wiring (the plug's own side of the cable, kept apart from the link's pin
// tables): data-out line j to data-in line j (j = 0..7), strobe to the
// auxiliary input wiringPi 7, select to the auxiliary input wiringPi 16.
//
// Electrical model. Each jumper carries its output's level to its input
// while the Pi drives that output; otherwise the input is left to its pull.
//   open J         jumper J is missing: data-in J shows its pull
//   high J, low J  data-in J is shorted to 3V3 or to ground: it reads 1 or 0
//                  whatever is driven or pulled
//   swap J K       the jumpers of lines J and K are crossed: data-out J
//                  arrives on data-in K and data-out K on data-in J
//   bridge J K     data-in J and K touch: both read the AND of what reaches
//                  them (a low driver wins), or their pulls when neither is
//                  driven
//   strobe-open    the strobe's jumper is missing: wiringPi 7 shows its pull
//   select-open    the select's jumper is missing: wiringPi 16 shows its pull
// J and K are data line numbers, 0 to 7.
#pragma once

#include <string>
#include <vector>

namespace sim {

enum class plug_fault_kind { open, stuck_high, stuck_low, swapped, bridged, strobe_open, select_open };

struct plug_fault {
    plug_fault_kind kind;
    int line = 0;  // J
    int other = 0; // K, for swap and bridge
};

// Powers the bus on with the loopback plug on the far side.
void power_on_with_plug(const std::vector<plug_fault> &faults = {});

// Faults as text, comma separated: "open:3,high:5,swap:1:2,bridge:6:7,
// low:0,strobe-open,select-open". False, with the reason, on a bad one.
bool parse_plug_faults(const std::string &text, std::vector<plug_fault> &faults, std::string &error);

} // namespace sim
