// The Raspberry Pi's 40-pin header (all models since the B+), pin by pin:
// the Broadcom GPIO number and wiringPi number of each signal pin, as the
// board and wiringPi's published pin table define them, or its supply.
#pragma once

#include <array>

struct header_pin {
    int physical;       // 1..40: odd pins in one row, even pins in the other
    int bcm;            // Broadcom GPIO number, -1 for a supply pin
    int wiringpi;       // wiringPi pin number, -1 for a supply pin
    const char *supply; // "3V3", "5V" or "GND" for a supply pin, else nullptr
};

constexpr std::array<header_pin, 40> pi_header = {{
    {1, -1, -1, "3V3"},  {2, -1, -1, "5V"},    {3, 2, 8, nullptr},   {4, -1, -1, "5V"},
    {5, 3, 9, nullptr},  {6, -1, -1, "GND"},   {7, 4, 7, nullptr},   {8, 14, 15, nullptr},
    {9, -1, -1, "GND"},  {10, 15, 16, nullptr}, {11, 17, 0, nullptr}, {12, 18, 1, nullptr},
    {13, 27, 2, nullptr}, {14, -1, -1, "GND"},  {15, 22, 3, nullptr}, {16, 23, 4, nullptr},
    {17, -1, -1, "3V3"}, {18, 24, 5, nullptr},  {19, 10, 12, nullptr}, {20, -1, -1, "GND"},
    {21, 9, 13, nullptr}, {22, 25, 6, nullptr}, {23, 11, 14, nullptr}, {24, 8, 10, nullptr},
    {25, -1, -1, "GND"}, {26, 7, 11, nullptr},  {27, 0, 30, nullptr}, {28, 1, 31, nullptr},
    {29, 5, 21, nullptr}, {30, -1, -1, "GND"},  {31, 6, 22, nullptr}, {32, 12, 26, nullptr},
    {33, 13, 23, nullptr}, {34, -1, -1, "GND"}, {35, 19, 24, nullptr}, {36, 16, 27, nullptr},
    {37, 26, 25, nullptr}, {38, 20, 28, nullptr}, {39, -1, -1, "GND"}, {40, 21, 29, nullptr},
}};
