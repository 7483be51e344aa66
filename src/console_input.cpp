#include "console_input.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "stop_signals.h"

namespace {

// What next_byte gives besides a byte.
constexpr int input_ended = -1;
constexpr int input_failed = -2;
constexpr int input_interrupted = -3;

int next_byte(input_source &in)
{
    if (in.at < in.end)
        return in.data[in.at++];
    // Once the input has ended it stays ended, as in every stdio program:
    // on a terminal the operator's Ctrl-D is not asked for again.
    if (in.ended)
        return input_ended;
    for (;;) {
        if (!wait_readable(in.fd))
            return input_interrupted;
        const ssize_t n = read(in.fd, in.data, sizeof in.data);
        if (n > 0) {
            in.at = 1;
            in.end = static_cast<std::size_t>(n);
            in.newline_read = in.data[n - 1] == '\n';
            return in.data[0];
        }
        if (n == 0) {
            in.ended = true;
            return input_ended;
        }
        if (errno != EINTR && errno != EAGAIN) {
            in.error = errno;
            return input_failed;
        }
    }
}

read_status status_of(int c)
{
    return c == input_ended ? read_status::ended
                            : c == input_failed ? read_status::failed : read_status::interrupted;
}

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

// Ends on the newline, or on whatever ends the input.
int drop_rest_of_line(input_source &in)
{
    int c;
    do
        c = next_byte(in);
    while (c >= 0 && c != '\n');
    return c;
}

} // namespace

read_status read_number(input_source &in, std::FILE *err, int &value)
{
    int c;
    do
        c = next_byte(in);
    while (c >= 0 && is_space(c));
    if (c < 0)
        return status_of(c);

    token_excerpt excerpt;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        excerpt.add(c);
        c = next_byte(in);
    }

    // The magnitude is checked after every digit, so it never exceeds
    // INT_MAX + 1 and the conversion below cannot overflow.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    bool digits = false;
    bool well_formed = true;
    for (; c >= 0 && !is_space(c); c = next_byte(in)) {
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

    // A token cut short by a failure or a signal is no answer; one ended by
    // the end of input is.
    if (c == input_failed || c == input_interrupted)
        return status_of(c);
    if (well_formed && digits) {
        value = static_cast<int>(negative ? -magnitude : magnitude);
        return read_status::number;
    }

    std::fprintf(err, "run: refused \"%s%s\": not a decimal integer from %d to %d;"
                      " the rest of the line is dropped\n",
                 excerpt.text(), excerpt.cut() ? "..." : "", INT_MIN, INT_MAX);
    if (c != '\n' && c != input_ended)
        c = drop_rest_of_line(in);
    if (c == input_failed || c == input_interrupted)
        return status_of(c);
    return read_status::refused;
}
