#include "net/transport.h"

bool transport::listen(std::string &said, std::string &)
{
    said.clear();
    return true;
}

void transport::close_all(const std::string &) {}

std::vector<std::string> transport::resources(const std::string &) const { return {}; }
