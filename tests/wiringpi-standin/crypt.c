/*
 * A stand-in for libcrypt.so.1, which wiringPi 3 needs and a cross sysroot
 * lacks: the stand-in libwiringPi for cross builds is linked against it, so
 * that building against that stand-in meets the same missing library as
 * building against a libwiringPi.so copied from a Pi.
 */
char *crypt(const char *key, const char *salt)
{
    (void)key;
    return (char *)salt;
}
