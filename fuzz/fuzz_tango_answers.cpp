// Fuzz target: arbitrary bytes as what an scpi_server answers the Tango
// device server. Where an answer ends, its fields, blocks, errors and
// numbers are read; nothing may crash or read outside the bytes, the end
// found is a newline, and the fields are the answer, split only at its
// semicolons.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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
    return 0;
}
