#include "scpi/errors.h"

#include <cstdio>

namespace {

const char *standard_text(scpi_err e)
{
    switch (e) {
#define SCPI_ERROR_TEXT(code, name, text) \
    case scpi_err::name:                  \
        return text;
        SCPI_ERRORS(SCPI_ERROR_TEXT)
#undef SCPI_ERROR_TEXT
    case scpi_err::none:
        break;
    }
    return "No error";
}

} // namespace

std::string error_message(scpi_err e, const std::string &detail)
{
    constexpr std::size_t most = 255;
    std::string out = standard_text(e);
    if (!detail.empty())
        out += ";";
    for (unsigned char c : detail) {
        char piece[8];
        if (c >= 0x20 && c < 0x7F)
            piece[0] = static_cast<char>(c), piece[1] = '\0';
        else
            std::snprintf(piece, sizeof piece, "\\x%02X", c);
        if (out.size() + std::char_traits<char>::length(piece) > most - 3) {
            out += "...";
            break;
        }
        out += piece;
    }
    return out;
}
