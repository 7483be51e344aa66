// --version: apart from the other command-line helpers, since it names the
// GPIO platform and so needs one linked; a tool that drives no bus (the
// header's picture) uses the rest without one.

#include <string>

#include "platform.h"
#include "program_options.h"

int print_version(const char *program)
{
    return print_text(program, std::string(program) + " " + program_version() + " (" + platform_name() + ")\n");
}

int answer_help_or_version(int option, int version_option, const char *program, const std::string &help_text)
{
    if (option == 'h')
        return print_text(program, help_text);
    return option == version_option ? print_version(program) : -1;
}
