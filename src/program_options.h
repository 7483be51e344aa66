// The command-line convention of every program but the console (which by
// its design takes none): GNU long options read by getopt_long, --help and
// --version on each, a usage error on standard error with status 2, and
// every message under the name the program was started by.
#pragma once

#include <getopt.h>

#include <cstdio>
#include <string>
#include <vector>

constexpr int exit_usage = 2; // a wrong command line: nothing was sent

// getopt_long over args[0..] (args[0] is the program's or the command's
// name), silent: an unknown option, or a missing or unwanted value, comes
// back as '?' with the reason in `error`. Reset with optind = 0 before a
// new vector. `short_options` beginning with '+' stops at the first
// operand, for a program whose operands are a sequence of their own.
int next_option(std::vector<char *> &args, const char *short_options, const option *long_options,
                std::string &error);

// getopt takes "-1" for an option. A word that is a negative number, and is
// not the value of the option before it, is moved after a "--" (which is
// added), where it is an operand; so are the words after an existing "--".
std::vector<char *> negative_numbers_as_operands(const std::vector<char *> &args, const char *short_options,
                                                 const option *long_options);

// "NAME: WHY", the usage line(s), and where to read more, on `err`;
// returns exit_usage.
int usage_error(std::FILE *err, const char *program, const std::string &why, const char *usage);

// "NAME VERSION (PLATFORM)" on standard output.
int print_version(const char *program);

// Writes `text` to standard output and checks that it got there: 0, or
// exit_output_failed with the reason said.
int print_text(const char *program, const std::string &text);

// What -h (`help_text`) and --version (the option `version_option`) answer
// in every program: the exit status once printed, or -1 for another option.
int answer_help_or_version(int option, int version_option, const char *program, const std::string &help_text);

// The project's version, for --version and the files the programs write.
const char *program_version();
