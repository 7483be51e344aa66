#include "baseline_frames.h"

#include "../src/gpio_platform.h"
#include "../src/spi.h"

std::vector<platform_call> frame_calls(bool write, int address, int data)
{
    const int strobe = gpio_out[gpio_strobe_entry];
    const int select = gpio_out[gpio_select_entry];
    const std::uint32_t word = (write ? 0x80000000u : 0u) | (static_cast<std::uint32_t>(address) & 7u) << 24 |
                               (static_cast<std::uint32_t>(data) & 0xFFFFFFu);
    std::vector<platform_call> calls = {{false, select, 0}};
    for (int shift = 24; shift >= 0; shift -= 8) {
        for (int j = 0; j < 8; ++j)
            calls.push_back({false, gpio_out[j], static_cast<int>((word >> (shift + j)) & 1u)});
        calls.push_back({false, strobe, 1});
        calls.push_back({false, strobe, 0});
    }
    if (!write) {
        for (int k = 0; k < 4; ++k) {
            for (int j = 0; j < 8; ++j)
                calls.push_back({true, gpio_in[j], 8 * k + j});
            calls.push_back({false, strobe, 1});
            calls.push_back({false, strobe, 0});
        }
    }
    calls.push_back({false, select, 1});
    return calls;
}

std::uint32_t make_calls(const std::vector<platform_call> &calls)
{
    std::uint32_t reply = 0;
    for (const platform_call &c : calls) {
        if (c.read) {
            if (digitalRead(c.pin) == 1)
                reply |= 1u << c.value;
        } else {
            digitalWrite(c.pin, c.value);
        }
    }
    return reply;
}
