// wiringPi's pull-resistor call, used by the wiring self-test alone: the
// console and the link never set a pull.
#pragma once

extern "C" void pullUpDnControl(int pin, int pud);

// Pull settings as wiringPi numbers them.
constexpr int gpio_pull_off = 0;
constexpr int gpio_pull_down = 1;
constexpr int gpio_pull_up = 2;
