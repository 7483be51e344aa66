// What the operator may type: whole decimal ints, white-space separated.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <cstdio>
#include <string>

#include <unistd.h>

#include "console_input.h"
#include "console_session.h"

namespace {

// Reads numbers from `text` until the input ends, recording each outcome.
struct reading {
    std::string outcomes; // "n<value> " for a number, "refused " for a refusal
    std::string errors;   // what was written to the error stream
};

reading read_all(const std::string &text)
{
    input_source in;
    in.fd = memory_file(text);
    char *err_text = nullptr;
    std::size_t err_size = 0;
    std::FILE *err = open_memstream(&err_text, &err_size);
    reading r;
    int value = 12345;
    for (;;) {
        const read_status s = read_number(in, err, value);
        if (s != read_status::number && s != read_status::refused)
            break;
        r.outcomes += s == read_status::number ? "n" + std::to_string(value) + " " : "refused ";
    }
    close(in.fd);
    std::fclose(err);
    r.errors.assign(err_text, err_size);
    std::free(err_text);
    return r;
}

TEST(console_input, white_space_separates_numbers_on_one_line_or_many)
{
    EXPECT_EQ(read_all("1 2\t3\r\n4\n\n  5\v6\f7").outcomes, "n1 n2 n3 n4 n5 n6 n7 ");
    EXPECT_EQ(read_all("").outcomes, "");
    EXPECT_EQ(read_all(" \n\t\r\n").outcomes, "");
}

TEST(console_input, signs_leading_zeros_and_the_ends_of_int_are_accepted)
{
    EXPECT_EQ(read_all("+7 -7 007 -0 2147483647 -2147483648 +0000000000002147483647").outcomes,
              "n7 n-7 n7 n0 n2147483647 n-2147483648 n2147483647 ");
}

TEST(console_input, anything_but_a_whole_int_is_refused_with_one_error_line)
{
    const char *refused[] = {"abc", "4x", "1.5", "--3", "+", "-", "2147483648", "-2147483649",
                             "99999999999", "0x10", "1e3", "+-1", "12,5"};
    for (const char *token : refused) {
        const reading r = read_all(std::string(token) + "\n");
        EXPECT_EQ(r.outcomes, "refused ") << token;
        EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << token;
        EXPECT_NE(r.errors.find(token), std::string::npos) << r.errors;
    }
}

TEST(console_input, a_refusal_drops_the_rest_of_its_line_only)
{
    EXPECT_EQ(read_all("abc 5 6\n7\n").outcomes, "refused n7 ");
    EXPECT_EQ(read_all("5 abc 6\n7 8").outcomes, "n5 refused n7 n8 ");
    EXPECT_EQ(read_all("abc\n7\n").outcomes, "refused n7 ") << "the refused token's own newline ends the line";
    EXPECT_EQ(read_all("abc").outcomes, "refused ");
}

TEST(console_input, a_number_ended_by_the_end_of_input_counts)
{
    EXPECT_EQ(read_all("42").outcomes, "n42 ");
}

TEST(console_input, binary_and_huge_tokens_are_refused_safely)
{
    std::string binary("\x01\x7f\xff\x00" "9\n5\n", 8);
    const reading b = read_all(binary);
    EXPECT_EQ(b.outcomes, "refused n5 ");
    EXPECT_NE(b.errors.find("\\x01\\x7f\\xff\\x00"), std::string::npos) << b.errors;

    const std::string digits(1 << 20, '7');
    const reading d = read_all(digits + " 3\n4\n");
    EXPECT_EQ(d.outcomes, "refused n4 ");
    EXPECT_LT(d.errors.size(), 200u) << "a megabyte token is not echoed whole";
    EXPECT_NE(d.errors.find("..."), std::string::npos);

    const reading q = read_all("\"\\\n");
    EXPECT_NE(q.errors.find("\\x22\\x5c"), std::string::npos) << "quotes and backslashes are escaped: " << q.errors;
}

} // namespace
