/*
 * A stand-in for libwiringPi, written for the link check: the four calls the
 * console makes and the pull control of the wiring self-test, with the
 * platform's C signatures, over an array of levels.
 * It also exports functions the console must not use, so that the check can
 * tell "resolves exactly the four" from "resolves whatever is there".
 */
#include <stdio.h>

static int levels[64];

int wiringPiSetup(void)
{
    fputs("wiringPi stand-in: set up\n", stderr);
    return 0;
}

void pinMode(int pin, int mode)
{
    (void)pin;
    (void)mode;
}

void digitalWrite(int pin, int value) { levels[pin & 63] = value != 0; }

int digitalRead(int pin) { return levels[pin & 63]; }

/* The wiring self-test's one call beyond the four. */
void pullUpDnControl(int pin, int pud)
{
    (void)pin;
    (void)pud;
}

#ifdef STANDIN_NEEDS_CRYPT
/* As wiringPi 3 does, use libcrypt: the stand-in then needs libcrypt.so.1. */
char *crypt(const char *key, const char *salt);
int standinCheckKey(const char *key) { return crypt(key, "ab") != 0; }
#endif

/* Not for the console. */
int standinSetupOther(void) { return -1; }
void standinPulse(int pin) { levels[pin & 63] ^= 1; }
