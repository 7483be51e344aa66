// Fuzz target: arbitrary bytes as what an scpi_server answers the Tango
// device server. Where an answer ends, its fields, blocks, errors and
// numbers are read; nothing may crash or read outside the bytes, the end
// found is a newline, and the fields are the answer, split only at its
// semicolons. The same bytes read as the device's look must leave every
// text valid UTF-8 and every spectrum within its bound, whatever the peer
// sent.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "instrument_model.h"
#include "scpi_link.h"

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "the device server's reading of answers broke: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::size_t end = answer_end(bytes);
    require(end == std::string::npos || (end < bytes.size() && bytes[end] == '\n'), "an end that is no newline");
    const std::string answer = end == std::string::npos ? bytes : bytes.substr(0, end);
    const std::vector<std::string> fields = answer_fields(answer);
    std::string joined;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string &f = fields[i];
        joined += (i == 0 ? "" : ";") + f;
        std::vector<std::int32_t> words;
        if (block_words(f, words))
            require(f.size() >= 2 && words.size() * 4 + 2 + static_cast<std::size_t>(f[1] - '0') == f.size(),
                    "a block of another length than its words");
        scpi_error_answer error;
        parse_error(f, error);
        std::vector<long long> numbers;
        split_numbers(f, numbers);
    }
    require(joined == answer, "fields that are not the answer");

    instrument_view v;
    std::string why;
    const bool read = read_look(plan_look(100, 64, true), answer, v, why);
    require(read || valid_utf8(why) == why, "a reason that is not valid UTF-8");
    require(valid_utf8(v.error) == v.error, "an error told that is not valid UTF-8");
    for (std::size_t i = 0; i < attribute_table().size(); ++i) {
        if (const std::string *text = std::get_if<std::string>(&v.values[i]))
            require(valid_utf8(*text) == *text, "a text attribute that is not valid UTF-8");
        if (const auto *longs = std::get_if<std::vector<std::int32_t>>(&v.values[i]))
            require(longs->size() <= static_cast<std::size_t>(attribute_table()[i].most), "a spectrum past its bound");
    }
    require(valid_utf8(valid_utf8(bytes)) == valid_utf8(bytes), "escaping changes what it made");
    return 0;
}
