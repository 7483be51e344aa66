// The Tango device's knowledge of its instrument, with no Tango in it: the
// attribute table (what each attribute is, and how its value comes from
// the server's answers), the look that asks the server for all of them in
// one message, what changed between two looks, the device's states and what
// each allows, the Status sentence, and text from the wire made safe.
// counting_instrument.cpp makes Tango attributes, reads, writes and events
// of these rows; the unit tests and the fuzz target judge them here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A value the device does not know (the server cannot be reached, a setting
// never made) is the monostate: its attribute reads with quality INVALID.
using attribute_value = std::variant<std::monostate, bool, std::int32_t, std::int64_t, double, std::string,
                                     std::vector<std::int32_t>>;

enum class value_kind { boolean, long32, long64, real, text, longs };

struct attribute_row {
    const char *name;
    value_kind kind;
    const char *label, *unit, *format, *description;
    const char *min, *max;   // the instrument's range (writes outside it are refused), or null
    long most;               // a spectrum's longest
    // The query of the look whose answer holds the value ("{recent}" and
    // "{bins}" are the device's properties), and how to read it from that
    // answer's field; null: the device's own (WordsTaken), or asked once a
    // connection (*IDN?, with `once`).
    const char *query;
    bool (*read)(const std::string &field, attribute_value &out);
    bool once = false;
    const char *write = nullptr; // "THR": written as "THR <value>;THR?", its answer the value read back
    bool events = false;         // pushed as change and archive events
};

const std::vector<attribute_row> &attribute_table();
// The row of `name`, or -1.
int attribute_index(const std::string &name);

// What the device last learnt: a value a row, and what the state rests on.
struct instrument_view {
    bool reachable = false;
    std::vector<attribute_value> values = std::vector<attribute_value>(attribute_table().size());
    std::string error;     // an error the server reported to the look
    bool locked = false;   // another client holds the instrument's lock: the look was refused
    const attribute_value &operator[](const char *name) const;
    attribute_value &operator[](const char *name);
};

// The look: one message asking everything the attributes show, and how its
// answer's fields are read into a view.
struct look_plan {
    std::string message;
    std::vector<std::vector<std::size_t>> rows; // of each field but the last (SYST:ERR?)
};
look_plan plan_look(long recent_length, long histogram_bins, bool with_once);
// The answer read into `v` (rows of `once` only where the plan asked them).
// False, with the reason, when it is not what the plan asked for.
bool read_look(const look_plan &plan, const std::string &answer, instrument_view &v, std::string &why);

// The rows whose value a client must be told of (pushed as events): those
// that changed, or every one known when `before` was not reachable.
std::vector<std::size_t> changed_rows(const instrument_view &before, const instrument_view &after);

// The device's states, as Tango names them: UNKNOWN (the server cannot be
// reached, or nothing is set up), ON (reachable and idle), RUNNING, FAULT
// (the hold is full, or the server reported an error), DISABLE (another
// client holds the instrument's lock).
enum class device_state { unknown, on, running, fault, disable };
const char *state_name(device_state s);
device_state state_of(const instrument_view &v);
// Status: one sentence that says why the state is what it is.
std::string status_of(const instrument_view &v, const std::string &where, const std::string &why_unreachable,
                      int retry_s);

// What each state allows: every command by name, and writing an attribute
// ("write"). "" when allowed, else why not (for the refusal's description).
std::string refusal(const std::string &action, device_state s);

// The device's properties, declared with their defaults and descriptions
// (Jive and the admin device's QueryWizardDevProperty show them).
struct property_row {
    const char *name, *default_value, *description;
};
const std::vector<property_row> &device_properties();

// Bytes from the wire as valid UTF-8: what is not UTF-8 (and control
// characters) shown escaped, \xNN.
std::string valid_utf8(const std::string &bytes);

// A value of the instrument's range for the row: "" when it is, else why not.
std::string outside_range(const attribute_row &row, long long value);
