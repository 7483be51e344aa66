#include "console_input.h"

#include <climits>

namespace {

// The white space that "%d" skips in the C locale.
bool is_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Enough of a refused token to recognise it, made safe to print: a refused
// token may be binary or a megabyte long, and only its head is kept.
class token_excerpt {
public:
    void add(int c)
    {
        ++seen_;
        if (used_ + 4 >= sizeof text_)
            return;
        ++kept_;
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text_[used_++] = static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            text_[used_++] = '\\';
            text_[used_++] = 'x';
            text_[used_++] = hex[(c >> 4) & 0xF];
            text_[used_++] = hex[c & 0xF];
        }
        text_[used_] = '\0';
    }
    const char *text() const { return text_; }
    bool cut() const { return seen_ > kept_; }

private:
    char text_[48] = "";
    unsigned used_ = 0;
    unsigned long kept_ = 0;
    unsigned long seen_ = 0;
};

void drop_rest_of_line(std::FILE *in)
{
    int c;
    do
        c = std::getc(in);
    while (c != EOF && c != '\n');
}

} // namespace

read_status read_number(std::FILE *in, std::FILE *err, int &value)
{
    int c;
    do
        c = std::getc(in);
    while (c != EOF && is_space(c));
    if (c == EOF)
        return read_status::ended;

    token_excerpt excerpt;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        excerpt.add(c);
        c = std::getc(in);
    }

    // The magnitude is checked after every digit, so it never exceeds
    // INT_MAX + 1 and the conversion below cannot overflow.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    bool digits = false;
    bool well_formed = true;
    for (; c != EOF && !is_space(c); c = std::getc(in)) {
        excerpt.add(c);
        if (!well_formed)
            continue;
        if (is_digit(c)) {
            digits = true;
            magnitude = magnitude * 10 + (c - '0');
            well_formed = magnitude <= limit;
        } else {
            well_formed = false;
        }
    }

    if (well_formed && digits) {
        value = static_cast<int>(negative ? -magnitude : magnitude);
        return read_status::number;
    }

    std::fprintf(err, "run: refused \"%s%s\": not a decimal integer from %d to %d;"
                      " the rest of the line is dropped\n",
                 excerpt.text(), excerpt.cut() ? "..." : "", INT_MIN, INT_MAX);
    if (c != '\n' && c != EOF)
        drop_rest_of_line(in);
    return read_status::refused;
}
