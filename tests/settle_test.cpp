// The link built with BUS_SETTLE_NS=2000, timed on the wall clock the
// virtual pin bank records for every call: each data byte holds 2000 ns
// before its strobe rises, each strobe stays high 2000 ns, and each reply
// byte is sampled 2000 ns after the strobe fell.

#include "bus_fixture.h"

namespace {

constexpr std::int64_t settle_ns = 2000;

using settled_frames = bus_test;

TEST_F(settled_frames, data_hold_still_and_the_strobe_stays_high_for_the_margin)
{
    gpio_write(4, 0x5A5A5A);
    sim::queue_reply(0xA5C30F96u);
    EXPECT_EQ(static_cast<unsigned>(gpio_read(6, 0x123456)), 0xA5C30F96u);

    const std::vector<sim::bus_event> &calls = sim::events();
    std::int64_t last_data_write = 0, strobe_rose = 0, strobe_fell = 0;
    int rises = 0, samples_timed = 0;
    bool strobe_high = false, sampling = false;
    for (const sim::bus_event &e : calls) {
        if (e.kind == sim::call_kind::write && sim::line_uses[static_cast<unsigned>(e.pin)].role == sim::line_role::data_out)
            last_data_write = e.wall_ns;
        if (e.kind == sim::call_kind::write && e.pin == sim::strobe_pin) {
            if (e.value == 1 && !strobe_high) {
                ++rises;
                EXPECT_GE(e.wall_ns - last_data_write, settle_ns) << "rise " << rises;
                strobe_rose = e.wall_ns;
            } else if (e.value == 0 && strobe_high) {
                EXPECT_GE(e.wall_ns - strobe_rose, settle_ns) << "fall after rise " << rises;
                strobe_fell = e.wall_ns;
                sampling = true;
            }
            strobe_high = e.value == 1;
        }
        if (e.kind == sim::call_kind::read && sampling) {
            EXPECT_GE(e.wall_ns - strobe_fell, settle_ns) << "first sample after fall " << rises;
            ++samples_timed;
            sampling = false;
        }
    }
    EXPECT_EQ(rises, 4 + 8);
    EXPECT_EQ(samples_timed, 4);
}

} // namespace
