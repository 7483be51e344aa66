#include "console_model.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transcript.h"

namespace {

enum class answer { number, refused, ended };

class operator_input {
public:
    explicit operator_input(const std::string &text) : text_(text) {}

    answer next(int &value)
    {
        while (at_ < text_.size() && is_space(text_[at_]))
            ++at_;
        if (at_ == text_.size())
            return answer::ended;
        const std::size_t start = at_;
        while (at_ < text_.size() && !is_space(text_[at_]))
            ++at_;
        if (parse(text_.substr(start, at_ - start), value))
            return answer::number;
        if (at_ < text_.size() && text_[at_] != '\n')
            at_ = std::min(text_.find('\n', at_), text_.size());
        return answer::refused;
    }

private:
    static bool is_space(char c) { return c != '\0' && std::strchr(" \t\n\r\v\f", c) != nullptr; }

    static bool parse(const std::string &token, int &value)
    {
        const std::size_t digits_from = token[0] == '+' || token[0] == '-' ? 1 : 0;
        if (digits_from == token.size() ||
            token.find_first_not_of("0123456789", digits_from) != std::string::npos)
            return false;
        errno = 0;
        const long long v = std::strtoll(token.c_str(), nullptr, 10);
        if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
            return false;
        value = static_cast<int>(v);
        return true;
    }

    const std::string &text_;
    std::size_t at_ = 0;
};

// Walks the observed frames in order, checking each against the next
// expected one and handing back the instrument's reply.
class frame_cursor {
public:
    explicit frame_cursor(const bus_trace &bus) : frames_(bus.frames) {}

    std::uint32_t expect(bool write, int address, std::uint32_t data, model_verdict &v)
    {
        if (!v.ok)
            return 0;
        if (next_ == frames_.size()) {
            fail(v, "a frame is missing");
            return 0;
        }
        const observed_frame &f = frames_[next_++];
        const expected_frame want = write ? write_frame(address, data) : read_frame(address, data);
        if (f.command != want.command || !well_formed(f)) {
            fail(v, "frame " + std::to_string(next_ - 1) + " is not the one expected");
            return 0;
        }
        return reply_word(f);
    }

    bool all_seen() const { return next_ == frames_.size(); }

private:
    static void fail(model_verdict &v, const std::string &why)
    {
        v.ok = false;
        v.why = why;
    }

    const std::vector<observed_frame> &frames_;
    std::size_t next_ = 0;
};

std::string format_int(const char *format, int a, int b = 0, int c = 0)
{
    char line[64];
    std::snprintf(line, sizeof line, format, a, b, c);
    return line;
}

int as_int(std::uint32_t word) { return word > 0x7FFFFFFFu ? -static_cast<int>(~word) - 1 : static_cast<int>(word); }

// Command 8: the data size asked until there is data, every word read, then listed.
std::string expect_listing(frame_cursor &bus_frames, model_verdict &v)
{
    int count = 0;
    while (v.ok && count == 0) {
        bus_frames.expect(true, 6, 0, v);
        count = as_int(bus_frames.expect(false, 6, 0, v) & 0xFFFu);
    }
    std::vector<int> words;
    for (int i = 0; v.ok && i < count; ++i)
        words.push_back(as_int(bus_frames.expect(false, 7, 0, v)));
    std::string listing;
    for (int i = 0; v.ok && i < count; ++i)
        listing += format_int("%d/%d cnt : %d\n", i + 1, count, words[static_cast<std::size_t>(i)]);
    return listing;
}

} // namespace

model_verdict check_console_run(const std::string &input, const std::string &out, int status, const bus_trace &bus)
{
    model_verdict v;
    operator_input in(input);
    frame_cursor bus_frames(bus);
    std::string expected;
    int expected_status = 0;

    for (;;) {
        expected += menu_pass;
        int command = 0;
        const answer got = in.next(command);
        if (got == answer::ended)
            break;
        if (got == answer::refused)
            continue;
        if (command == 0)
            break;
        int value = 0;
        answer value_answer = answer::number;
        auto ask = [&](const char *prompt) {
            expected += prompt;
            value_answer = in.next(value);
            return value_answer == answer::number;
        };
        switch (command) {
        case 1: bus_frames.expect(true, 0, 0, v); break;
        case 2: bus_frames.expect(true, 1, 0, v); break;
        case 3: bus_frames.expect(true, 2, 0, v); break;
        case 4: expected += format_int("run = %d\n", as_int(bus_frames.expect(false, 3, 0, v) & 1u)); break;
        case 5:
            if (ask("threshold : ")) {
                const std::uint32_t t = static_cast<std::uint32_t>(value) & 0xFFFu;
                bus_frames.expect(true, 4, t, v);
                expected += format_int("%d", as_int(bus_frames.expect(false, 4, t, v)));
            }
            break;
        case 6:
            if (ask("pol : "))
                bus_frames.expect(true, 5, static_cast<std::uint32_t>(value) & 1u, v);
            break;
        case 7:
            bus_frames.expect(true, 6, 0, v);
            expected += format_int("datasize = %d\n", as_int(bus_frames.expect(false, 6, 0, v) & 0xFFFu));
            break;
        case 8: expected += expect_listing(bus_frames, v); break;
        case 9:
            if (ask("write: "))
                expected += format_int(
                    "read : %d\n", as_int(bus_frames.expect(false, 0, static_cast<std::uint32_t>(value) & 0xFFFFFFu, v)));
            break;
        case 10:
            if (ask("period: "))
                bus_frames.expect(true, 3, static_cast<std::uint32_t>(value < 1 ? 1 : value > 4095 ? 4095 : value), v);
            break;
        default:
            break;
        }
        if (!v.ok)
            return v;
        if (value_answer == answer::ended) {
            expected_status = 1;
            break;
        }
    }

    if (v.ok && !bus_frames.all_seen())
        v = {false, "frames beyond those the commands send"};
    else if (v.ok && out != expected)
        v = {false, "standard output differs from the dialogue"};
    else if (v.ok && status != expected_status)
        v = {false, "exit status " + std::to_string(status) + ", expected " + std::to_string(expected_status)};
    return v;
}
