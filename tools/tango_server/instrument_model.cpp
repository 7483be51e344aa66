#include "instrument_model.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "scpi_link.h"

namespace {

// The k-th of a field's comma-separated numbers.
bool nth(const std::string &field, std::size_t k, long long &out)
{
    std::vector<long long> all;
    if (!split_numbers(field, all) || all.size() <= k)
        return false;
    out = all[k];
    return true;
}

bool long32(long long v, attribute_value &out)
{
    out = static_cast<std::int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
    return true;
}

bool read_long32(const std::string &f, attribute_value &out)
{
    long long v = 0;
    return one_number(f, v) && long32(v, out);
}

// A setting the server made, or SCPI's NaN (9.91E37): none made since its start.
bool read_setting(const std::string &f, attribute_value &out)
{
    if (f == "9.91E37") {
        out = std::monostate{};
        return true;
    }
    return read_long32(f, out);
}

bool read_real(const std::string &f, attribute_value &out)
{
    long long v = 0;
    if (!one_number(f, v))
        return false;
    out = static_cast<double>(v);
    return true;
}

bool read_bit(const std::string &f, long long bit, attribute_value &out)
{
    long long v = 0;
    if (!one_number(f, v))
        return false;
    out = (v & bit) != 0;
    return true;
}

bool read_measuring(const std::string &f, attribute_value &out) { return read_bit(f, 16, out); }
bool read_hold_full(const std::string &f, attribute_value &out) { return read_bit(f, 512, out); }

template <std::size_t K> bool read_nth64(const std::string &f, attribute_value &out)
{
    long long v = 0;
    if (!nth(f, K, v))
        return false;
    out = static_cast<std::int64_t>(v);
    return true;
}

template <std::size_t K> bool read_nth32(const std::string &f, attribute_value &out)
{
    long long v = 0;
    return nth(f, K, v) && long32(v, out);
}

bool read_text(const std::string &f, attribute_value &out)
{
    out = valid_utf8(f);
    return true;
}

bool read_block(const std::string &f, attribute_value &out)
{
    std::vector<std::int32_t> words;
    if (!block_words(f, words, 4095))
        return false;
    out = std::move(words);
    return true;
}

// "least,width,n1,...": the bins.
bool read_bins(const std::string &f, attribute_value &out)
{
    std::vector<long long> all;
    if (!split_numbers(f, all) || all.size() < 3 || all.size() > 1026)
        return false;
    std::vector<std::int32_t> bins;
    for (std::size_t i = 2; i < all.size(); ++i)
        bins.push_back(static_cast<std::int32_t>(std::clamp<long long>(all[i], 0, INT32_MAX)));
    out = std::move(bins);
    return true;
}

// "\"identity\",oldest,next": the journal's identity.
bool read_journal_identity(const std::string &f, attribute_value &out)
{
    const std::size_t close = f.find('"', 1);
    if (f.empty() || f[0] != '"' || close == std::string::npos)
        return false;
    out = valid_utf8(f.substr(1, close - 1));
    return true;
}

// The journal's oldest (K = 0) or next (K = 1) index, after its identity.
template <std::size_t K> bool read_journal_index(const std::string &f, attribute_value &out)
{
    const std::size_t close = f.find('"', 1);
    if (f.empty() || f[0] != '"' || close == std::string::npos || close + 1 >= f.size() || f[close + 1] != ',')
        return false;
    return read_nth64<K>(f.substr(close + 2), out);
}

using kind = value_kind;

const std::vector<attribute_row> rows = {
    {"Threshold", kind::long32, "Threshold", "", "%4d", "the discriminator threshold, as the instrument reads it back",
     "0", "4095", 0, "THR?", read_setting, false, "THR", true},
    {"Polarity", kind::long32, "Polarity", "", "%1d", "the input polarity: 0 positive, 1 negative pulses", "0", "1", 0,
     "POL?", read_setting, false, "POL", true},
    {"Period", kind::long32, "Period", "ticks", "%4d", "the counting period, in the instrument's ticks", "1", "4095", 0,
     "PER?", read_setting, false, "PER", true},
    {"Run", kind::boolean, "Run", "", "%d", "a run is on", nullptr, nullptr, 0, "STAT:OPER:COND?", read_measuring,
     false, nullptr, true},
    {"HoldFull", kind::boolean, "Hold full", "", "%d", "the server's hold is full: words read are being lost", nullptr,
     nullptr, 0, "STAT:QUES:COND?", read_hold_full, false, nullptr, true},
    {"DataSize", kind::long32, "Data size", "words", "%d", "words available: held by the server and by the instrument",
     nullptr, nullptr, 0, "DATA:POIN?", read_long32, false, nullptr, true},
    {"CountRate", kind::real, "Count rate", "counts/s", "%.1f",
     "the counts read in the last second, added up: the instrument's event rate", nullptr, nullptr, 0, "DATA:RATE?",
     read_real, false, nullptr, true},
    {"WordRate", kind::real, "Word rate", "words/s", "%.1f", "the words read in the last second", nullptr, nullptr, 0,
     "DATA:RATE:WORD?", read_real, false, nullptr, true},
    {"WordsTaken", kind::long64, "Words taken", "words", "%d", "words TakeCounts has handed out since the device started",
     nullptr, nullptr, 0, nullptr, nullptr},
    {"WordsLost", kind::long64, "Words lost", "words", "%d", "words the server lost for a full hold", nullptr, nullptr, 0,
     "DATA:LOST?", read_nth64<0>, false, nullptr, true},
    {"Gaps", kind::long64, "Gaps", "", "%d", "gaps the instrument marked in its words (measurements lost before them)",
     nullptr, nullptr, 0, "DATA:LOST?", read_nth64<1>, false, nullptr, true},
    {"NextIndex", kind::long64, "Next index", "", "%d",
     "the index the server's next word read gets: ReadCounts reads up to it", nullptr, nullptr, 0, "DATA:JOUR?",
     read_journal_index<1>, false, nullptr, true},
    {"OldestIndex", kind::long64, "Oldest index", "", "%d", "the oldest index the server's journal still holds", nullptr,
     nullptr, 0, "DATA:JOUR?", read_journal_index<0>, false, nullptr, true},
    {"JournalIdentity", kind::text, "Journal identity", "", "%s",
     "the server's life the indices count in: another after a restart", nullptr, nullptr, 0, "DATA:JOUR?",
     read_journal_identity, false, nullptr, true},
    {"Identity", kind::text, "Identity", "", "%s", "the instrument's *IDN? answer", nullptr, nullptr, 0, "*IDN?",
     read_text, true},
    {"RecentCounts", kind::longs, "Recent counts", "counts", "%d", "the latest counts read (none taken from the hold)",
     nullptr, nullptr, 4095, "DATA:REC? {recent}", read_block},
    {"Histogram", kind::longs, "Histogram", "words", "%d",
     "the latest counts in bins of HistogramWidth from HistogramLeast", nullptr, nullptr, 1024, "DATA:HIST? {bins}",
     read_bins},
    {"HistogramLeast", kind::long32, "Histogram least", "counts", "%d", "the count the histogram's first bin begins at",
     nullptr, nullptr, 0, "DATA:HIST? {bins}", read_nth32<0>, false, nullptr, true},
    {"HistogramWidth", kind::long32, "Histogram width", "counts", "%d", "the counts each bin of the histogram spans",
     nullptr, nullptr, 0, "DATA:HIST? {bins}", read_nth32<1>, false, nullptr, true},
};

std::string with_properties(std::string query, long recent, long bins)
{
    for (const auto &[name, value] : {std::pair<const char *, long>{"{recent}", recent}, {"{bins}", bins}}) {
        const std::size_t at = query.find(name);
        if (at != std::string::npos)
            query.replace(at, std::string(name).size(), std::to_string(value));
    }
    return query;
}

} // namespace

