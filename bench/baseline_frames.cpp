#include "baseline_frames.h"

#include "../src/bus_pins.h"
#include "../src/gpio_platform.h"
#include "../src/spi.h"

std::vector<platform_call> frame_calls(bool write, int address, int data)
{
    const int strobe = bus_pins::strobe;
    const int select = bus_pins::select;
    const std::uint32_t word = (write ? 0x80000000u : 0u) | (static_cast<std::uint32_t>(address) & 7u) << 24 |
                               (static_cast<std::uint32_t>(data) & 0xFFFFFFu);
    std::vector<platform_call> calls = {{false, select, 0}};
    for (int shift = 24; shift >= 0; shift -= 8) {
        for (int j = 0; j < 8; ++j)
            calls.push_back({false, bus_pins::data_out[j], static_cast<int>((word >> (shift + j)) & 1u)});
        calls.push_back({false, strobe, 1});
        calls.push_back({false, strobe, 0});
    }
    if (!write) {
        for (int k = 0; k < 4; ++k) {
            for (int j = 0; j < 8; ++j)
                calls.push_back({true, bus_pins::data_in[j], 8 * k + j});
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

// One byte on data-out 0..7, then a strobe pulse, each pin a constant.
#define SEND_BYTE(value)                                                                                               \
    do {                                                                                                               \
        const std::uint32_t b = (value);                                                                               \
        digitalWrite(bus_pins::data_out[0], static_cast<int>(b & 1u));                                                                    \
        digitalWrite(bus_pins::data_out[1], static_cast<int>(b >> 1 & 1u));                                                               \
        digitalWrite(bus_pins::data_out[2], static_cast<int>(b >> 2 & 1u));                                                               \
        digitalWrite(bus_pins::data_out[3], static_cast<int>(b >> 3 & 1u));                                                               \
        digitalWrite(bus_pins::data_out[4], static_cast<int>(b >> 4 & 1u));                                                               \
        digitalWrite(bus_pins::data_out[5], static_cast<int>(b >> 5 & 1u));                                                               \
        digitalWrite(bus_pins::data_out[6], static_cast<int>(b >> 6 & 1u));                                                               \
        digitalWrite(bus_pins::data_out[7], static_cast<int>(b >> 7 & 1u));                                                               \
        digitalWrite(bus_pins::strobe, 1);                                                                                           \
        digitalWrite(bus_pins::strobe, 0);                                                                                           \
    } while (0)

// One reply byte from data-in 0..7 into bits `shift`.., then a strobe pulse.
#define RECEIVE_BYTE(reply, shift)                                                                                     \
    do {                                                                                                               \
        if (digitalRead(bus_pins::data_in[0]) == 1) reply |= 1u << ((shift) + 0);                                                        \
        if (digitalRead(bus_pins::data_in[1]) == 1) reply |= 1u << ((shift) + 1);                                                        \
        if (digitalRead(bus_pins::data_in[2]) == 1) reply |= 1u << ((shift) + 2);                                                         \
        if (digitalRead(bus_pins::data_in[3]) == 1) reply |= 1u << ((shift) + 3);                                                        \
        if (digitalRead(bus_pins::data_in[4]) == 1) reply |= 1u << ((shift) + 4);                                                        \
        if (digitalRead(bus_pins::data_in[5]) == 1) reply |= 1u << ((shift) + 5);                                                         \
        if (digitalRead(bus_pins::data_in[6]) == 1) reply |= 1u << ((shift) + 6);                                                         \
        if (digitalRead(bus_pins::data_in[7]) == 1) reply |= 1u << ((shift) + 7);                                                         \
        digitalWrite(bus_pins::strobe, 1);                                                                                           \
        digitalWrite(bus_pins::strobe, 0);                                                                                           \
    } while (0)

std::uint32_t straight_write_frame(int address, int data)
{
    const std::uint32_t word =
        0x80000000u | (static_cast<std::uint32_t>(address) & 7u) << 24 | (static_cast<std::uint32_t>(data) & 0xFFFFFFu);
    digitalWrite(bus_pins::select, 0);
    SEND_BYTE(word >> 24);
    SEND_BYTE(word >> 16 & 0xFFu);
    SEND_BYTE(word >> 8 & 0xFFu);
    SEND_BYTE(word & 0xFFu);
    digitalWrite(bus_pins::select, 1);
    return 0;
}

std::uint32_t straight_read_frame(int address, int data)
{
    const std::uint32_t word = (static_cast<std::uint32_t>(address) & 7u) << 24 | (static_cast<std::uint32_t>(data) & 0xFFFFFFu);
    digitalWrite(bus_pins::select, 0);
    SEND_BYTE(word >> 24);
    SEND_BYTE(word >> 16 & 0xFFu);
    SEND_BYTE(word >> 8 & 0xFFu);
    SEND_BYTE(word & 0xFFu);
    std::uint32_t reply = 0;
    RECEIVE_BYTE(reply, 0);
    RECEIVE_BYTE(reply, 8);
    RECEIVE_BYTE(reply, 16);
    RECEIVE_BYTE(reply, 24);
    digitalWrite(bus_pins::select, 1);
    return reply;
}
