#include "scpi/parser.h"

#include <cctype>
#include <climits>

#include "numbers.h"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string trim(const std::string &s)
{
    std::size_t from = 0, to = s.size();
    while (from < to && is_space(s[from]))
        ++from;
    while (to > from && is_space(s[to - 1]))
        --to;
    return s.substr(from, to - from);
}

// The end of the element (string or block) that begins at `at`, one past
// it; npos when it runs off the end. Anything else is one character.
std::size_t element_end(const std::string &s, std::size_t at)
{
    const char c = s[at];
    if (c == '"' || c == '\'') {
        for (std::size_t i = at + 1; i < s.size(); ++i) {
            if (s[i] != c)
                continue;
            if (i + 1 < s.size() && s[i + 1] == c)
                ++i; // a doubled quote is one quote
            else
                return i + 1;
        }
        return std::string::npos;
    }
    if (c == '#' && at + 1 < s.size() && is_digit(s[at + 1])) {
        const int n = s[at + 1] - '0';
        if (n == 0)
            return s.size(); // indefinite: to the end of the message
        if (at + 2 + static_cast<std::size_t>(n) > s.size())
            return std::string::npos;
        unsigned long long length = 0;
        for (std::size_t i = at + 2; i < at + 2 + static_cast<std::size_t>(n); ++i) {
            if (!is_digit(s[i]))
                return std::string::npos;
            length = length * 10 + static_cast<unsigned>(s[i] - '0');
        }
        const std::size_t end = at + 2 + static_cast<std::size_t>(n) + length;
        return end <= s.size() ? end : std::string::npos;
    }
    return at + 1;
}

// Splits at `separator` outside strings and blocks; false when one is cut.
bool split(const std::string &s, char separator, std::vector<std::string> &parts)
{
    std::size_t start = 0, at = 0;
    while (at < s.size()) {
        if (s[at] == separator) {
            parts.push_back(s.substr(start, at - start));
            start = ++at;
            continue;
        }
        const std::size_t end = element_end(s, at);
        if (end == std::string::npos) {
            parts.push_back(s.substr(start));
            return false;
        }
        at = end;
    }
    parts.push_back(s.substr(start));
    return true;
}

scpi_param classify(const std::string &text)
{
    scpi_param p;
    p.text = text;
    if (text.empty()) {
        p.fault = scpi_err::missing_parameter;
        return p;
    }
    const char c = text[0];
    if (c == '"' || c == '\'') {
        p.kind = param_kind::string;
        if (element_end(text, 0) != text.size()) {
            p.fault = scpi_err::invalid_string_data; // invalid string data
            return p;
        }
        p.text.clear();
        for (std::size_t i = 1; i + 1 < text.size(); ++i) {
            p.text += text[i];
            if (text[i] == c)
                ++i;
        }
        return p;
    }
    if (c == '#' && text.size() > 1 && is_digit(text[1])) {
        p.kind = param_kind::block;
        const std::size_t end = element_end(text, 0);
        if (end != text.size()) {
            p.fault = scpi_err::invalid_block_data; // invalid block data
            return p;
        }
        const std::size_t head = text[1] == '0' ? 2 : 2 + static_cast<std::size_t>(text[1] - '0');
        p.text = text.substr(head);
        return p;
    }
    p.kind = std::isalpha(static_cast<unsigned char>(c)) ? param_kind::character : param_kind::number;
    return p;
}

// The header's nodes; false when it is malformed.
bool read_header(std::string header, scpi_parsed &c)
{
    if (!header.empty() && header.back() == '?') {
        c.query = true;
        header.pop_back();
    }
    if (header.empty())
        return false;
    if (header[0] == '*') {
        c.common = true;
        for (std::size_t i = 1; i < header.size(); ++i)
            if (!std::isalpha(static_cast<unsigned char>(header[i])))
                return false;
        c.nodes.push_back(header);
        return header.size() > 1;
    }
    c.rooted = header[0] == ':';
    std::size_t from = c.rooted ? 1 : 0;
    for (;;) {
        const std::size_t colon = header.find(':', from);
        const std::string node = header.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (node.empty() || !std::isalpha(static_cast<unsigned char>(node[0])))
            return false;
        for (char ch : node)
            if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '_')
                return false;
        c.nodes.push_back(node);
        if (colon == std::string::npos)
            return true;
        from = colon + 1;
    }
}

