// The four calls the instrument link makes into the GPIO platform.
//
// They carry wiringPi's C signatures and C linkage, so the same object code
// links against libwiringPi on a Raspberry Pi and against the virtual
// instrument everywhere else. Pins are wiringPi pin numbers.
#pragma once

extern "C" {
int wiringPiSetup(void);
void pinMode(int pin, int mode);
void digitalWrite(int pin, int value);
int digitalRead(int pin);
}

// Modes and levels as the platform understands them.
constexpr int gpio_mode_input = 0;
constexpr int gpio_mode_output = 1;
constexpr int gpio_low = 0;
constexpr int gpio_high = 1;
