#include <gtest/gtest.h>

#include "bus_monitor.h"

void expect_frames(const bus_trace &trace, const std::vector<expected_frame> &expected)
{
    EXPECT_FALSE(trace.frame_left_open);
    EXPECT_EQ(trace.calls_between_frames, 0) << "pin calls outside frames";
    ASSERT_EQ(trace.frames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const observed_frame &got = trace.frames[i];
        const expected_frame &want = expected[i];
        SCOPED_TRACE(testing::Message() << "frame " << i << ": " << got);
        EXPECT_EQ(got.command, want.command) << "expected " << want;
        EXPECT_TRUE(well_formed(got)) << "pulses " << got.pulses << ", strobe low at open/close "
                                      << got.strobe_low_at_open << "/" << got.strobe_low_at_close
                                      << ", reply sampled between pulses " << got.reply_sampled_between_pulses;
        if (!want.reply.empty()) {
            EXPECT_EQ(got.reply, want.reply);
        }
    }
}
