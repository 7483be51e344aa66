// pinout_svg: the wiring picture of the bus, drawn from the program's own pin
// tables, so that picture and code cannot disagree.
//
//   pinout_svg              SVG of the 40-pin header with every line the
//                           program uses, and a table of its numbers
//   pinout_svg --markdown   the same table in Markdown, for the README

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../src/gpio_platform.h"
#include "../src/spi.h"
#include "../src/pi_header.h"

namespace {

struct line_use {
    int wiringpi;
    std::string role;
    bool output;
};

// Every line the program uses, from the link's tables, in table order.
std::vector<line_use> program_lines()
{
    std::vector<line_use> lines;
    for (int j = 0; j < 8; ++j)
        lines.push_back({gpio_out[j], "data-out " + std::to_string(j), true});
    lines.push_back({gpio_out[gpio_strobe_entry], "strobe", true});
    lines.push_back({gpio_out[gpio_select_entry], "select (active low)", true});
    for (int j = 0; j < 8; ++j)
        lines.push_back({gpio_in[j], "data-in " + std::to_string(j), false});
    for (const aux_line &a : gpio_aux)
        lines.push_back({a.pin, "auxiliary", a.mode == gpio_mode_output});
    return lines;
}

const header_pin *header_pin_of(int wiringpi)
{
    for (const header_pin &p : pi_header)
        if (p.wiringpi == wiringpi)
            return &p;
    return nullptr;
}

const line_use *use_of(const std::vector<line_use> &lines, const header_pin &p)
{
    for (const line_use &l : lines)
        if (p.supply == nullptr && l.wiringpi == p.wiringpi)
            return &l;
    return nullptr;
}

int write_markdown(const std::vector<line_use> &lines)
{
    std::puts("| wiringPi | Broadcom GPIO | header pin | role | direction |");
    std::puts("|---|---|---|---|---|");
    for (const line_use &l : lines) {
        const header_pin *p = header_pin_of(l.wiringpi);
        if (p == nullptr)
            return 1;
        std::printf("| %d | %d | %d | %s | %s |\n", l.wiringpi, p->bcm, p->physical, l.role.c_str(),
                    l.output ? "output" : "input");
    }
    return 0;
}

int write_svg(const std::vector<line_use> &lines)
{
    const int row = 22, top = 56, header_x = 330, table_top = top + 20 * row + 40;
    const int table_rows = static_cast<int>(lines.size()) + 1;
    const int width = 820, height = table_top + table_rows * 18 + 20;
    std::printf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n"
                "<style>text{font-family:sans-serif;font-size:12px}.num{font-family:monospace}"
                ".out{fill:#c64600}.in{fill:#1a5fb4}.unused{fill:#bbb}.power{fill:#555}"
                ".title{font-size:15px;font-weight:bold}.head{font-weight:bold}</style>\n"
                "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
                "<text class=\"title\" x=\"16\" y=\"24\">Raspberry Pi 40-pin header: the instrument bus</text>\n"
                "<text x=\"16\" y=\"42\">pin 1 at the top left; "
                "<tspan class=\"out\">&#9632; output from the Pi</tspan>  "
                "<tspan class=\"in\">&#9632; input to the Pi</tspan>  "
                "<tspan class=\"unused\">&#9632; not used</tspan>  "
                "<tspan class=\"power\">&#9632; supply</tspan>; labels: role (wiringPi / GPIO)</text>\n"
                "<rect x=\"%d\" y=\"%d\" width=\"52\" height=\"%d\" rx=\"4\" fill=\"#2b2b2b\"/>\n",
                width, height, width, height, header_x, top - 12, 20 * row + 4);
    for (const header_pin &p : pi_header) {
        const bool left = p.physical % 2 == 1;
        const int y = top + (p.physical - 1) / 2 * row;
        const int cx = header_x + (left ? 14 : 38);
        const line_use *use = use_of(lines, p);
        const char *cls = p.supply != nullptr ? "power" : use == nullptr ? "unused" : use->output ? "out" : "in";
        std::printf("<circle class=\"%s\" cx=\"%d\" cy=\"%d\" r=\"7\"/>\n", cls, cx, y);
        std::printf("<text class=\"num\" x=\"%d\" y=\"%d\" text-anchor=\"%s\">%d</text>\n", left ? header_x - 6 : header_x + 58,
                    y + 4, left ? "end" : "start", p.physical);
        std::string label;
        if (p.supply != nullptr)
            label = p.supply;
        else if (use != nullptr)
            label = use->role + " (" + std::to_string(p.wiringpi) + " / GPIO" + std::to_string(p.bcm) + ")";
        else
            label = "(" + std::to_string(p.wiringpi) + " / GPIO" + std::to_string(p.bcm) + ")";
        std::printf("<text class=\"%s\" x=\"%d\" y=\"%d\" text-anchor=\"%s\">%s</text>\n", cls,
                    left ? header_x - 30 : header_x + 82, y + 4, left ? "end" : "start", label.c_str());
    }

    const int columns[] = {16, 106, 226, 316, 496};
    const char *heads[] = {"wiringPi", "Broadcom GPIO", "header pin", "role", "direction"};
    for (int c = 0; c < 5; ++c)
        std::printf("<text class=\"head\" x=\"%d\" y=\"%d\">%s</text>\n", columns[c], table_top, heads[c]);
    int y = table_top;
    for (const line_use &l : lines) {
        y += 18;
        const header_pin *p = header_pin_of(l.wiringpi);
        if (p == nullptr)
            return 1;
        const char *cls = l.output ? "out" : "in";
        std::printf("<text class=\"num\" x=\"%d\" y=\"%d\">%d</text><text class=\"num\" x=\"%d\" y=\"%d\">%d</text>"
                    "<text class=\"num\" x=\"%d\" y=\"%d\">%d</text><text x=\"%d\" y=\"%d\">%s</text>"
                    "<text class=\"%s\" x=\"%d\" y=\"%d\">%s</text>\n",
                    columns[0], y, l.wiringpi, columns[1], y, p->bcm, columns[2], y, p->physical, columns[3], y,
                    l.role.c_str(), cls, columns[4], y, l.output ? "output" : "input");
    }
    std::puts("</svg>");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<line_use> lines = program_lines();
    if (argc == 2 && std::strcmp(argv[1], "--markdown") == 0)
        return write_markdown(lines);
    if (argc != 1) {
        std::fputs("usage: pinout_svg [--markdown]\n", stderr);
        return 2;
    }
    return write_svg(lines);
}
