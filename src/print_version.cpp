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
