// The SCPI errors this instrument reports, each once: its code, its name
// in the code, and its standard text. A client reads "code,\"text;detail\""
// from SYSTem:ERRor?.
#pragma once

#include <string>

#define SCPI_ERRORS(X)                                               \
    X(-100, command_error, "Command error")                          \
    X(-102, syntax_error, "Syntax error")                            \
    X(-104, data_type_error, "Data type error")                      \
    X(-108, parameter_not_allowed, "Parameter not allowed")          \
    X(-109, missing_parameter, "Missing parameter")                  \
    X(-113, undefined_header, "Undefined header")                    \
    X(-138, suffix_not_allowed, "Suffix not allowed")                \
    X(-151, invalid_string_data, "Invalid string data")              \
    X(-161, invalid_block_data, "Invalid block data")                \
    X(-200, execution_error, "Execution error")                      \
    X(-213, init_ignored, "Init ignored")                            \
    X(-222, data_out_of_range, "Data out of range")                  \
    X(-223, too_much_data, "Too much data")                          \
    X(-224, illegal_parameter_value, "Illegal parameter value")      \
    X(-300, device_specific_error, "Device-specific error")          \
    X(-310, system_error, "System error")                            \
    X(-350, queue_overflow, "Queue overflow")                        \
    X(-363, input_buffer_overrun, "Input buffer overrun")

enum class scpi_err : int {
    none = 0,
#define SCPI_ERROR_NAME(code, name, text) name = code,
    SCPI_ERRORS(SCPI_ERROR_NAME)
#undef SCPI_ERROR_NAME
};

inline int code_of(scpi_err e) { return static_cast<int>(e); }

// The standard text, then ';' and the detail, printable ASCII only (others
// as \xNN), at most 255 characters: what the error queue holds.
std::string error_message(scpi_err e, const std::string &detail);
