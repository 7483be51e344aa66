#include "frame_decoder.h"

#include "wiring.h"

namespace {

// A trace starts between frames: select high, strobe low.
struct line_levels {
    bool select = true;
    bool strobe = false;
    std::uint8_t data_out = 0;
};

void watch_write(line_levels &levels, int pin, int value)
{
    if (pin < 0 || pin >= sim::line_count)
        return;
    const sim::line_use use = sim::line_uses[static_cast<unsigned>(pin)];
    const bool high = value != 0;
    if (use.role == sim::line_role::data_out) {
        const auto bit = static_cast<std::uint8_t>(1u << use.bit);
        levels.data_out = static_cast<std::uint8_t>(high ? levels.data_out | bit : levels.data_out & ~bit);
    }
}

} // namespace

bus_trace decode_bus(const std::vector<sim::bus_event> &events)
{
    bus_trace trace;
    line_levels levels;
    observed_frame *frame = nullptr;
    std::uint8_t reply_byte = 0;
    int reads_in_byte = 0;

    for (const sim::bus_event &e : events) {
        if (e.kind == sim::call_kind::setup || e.kind == sim::call_kind::mode || e.kind == sim::call_kind::pull ||
            e.kind == sim::call_kind::far_side)
            continue;
        if (frame == nullptr) {
            const bool opens = e.kind == sim::call_kind::write && e.pin == sim::select_pin &&
                               e.value == 0 && levels.select;
            if (!opens) {
                ++trace.calls_between_frames;
                if (e.kind == sim::call_kind::write) {
                    watch_write(levels, e.pin, e.value);
                    if (e.pin == sim::select_pin)
                        levels.select = e.value != 0;
                    if (e.pin == sim::strobe_pin)
                        levels.strobe = e.value != 0;
                }
                continue;
            }
            trace.frames.emplace_back();
            frame = &trace.frames.back();
            frame->strobe_low_at_open = !levels.strobe;
            frame->open_wall_ns = e.wall_ns;
            reads_in_byte = 0;
            reply_byte = 0;
        }

        if (e.kind == sim::call_kind::read) {
            ++frame->reads;
            const sim::line_use use = sim::line_uses[static_cast<unsigned>(e.pin) % sim::line_count];
            if (use.role == sim::line_role::data_in && e.value == 1)
                reply_byte = static_cast<std::uint8_t>(reply_byte | (1u << use.bit));
            if (frame->pulses != 4 + static_cast<int>(frame->reply.size()))
                frame->reply_sampled_between_pulses = false;
            if (reads_in_byte == 0)
                frame->sample_calls.push_back(e.call);
            if (++reads_in_byte == 8) {
                frame->sample_calls.push_back(e.call);
                frame->reply.push_back(reply_byte);
                reply_byte = 0;
                reads_in_byte = 0;
            }
            continue;
        }

        ++frame->writes;
        watch_write(levels, e.pin, e.value);
        if (e.pin == sim::strobe_pin) {
            const bool high = e.value != 0;
            if (high && !levels.strobe) {
                if (++frame->pulses <= 4) {
                    frame->command.push_back(levels.data_out);
                    frame->latch_calls.push_back(e.call);
                }
            }
            levels.strobe = high;
        } else if (e.pin == sim::select_pin) {
            levels.select = e.value != 0;
            if (levels.select) {
                frame->strobe_low_at_close = !levels.strobe;
                frame->close_wall_ns = e.wall_ns;
                frame = nullptr;
            }
        }
    }
    trace.frame_left_open = frame != nullptr;
    return trace;
}

bus_trace decode_after_setup(const std::vector<sim::bus_event> &events)
{
    std::vector<sim::bus_event> after;
    for (const sim::bus_event &e : events)
        if (e.call >= setup_calls)
            after.push_back(e);
    return decode_bus(after);
}

bool well_formed(const observed_frame &frame)
{
    const bool write = frame.is_write();
    return frame.writes == (write ? 42 : 50) && frame.reads == (write ? 0 : 32) &&
           frame.pulses == (write ? 4 : 8) && frame.strobe_low_at_open && frame.strobe_low_at_close &&
           frame.reply_sampled_between_pulses;
}

std::uint32_t reply_word(const observed_frame &frame)
{
    std::uint32_t word = 0;
    for (std::size_t k = 0; k < frame.reply.size() && k < 4; ++k)
        word |= static_cast<std::uint32_t>(frame.reply[k]) << (8 * k);
    return word;
}