const std::vector<attribute_row> &attribute_table() { return rows; }

int attribute_index(const std::string &name)
{
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (name == rows[i].name)
            return static_cast<int>(i);
    return -1;
}

const attribute_value &instrument_view::operator[](const char *name) const
{
    return values.at(static_cast<std::size_t>(attribute_index(name)));
}

attribute_value &instrument_view::operator[](const char *name)
{
    return values.at(static_cast<std::size_t>(attribute_index(name)));
}

look_plan plan_look(long recent_length, long histogram_bins, bool with_once)
{
    look_plan plan;
    std::vector<std::string> queries;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].query == nullptr || (rows[i].once && !with_once))
            continue;
        const std::string q = with_properties(rows[i].query, recent_length, histogram_bins);
        const auto found = std::find(queries.begin(), queries.end(), q);
        if (found != queries.end()) {
            plan.rows[static_cast<std::size_t>(found - queries.begin())].push_back(i);
            continue;
        }
        plan.message += (queries.empty() ? "" : q[0] == '*' ? ";" : ";:") + q;
        queries.push_back(q);
        plan.rows.push_back({i});
    }
    plan.message += ";:SYST:ERR?";
    return plan;
}

bool read_look(const look_plan &plan, const std::string &answer, instrument_view &v, std::string &why)
{
    const std::vector<std::string> fields = answer_fields(answer);
    scpi_error_answer error;
    bool read = fields.size() == plan.rows.size() + 1 && parse_error(fields.back(), error);
    for (std::size_t k = 0; read && k < plan.rows.size(); ++k)
        for (const std::size_t row : plan.rows[k])
            read = read && rows[row].read(fields[k], v.values[row]);
    if (!read) {
        why = "its answer is not what this device expects (" + valid_utf8(answer.substr(0, 60)) + ")";
        return false;
    }
    v.reachable = true;
    v.error = error.code != 0 ? std::to_string(error.code) + ", " + valid_utf8(error.text) : "";
    return true;
}