scpi_parsed parse_command(const std::string &text)
{
    scpi_parsed c;
    c.text = text;
    std::size_t header_end = 0;
    while (header_end < text.size() && !is_space(text[header_end]))
        ++header_end;
    if (!read_header(text.substr(0, header_end), c)) {
        c.error = scpi_err::syntax_error;
        return c;
    }
    const std::string rest = trim(text.substr(header_end));
    if (rest.empty())
        return c;
    std::vector<std::string> parts;
    if (!split(rest, ',', parts)) {
        c.error = scpi_err::syntax_error;
        return c;
    }
    for (const std::string &part : parts)
        c.params.push_back(classify(trim(part)));
    return c;
}

// Digits with a decimal point and exponent, as a whole number: false, with
// the fault, when it is not one or does not fit.
scpi_err decimal_value(const std::string &t, long long min, long long max, long long &value)
{
    std::size_t i = 0;
    const bool negative = i < t.size() && t[i] == '-';
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    std::string digits;
    long long point = -1; // digits before the decimal point
    bool any = false;
    for (; i < t.size() && (is_digit(t[i]) || (t[i] == '.' && point < 0)); ++i) {
        if (t[i] == '.') {
            point = static_cast<long long>(digits.size());
            continue;
        }
        digits += t[i];
        any = true;
    }
    if (!any)
        return scpi_err::data_type_error;
    if (point < 0)
        point = static_cast<long long>(digits.size());
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        std::size_t j = i + 1;
        const bool exp_negative = j < t.size() && t[j] == '-';
        if (j < t.size() && (t[j] == '+' || t[j] == '-'))
            ++j;
        long long exponent = 0;
        const std::size_t exp_from = j;
        for (; j < t.size() && is_digit(t[j]); ++j)
            exponent = exponent < 100000 ? exponent * 10 + (t[j] - '0') : exponent;
        if (j == exp_from)
            return scpi_err::data_type_error; // "1E" with no exponent
        point += exp_negative ? -exponent : exponent;
        i = j;
    }
    std::size_t k = i;
    while (k < t.size() && is_space(t[k]))
        ++k;
    if (k < t.size())
        return std::isalpha(static_cast<unsigned char>(t[k])) ? scpi_err::suffix_not_allowed : scpi_err::data_type_error; // a suffix, or stray characters
    // The digits after the point must all be zero.
    for (long long d = std::max(point, 0LL); d < static_cast<long long>(digits.size()); ++d)
        if (digits[static_cast<std::size_t>(d)] != '0')
            return scpi_err::illegal_parameter_value;
    std::string whole = point <= 0 ? "0" : digits.substr(0, static_cast<std::size_t>(std::min<long long>(point, static_cast<long long>(digits.size()))));
    if (point > static_cast<long long>(digits.size()))
        whole.append(static_cast<std::size_t>(std::min<long long>(point - static_cast<long long>(digits.size()), 40)), '0');
    const std::size_t first = whole.find_first_not_of('0');
    whole = first == std::string::npos ? "0" : whole.substr(first);
    if (whole.size() > 19)
        return scpi_err::data_out_of_range;
    switch (parse_integer((negative ? "-" : "") + whole, min, max, value)) {
    case number_fault::none: return scpi_err::none;
    case number_fault::out_of_range: return scpi_err::data_out_of_range;
    default: return scpi_err::data_type_error;
    }
}

