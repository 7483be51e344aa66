#include "scpi_parser.h"

#include <cctype>

namespace {

// One node of a command's header: its mnemonic with the short form in
// capitals ("THReshold"), and whether it may be left out ("[SENSe:]").
struct header_node {
    const char *mnemonic;
    bool optional;
};

enum class query_use { set_only, query_only, both };

struct command_pattern {
    std::vector<header_node> nodes;
    query_use use;
    scpi_command command;
};

const std::vector<command_pattern> &patterns()
{
    static const std::vector<command_pattern> all = {
        {{{"*IDN", false}}, query_use::query_only, scpi_command::idn},
        {{{"*RST", false}}, query_use::set_only, scpi_command::rst},
        {{{"*CLS", false}}, query_use::set_only, scpi_command::cls},
        {{{"*ESR", false}}, query_use::query_only, scpi_command::esr},
        {{{"*ESE", false}}, query_use::both, scpi_command::ese},
        {{{"*STB", false}}, query_use::query_only, scpi_command::stb},
        {{{"*OPC", false}}, query_use::both, scpi_command::opc},
        {{{"*WAI", false}}, query_use::set_only, scpi_command::wai},
        {{{"SYSTem", false}, {"ERRor", false}, {"NEXT", true}}, query_use::query_only, scpi_command::error_next},
        {{{"SYSTem", false}, {"ERRor", false}, {"COUNt", false}}, query_use::query_only, scpi_command::error_count},
        {{{"SYSTem", false}, {"VERSion", false}}, query_use::query_only, scpi_command::version},
        {{{"INITiate", false}, {"IMMediate", true}}, query_use::set_only, scpi_command::initiate},
        {{{"ABORt", false}}, query_use::set_only, scpi_command::abort},
        {{{"STATus", false}, {"OPERation", false}, {"CONDition", false}}, query_use::query_only,
         scpi_command::operation_condition},
        {{{"SENSe", true}, {"THReshold", false}}, query_use::both, scpi_command::threshold},
        {{{"SENSe", true}, {"POLarity", false}}, query_use::both, scpi_command::polarity},
        {{{"SENSe", true}, {"PERiod", false}}, query_use::both, scpi_command::period},
        {{{"DATA", false}, {"POINts", false}}, query_use::query_only, scpi_command::data_points},
        {{{"DATA", false}, {"REMove", false}}, query_use::query_only, scpi_command::data_remove},
        {{{"FORMat", false}, {"DATA", true}}, query_use::both, scpi_command::format_data},
        {{{"FORMat", false}, {"BORDer", false}}, query_use::both, scpi_command::format_border},
        {{{"DIAGnostic", false}, {"INTerface", false}}, query_use::query_only, scpi_command::interface_test},
    };
    return all;
}

std::string upper(const std::string &s)
{
    std::string u = s;
    for (char &c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// A mnemonic as typed matches the pattern's short form or its long form,
// whole, in any case.
bool matches(const std::string &typed, const char *mnemonic)
{
    std::string short_form;
    for (const char *c = mnemonic; *c != '\0'; ++c)
        if (!std::islower(static_cast<unsigned char>(*c)))
            short_form += *c;
    const std::string t = upper(typed);
    return t == short_form || t == upper(mnemonic);
}

// Matches the typed nodes against pattern nodes from `at`, leaving out
// optional nodes as needed.
bool matches(const std::vector<std::string> &typed, std::size_t t, const std::vector<header_node> &nodes,
             std::size_t at)
{
    if (at == nodes.size())
        return t == typed.size();
    if (nodes[at].optional && matches(typed, t, nodes, at + 1))
        return true;
    return t < typed.size() && matches(typed[t], nodes[at].mnemonic) && matches(typed, t + 1, nodes, at + 1);
}

const command_pattern *find(const std::vector<std::string> &typed)
{
    for (const command_pattern &p : patterns())
        if (matches(typed, 0, p.nodes, 0))
            return &p;
    return nullptr;
}

std::string trim(const std::string &s)
{
    const std::size_t from = s.find_first_not_of(" \t\r");
    if (from == std::string::npos)
        return "";
    return s.substr(from, s.find_last_not_of(" \t\r") - from + 1);
}

bool mnemonic_character(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

} // namespace

std::vector<scpi_parsed> parse_scpi_line(const std::string &line)
{
    std::vector<scpi_parsed> commands;
    std::vector<std::string> path; // the header path the next command continues
    std::size_t at = 0;
    while (at <= line.size()) {
        std::size_t end = line.find(';', at);
        if (end == std::string::npos)
            end = line.size();
        const std::string text = trim(line.substr(at, end - at));
        at = end + 1;
        if (text.empty()) {
            // Nothing between two ';', or before the first, is a syntax
            // error; nothing after the last ends the line.
            if (end != line.size()) {
                scpi_parsed empty;
                empty.error = -102;
                commands.push_back(empty);
            }
            continue;
        }
        scpi_parsed c;
        c.text = text;
        const std::size_t header_end = text.find_first_of(" \t");
        std::string header = text.substr(0, header_end);
        const std::string rest = header_end == std::string::npos ? "" : trim(text.substr(header_end));
        if (!rest.empty()) {
            std::size_t from = 0;
            for (;;) {
                const std::size_t comma = rest.find(',', from);
                c.params.push_back(trim(rest.substr(from, comma == std::string::npos ? std::string::npos : comma - from)));
                if (comma == std::string::npos)
                    break;
                from = comma + 1;
            }
        }
        if (!header.empty() && header.back() == '?') {
            c.query = true;
            header.pop_back();
        }

        // The header's nodes, with the path it continues.
        const bool common = !header.empty() && header[0] == '*';
        const bool rooted = !header.empty() && header[0] == ':';
        std::vector<std::string> nodes = common || rooted ? std::vector<std::string>{} : path;
        bool well_formed = !header.empty();
        if (common) {
            well_formed = header.size() > 1;
            for (std::size_t i = 1; i < header.size(); ++i)
                well_formed = well_formed && std::isalpha(static_cast<unsigned char>(header[i]));
            nodes.push_back(header);
        } else {
            std::size_t from = rooted ? 1 : 0;
            for (;;) {
                const std::size_t colon = header.find(':', from);
                const std::string node = header.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
                well_formed = well_formed && !node.empty();
                for (char ch : node)
                    well_formed = well_formed && mnemonic_character(ch);
                nodes.push_back(node);
                if (colon == std::string::npos)
                    break;
                from = colon + 1;
            }
        }
        if (!well_formed) {
            c.error = -102;
            commands.push_back(c);
            continue;
        }
        const command_pattern *p = find(nodes);
        // A header that fits no command as continued fits none: the path
        // rule is SCPI's, and a client that meant the root writes ':'.
        if (p == nullptr || (c.query && p->use == query_use::set_only) ||
            (!c.query && p->use == query_use::query_only)) {
            c.error = -113;
        } else {
            c.command = p->command;
            if (!common)
                path.assign(nodes.begin(), nodes.end() - 1);
        }
        commands.push_back(c);
    }
    return commands;
}