std::vector<std::size_t> changed_rows(const instrument_view &before, const instrument_view &after)
{
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].events)
            continue;
        const bool known = !std::holds_alternative<std::monostate>(after.values[i]);
        if (after.values[i] != before.values[i] || (known && !before.reachable && after.reachable))
            changed.push_back(i);
    }
    return changed;
}

const char *state_name(device_state s)
{
    switch (s) {
    case device_state::unknown: return "UNKNOWN";
    case device_state::on: return "ON";
    case device_state::running: return "RUNNING";
    case device_state::fault: return "FAULT";
    case device_state::disable: return "DISABLE";
    }
    return "UNKNOWN";
}

device_state state_of(const instrument_view &v)
{
    if (!v.reachable)
        return v.locked ? device_state::disable : device_state::unknown;
    if (!v.error.empty() || v["HoldFull"] == attribute_value(true))
        return device_state::fault;
    return v["Run"] == attribute_value(true) ? device_state::running : device_state::on;
}

namespace {

// "; Polarity and Period are not known: ..." for the settings the server has not made.
std::string unknown_settings(const instrument_view &v)
{
    std::vector<std::string> unknown;
    for (const char *name : {"Threshold", "Polarity", "Period"})
        if (std::holds_alternative<std::monostate>(v[name]))
            unknown.push_back(name);
    if (unknown.empty())
        return "";
    std::string list;
    for (std::size_t i = 0; i < unknown.size(); ++i)
        list += (i == 0 ? "" : i + 1 == unknown.size() ? " and " : ", ") + unknown[i];
    return "; " + list + (unknown.size() == 1 ? " is" : " are") +
           " not known: the server has not set " + (unknown.size() == 1 ? "it" : "them") + " since it started";
}

} // namespace