// #H1F, #Q17, #B1010: non-decimal numeric data.
scpi_err based_value(const std::string &t, long long min, long long max, long long &value)
{
    const int base = t[1] == 'H' || t[1] == 'h' ? 16 : t[1] == 'Q' || t[1] == 'q' ? 8 : t[1] == 'B' || t[1] == 'b' ? 2 : 0;
    if (base == 0 || t.size() < 3)
        return scpi_err::data_type_error;
    unsigned long long v = 0;
    for (std::size_t i = 2; i < t.size(); ++i) {
        const int d = std::isdigit(static_cast<unsigned char>(t[i])) ? t[i] - '0'
                      : std::isxdigit(static_cast<unsigned char>(t[i])) ? std::toupper(static_cast<unsigned char>(t[i])) - 'A' + 10
                                                                          : 99;
        if (d >= base)
            return scpi_err::data_type_error;
        if (v > (ULLONG_MAX >> 4))
            return scpi_err::data_out_of_range;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (v > static_cast<unsigned long long>(LLONG_MAX) || static_cast<long long>(v) < min || static_cast<long long>(v) > max)
        return scpi_err::data_out_of_range;
    value = static_cast<long long>(v);
    return scpi_err::none;
}

} // namespace

std::vector<scpi_parsed> parse_message(const std::string &message)
{
    std::vector<scpi_parsed> commands;
    std::vector<std::string> parts;
    const bool whole = split(message, ';', parts);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string text = trim(parts[i]);
        if (text.empty()) {
            // Nothing between two ';', or before the first, is a syntax
            // error; nothing after the last ends the message.
            if (i + 1 < parts.size()) {
                scpi_parsed empty;
                empty.error = scpi_err::syntax_error;
                commands.push_back(empty);
            }
            continue;
        }
        commands.push_back(parse_command(text));
    }
    if (!whole && !commands.empty() && commands.back().error == scpi_err::none)
        commands.back().error = scpi_err::syntax_error; // a string or block cut short by the message's end
    return commands;
}

std::size_t find_message_end(const std::string &b, std::size_t from, message_scanner &s)
{
    enum { text, in_double, in_single, hash, length_digits, block_bytes, indefinite };
    for (std::size_t i = from; i < b.size(); ++i) {
        const char c = b[i];
        switch (s.state) {
        case text:
            if (c == '\n')
                return i;
            s.state = c == '"' ? in_double : c == '\'' ? in_single : c == '#' ? hash : text;
            break;
        case in_double:
        case in_single:
            // A doubled quote closes and reopens: the same state either way.
            if (c == (s.state == in_double ? '"' : '\''))
                s.state = text;
            break;
        case hash:
            if (c == '0')
                s.state = indefinite;
            else if (c >= '1' && c <= '9') {
                s.digits_left = c - '0';
                s.bytes_left = 0;
                s.state = length_digits;
            } else if (c == '\n')
                return i;
            else
                s.state = text;
            break;
        case length_digits:
            if (!is_digit(c)) { // not a block after all
                s.state = text;
                if (c == '\n')
                    return i;
                break;
            }
            s.bytes_left = s.bytes_left < (1ULL << 40) ? s.bytes_left * 10 + static_cast<unsigned>(c - '0') : s.bytes_left;
            if (--s.digits_left == 0)
                s.state = s.bytes_left == 0 ? text : block_bytes;
            break;
        case block_bytes:
            if (--s.bytes_left == 0)
                s.state = text;
            break;
        case indefinite:
            if (c == '\n')
                return i; // an indefinite block ends with the message
            break;
        }
    }
    return std::string::npos;
}

scpi_err integer_param(const scpi_param &p, long long min, long long max, long long &value)
{
    if (p.fault != scpi_err::none)
        return p.fault;
    if (p.kind != param_kind::number)
        return scpi_err::data_type_error;
    if (p.text.size() > 1 && p.text[0] == '#')
        return based_value(p.text, min, max, value);
    return decimal_value(p.text, min, max, value);
}
