// The console's standard output, built up pass by pass, for byte-for-byte
// comparison.
#pragma once

#include <string>

inline const std::string menu_pass = "\n"
                                     "1. reset          2. start\n"
                                     "3. stop           4. read run\n"
                                     "5. set THR        6. set POL\n"
                                     "7. read datasize  8. read data\n"
                                     "9. ifc test       10. set Period\n"
                                     "0. quit\n"
                                     "enter command : ";

// `n` passes of the menu with nothing printed between them.
inline std::string menus(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += menu_pass;
    return s;
}