std::string status_of(const instrument_view &v, const std::string &where, const std::string &why_unreachable,
                      int retry_s)
{
    if (v.locked)
        return "another client holds the instrument's lock (a VXI-11 link): " + where +
               " answers nothing else until it is given back";
    if (!v.reachable)
        return "cannot reach " + where + ": " + why_unreachable + "; retrying every " + std::to_string(retry_s) + " s";
    if (!v.error.empty())
        return "the server reported an error: " + v.error;
    const std::string settings = unknown_settings(v);
    if (v["HoldFull"] == attribute_value(true)) {
        const std::int64_t *lost = std::get_if<std::int64_t>(&v["WordsLost"]);
        return "the server's hold is full: words read from the instrument are being lost (" +
               std::to_string(lost != nullptr ? *lost : 0) +
               " so far); take them with TakeCounts, or read them by index with ReadCounts" + settings;
    }
    if (v["Run"] == attribute_value(true)) {
        const std::int32_t *size = std::get_if<std::int32_t>(&v["DataSize"]);
        return "a run is on; " + std::to_string(size != nullptr ? *size : 0) + " words wait to be taken" + settings;
    }
    return "reachable at " + where + " and idle" + settings;
}

std::string refusal(const std::string &action, device_state s)
{
    using st = device_state;
    struct rule {
        const char *action;
        std::vector<device_state> allowed;
    };
    static const std::vector<rule> rules = {
        {"Start", {st::on}},
        {"Stop", {st::on, st::running, st::fault}},
        {"Reset", {st::on, st::running, st::fault}},
        {"IfcTest", {st::on, st::running, st::fault}},
        {"TakeCounts", {st::on, st::running, st::fault}},
        {"ReadCounts", {st::on, st::running, st::fault}},
        {"write", {st::on, st::running, st::fault}},
    };
    for (const rule &r : rules)
        if (action == r.action)
            return std::find(r.allowed.begin(), r.allowed.end(), s) != r.allowed.end()
                       ? ""
                       : (action == "write" ? std::string("writing") : action) + " is not allowed in " + state_name(s);
    return action + " is no action of this device";
}

const std::vector<property_row> &device_properties()
{
    static const std::vector<property_row> properties = {
        {"Host", "", "the host of the instrument's counter-scpi-server (required)"},
        {"Port", "5025", "its SCPI socket's port"},
        {"Timeout", "1", "seconds for connecting and for each command (0.01 to 60; TakeCounts waits 1 s at most)"},
        {"RecentLength", "100", "the latest counts RecentCounts shows (1 to 4095)"},
        {"HistogramBins", "64", "the bins of Histogram (1 to 1024)"},
    };
    return properties;
}

std::string valid_utf8(const std::string &bytes)
{
    std::string out;
    const auto escape = [&out](unsigned char c) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        bool whole = n > 0 && i + n <= bytes.size();
        for (std::size_t k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        unsigned long code = n == 1 ? c : n == 2 ? c & 0x1Fu : n == 3 ? c & 0x0Fu : c & 0x07u;
        for (std::size_t k = 1; whole && k < n; ++k)
            code = code << 6 | (static_cast<unsigned char>(bytes[i + k]) & 0x3Fu);
        // Shortest forms only, no surrogates, nothing past U+10FFFF, and no control characters.
        static const unsigned long least[5] = {0, 0, 0x80, 0x800, 0x10000};
        whole = whole && code >= least[n] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF) &&
                (code >= 0x20 && code != 0x7F);
        if (!whole) {
            escape(c);
            ++i;
            continue;
        }
        out.append(bytes, i, n);
        i += n;
    }
    return out;
}

std::string outside_range(const attribute_row &row, long long value)
{
    if (row.min == nullptr || row.max == nullptr)
        return "";
    const long long least = std::atoll(row.min), most = std::atoll(row.max);
    if (value >= least && value <= most)
        return "";
    return std::string(row.name) + " is " + row.min + " to " + row.max + " (the instrument's range), not " +
           std::to_string(value);
}
