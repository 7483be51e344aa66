// Letters in one case, for headers and words typed in any case.
#pragma once

#include <cctype>
#include <string>

inline std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
