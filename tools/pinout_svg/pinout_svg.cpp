// pinout_svg: the wiring pictures of the bus, drawn from the program's own
// pin tables, so that picture and code cannot disagree.
//
//   pinout_svg              SVG of the 40-pin header with every line the
//                           program uses, and a table of its numbers
//   pinout_svg --markdown   the same table in Markdown, for the README
//   pinout_svg --plug       SVG of the loopback plug's jumpers on the header,
//                           for the wiring self-test

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus_pins.h"
#include "pi_header.h"
#include "program_options.h"
#include "program_start.h"

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
        lines.push_back({bus_pins::data_out[j], "data-out " + std::to_string(j), true});
    lines.push_back({bus_pins::strobe, "strobe", true});
    lines.push_back({bus_pins::select, "select (active low)", true});
    for (int j = 0; j < 8; ++j)
        lines.push_back({bus_pins::data_in[j], "data-in " + std::to_string(j), false});
    for (const bus_pins::aux_line &a : bus_pins::aux)
        lines.push_back({a.pin, "auxiliary", a.output});
    return lines;
}

// The interfaces Raspberry Pi OS can give these pins to (when enabled, a
// driver and the bus fight over the line).
const char *interface_on(int bcm)
{
    switch (bcm) {
    case 2: return "I2C1 SDA";
    case 3: return "I2C1 SCL";
    case 7: return "SPI0 CE1";
    case 8: return "SPI0 CE0";
    case 9: return "SPI0 MISO";
    case 10: return "SPI0 MOSI";
    case 11: return "SPI0 SCLK";
    case 14: return "UART TXD (serial console)";
    case 15: return "UART RXD (serial console)";
    default: return nullptr;
    }
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

const char *supply_class(const header_pin &p)
{
    return std::strcmp(p.supply, "GND") == 0 ? "gnd" : std::strcmp(p.supply, "5V") == 0 ? "v5" : "v33";
}

int write_markdown(const std::vector<line_use> &lines)
{
    std::puts("| wiringPi | Broadcom GPIO | header pin | role | direction | Pi OS interface on the pin |");
    std::puts("|---|---|---|---|---|---|");
    for (const line_use &l : lines) {
        const header_pin *p = header_pin_of(l.wiringpi);
        if (p == nullptr)
            return 1;
        const char *shared = interface_on(p->bcm);
        std::printf("| %d | %d | %d | %s | %s | %s |\n", l.wiringpi, p->bcm, p->physical, l.role.c_str(),
                    l.output ? "output" : "input", shared == nullptr ? "" : shared);
    }
    return 0;
}

// Geometry shared by both pictures: the header as two columns of 20 pins.
struct header_layout {
    int x;     // left edge of the header
    int top;   // centre of pins 1 and 2
    int row = 22;
    int label_gap; // from the pin column to the labels
    int pin_x(int physical) const { return x + (physical % 2 == 1 ? 14 : 38); }
    int pin_y(int physical) const { return top + (physical - 1) / 2 * row; }
};

const char *style =
    "<style>text{font-family:sans-serif;font-size:12px}.num{font-family:monospace;paint-order:stroke;stroke:white;"
    "stroke-width:4px}"
    ".out{fill:#c64600}.in{fill:#1a5fb4}.unused{fill:#bbb}.v33{fill:#e5a50a}.v5{fill:#c01c28}.gnd{fill:#000}"
    ".note{fill:#555}.title{font-size:15px;font-weight:bold}.head{font-weight:bold}"
    ".jumper{fill:none;stroke-width:3;stroke-opacity:0.85;stroke-linejoin:round}</style>\n";

void open_svg(int width, int height, const char *title, const char *legend)
{
    std::printf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n%s"
                "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
                "<text class=\"title\" x=\"16\" y=\"24\">%s</text>\n<text x=\"16\" y=\"42\">%s</text>\n",
                width, height, width, height, style, title, legend);
}

// The header's pins, each with its class and label (an empty label: none).
struct pin_look {
    const char *cls;
    std::string label;
    const char *colour = nullptr; // overrides the class's
};

template <typename look_of>
void draw_header(const header_layout &h, look_of look)
{
    std::printf("<rect x=\"%d\" y=\"%d\" width=\"52\" height=\"%d\" rx=\"4\" fill=\"#2b2b2b\"/>\n", h.x, h.top - 12,
                20 * h.row + 4);
    for (const header_pin &p : pi_header) {
        const bool left = p.physical % 2 == 1;
        const int y = h.pin_y(p.physical);
        const pin_look l = look(p);
        const std::string fill = l.colour == nullptr ? "" : std::string(" fill=\"") + l.colour + "\"";
        std::printf("<circle class=\"%s\"%s cx=\"%d\" cy=\"%d\" r=\"7\"/>\n", l.cls, fill.c_str(),
                    h.pin_x(p.physical), y);
        std::printf("<text class=\"num\" x=\"%d\" y=\"%d\" text-anchor=\"%s\">%d</text>\n",
                    left ? h.x - 6 : h.x + 58, y + 4, left ? "end" : "start", p.physical);
        if (!l.label.empty())
            std::printf("<text class=\"%s\"%s x=\"%d\" y=\"%d\" text-anchor=\"%s\">%s</text>\n", l.cls,
                        fill.c_str(), left ? h.x - h.label_gap : h.x + 52 + h.label_gap, y + 4,
                        left ? "end" : "start", l.label.c_str());
    }
}

std::string numbers(const header_pin &p)
{
    return std::to_string(p.wiringpi) + " / GPIO" + std::to_string(p.bcm);
}

int write_svg(const std::vector<line_use> &lines)
{
    const header_layout h{400, 76, 22, 30};
    const int table_top = h.top + 20 * h.row + 60;
    const int width = 940, height = table_top + (static_cast<int>(lines.size()) + 1) * 18 + 20;
    open_svg(width, height, "Raspberry Pi 40-pin header: the instrument bus (3.3 V logic only)",
             "pin 1 at the top left; <tspan class=\"out\">&#9632; output from the Pi</tspan>  "
             "<tspan class=\"in\">&#9632; input to the Pi</tspan>  <tspan class=\"unused\">&#9632; not used</tspan>  "
             "<tspan class=\"v33\">&#9632; 3.3 V</tspan>  <tspan class=\"v5\">&#9632; 5 V: never on a bus line</tspan>  "
             "<tspan class=\"gnd\">&#9632; ground</tspan>; labels: role (wiringPi / GPIO)");
    std::printf("<text class=\"note\" x=\"16\" y=\"58\">Wire the instrument's ground to a ground pin: 39, 34 or 30 "
                "lie beside the bus lines. [I2C], [SPI] and [UART]: turn that interface off in Raspberry Pi "
                "OS.</text>\n");
    draw_header(h, [&](const header_pin &p) {
        if (p.supply != nullptr)
            return pin_look{supply_class(p), p.supply};
        const line_use *use = use_of(lines, p);
        const char *shared = interface_on(p.bcm);
        std::string tag;
        if (use != nullptr && shared != nullptr)
            tag = shared[0] == 'I' ? " [I2C]" : shared[0] == 'S' ? " [SPI]" : " [UART]";
        if (use == nullptr)
            return pin_look{"unused", "(" + numbers(p) + ")"};
        return pin_look{use->output ? "out" : "in", use->role + " (" + numbers(p) + ")" + tag};
    });

    const int columns[] = {16, 106, 226, 316, 496, 586};
    const char *heads[] = {"wiringPi", "Broadcom GPIO", "header pin", "role", "direction", "Pi OS interface"};
    for (int c = 0; c < 6; ++c)
        std::printf("<text class=\"head\" x=\"%d\" y=\"%d\">%s</text>\n", columns[c], table_top, heads[c]);
    int y = table_top;
    for (const line_use &l : lines) {
        y += 18;
        const header_pin *p = header_pin_of(l.wiringpi);
        if (p == nullptr)
            return 1;
        const char *cls = l.output ? "out" : "in";
        const char *shared = interface_on(p->bcm);
        std::printf("<text class=\"num\" x=\"%d\" y=\"%d\">%d</text><text class=\"num\" x=\"%d\" y=\"%d\">%d</text>"
                    "<text class=\"num\" x=\"%d\" y=\"%d\">%d</text><text x=\"%d\" y=\"%d\">%s</text>"
                    "<text class=\"%s\" x=\"%d\" y=\"%d\">%s</text><text x=\"%d\" y=\"%d\">%s</text>\n",
                    columns[0], y, l.wiringpi, columns[1], y, p->bcm, columns[2], y, p->physical, columns[3], y,
                    l.role.c_str(), cls, columns[4], y, l.output ? "output" : "input", columns[5], y,
                    shared == nullptr ? "" : shared);
    }
    std::puts("</svg>");
    return 0;
}

// The loopback plug: one jumper per bus output, to the input that reads it back.
struct plug_jumper {
    std::string name;
    int from; // wiringPi
    int to;
    std::string from_role;
    std::string to_role;
};

std::vector<plug_jumper> plug_jumpers()
{
    std::vector<plug_jumper> jumpers;
    for (int j = 0; j < 8; ++j)
        jumpers.push_back({"D" + std::to_string(j), bus_pins::data_out[j], bus_pins::data_in[j], "data-out " + std::to_string(j),
                           "data-in " + std::to_string(j)});
    jumpers.push_back({"STB", bus_pins::strobe, bus_pins::strobe_return, "strobe", "strobe return"});
    jumpers.push_back({"SEL", bus_pins::select, bus_pins::select_return, "select", "select return"});
    return jumpers;
}

// The jumpers, routed so that each can be followed by eye: a jumper whose
// ends are on one side of the header runs in a lane of its own on that
// side; one from side to side runs down its first side, under the header
// and up the other. Shorter runs take the inner lanes, so the paths nest
// and cross only at right angles, and never over a pin.
bool draw_jumpers(const header_layout &h, const std::vector<plug_jumper> &jumpers, const char *const *colours)
{
    struct run {
        std::size_t jumper;
        const header_pin *a, *b;
        bool crosses;
        int length; // vertical extent, in pixels
    };
    std::vector<run> runs;
    const int bottom = h.pin_y(39) + 16;
    for (std::size_t i = 0; i < jumpers.size(); ++i) {
        const header_pin *a = header_pin_of(jumpers[i].from);
        const header_pin *b = header_pin_of(jumpers[i].to);
        if (a == nullptr || b == nullptr)
            return false;
        if (a->physical % 2 == 0 && b->physical % 2 == 1)
            std::swap(a, b); // a cross run starts on the left
        const bool crosses = a->physical % 2 != b->physical % 2;
        const int length = crosses ? 2 * bottom - h.pin_y(a->physical) - h.pin_y(b->physical)
                                   : std::abs(h.pin_y(a->physical) - h.pin_y(b->physical));
        runs.push_back({i, a, b, crosses, length});
    }
    std::stable_sort(runs.begin(), runs.end(), [](const run &p, const run &q) {
        return p.crosses != q.crosses ? !p.crosses : p.length < q.length;
    });
    constexpr int lane_step = 8;
    int left_lanes = 0, right_lanes = 0, under = 0;
    for (const run &r : runs) {
        const int ay = h.pin_y(r.a->physical), by = h.pin_y(r.b->physical);
        // Outside the pin numbers beside the header.
        const int left_x = h.x - 30 - lane_step * left_lanes;
        const int right_x = h.x + 88 + lane_step * right_lanes;
        std::printf("<path class=\"jumper\" stroke=\"%s\" d=\"", colours[r.jumper]);
        if (r.crosses) {
            const int y = bottom + lane_step * under++;
            std::printf("M%d,%d H%d V%d H%d V%d H%d", h.pin_x(r.a->physical), ay, left_x, y, right_x, by,
                        h.pin_x(r.b->physical));
            ++left_lanes;
            ++right_lanes;
        } else {
            const bool left = r.a->physical % 2 == 1;
            const int x = left ? left_x : right_x;
            std::printf("M%d,%d H%d V%d H%d", h.pin_x(r.a->physical), ay, x, by, h.pin_x(r.b->physical));
            ++(left ? left_lanes : right_lanes);
        }
        std::printf("\"/>\n");
    }
    return true;
}

int write_plug_svg()
{
    const std::vector<plug_jumper> jumpers = plug_jumpers();
    const char *colours[] = {"#c01c28", "#e66100", "#c88800", "#26a269", "#1a5fb4",
                             "#613583", "#865e3c", "#0b7f8c", "#d6336c", "#3d3846"};
    const header_layout h{360, 76, 22, 120};
    const int table_top = h.top + 20 * h.row + 50;
    const int width = 820, height = table_top + (static_cast<int>(jumpers.size()) + 1) * 18 + 20;
    open_svg(width, height, "The loopback plug for bus_check: ten jumpers on the Pi's header",
             "instrument unplugged; each jumper joins a bus output to the input that reads it back; pin 1 at the "
             "top left");
    std::printf("<text class=\"note\" x=\"16\" y=\"58\">On the instrument's end of the cable, jumper the same "
                "signals; bus_check needs no instrument and no power beyond the Pi's.</text>\n");

    auto jumper_of = [&](const header_pin &p) -> int {
        for (std::size_t i = 0; i < jumpers.size(); ++i)
            if (p.supply == nullptr && (jumpers[i].from == p.wiringpi || jumpers[i].to == p.wiringpi))
                return static_cast<int>(i);
        return -1;
    };
    // Under the header: each jumper seems to leave its pin at the header's edge.
    if (!draw_jumpers(h, jumpers, colours))
        return 1;
    draw_header(h, [&](const header_pin &p) {
        if (p.supply != nullptr)
            return pin_look{supply_class(p), ""};
        const int i = jumper_of(p);
        if (i < 0)
            return pin_look{"unused", ""};
        const plug_jumper &j = jumpers[static_cast<std::size_t>(i)];
        return pin_look{"in", j.name + " " + (j.from == p.wiringpi ? j.from_role : j.to_role),
                        colours[static_cast<std::size_t>(i)]};
    });
    const int columns[] = {16, 76, 236, 456};
    const char *heads[] = {"jumper", "from (header pin)", "to (header pin)", "wiringPi / Broadcom GPIO"};
    for (int c = 0; c < 4; ++c)
        std::printf("<text class=\"head\" x=\"%d\" y=\"%d\">%s</text>\n", columns[c], table_top, heads[c]);
    int y = table_top;
    for (std::size_t i = 0; i < jumpers.size(); ++i) {
        const plug_jumper &j = jumpers[i];
        const header_pin *a = header_pin_of(j.from);
        const header_pin *b = header_pin_of(j.to);
        y += 18;
        std::printf("<text x=\"%d\" y=\"%d\" fill=\"%s\">%s</text><text x=\"%d\" y=\"%d\">%s (%d)</text>"
                    "<text x=\"%d\" y=\"%d\">%s (%d)</text><text class=\"num\" x=\"%d\" y=\"%d\">%s -&gt; %s</text>\n",
                    columns[0], y, colours[i], j.name.c_str(), columns[1], y, j.from_role.c_str(), a->physical,
                    columns[2], y, j.to_role.c_str(), b->physical, columns[3], y, numbers(*a).c_str(),
                    numbers(*b).c_str());
    }
    std::puts("</svg>");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    const char *program = program_name(argv[0]);
    const char usage[] = "usage: pinout_svg [--markdown | --plug]\n";
    enum { markdown_option = 256, plug_option, version_option };
    static const option long_options[] = {{"markdown", no_argument, nullptr, markdown_option},
                                          {"plug", no_argument, nullptr, plug_option},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, version_option},
                                          {nullptr, 0, nullptr, 0}};
    std::vector<char *> args(argv, argv + argc);
    std::string error;
    int chosen = 0;
    optind = 0;
    for (int c; (c = next_option(args, "h", long_options, error)) != -1;) {
        if (c == 'h')
            return print_text(program, std::string("Usage: ") + program +
                                           " [--markdown | --plug]\n"
                                           "Draw the bus on the Pi's 40-pin header from the program's own pin tables:\n"
                                           "an SVG picture with a table of the numbers; with --markdown the table for\n"
                                           "the README; with --plug the loopback plug's jumpers.\n");
        if (c == version_option) // a picture of the header needs no GPIO platform to name
            return print_text(program, std::string(program) + " " + program_version() + "\n");
        if (c == '?')
            return usage_error(stderr, program, error, usage);
        if (chosen != 0)
            return usage_error(stderr, program, "--markdown and --plug go alone", usage);
        chosen = c;
    }
    if (optind < argc)
        return usage_error(stderr, program, std::string("unexpected '") + argv[optind] + "'", usage);
    const std::vector<line_use> lines = program_lines();
    if (chosen == markdown_option)
        return write_markdown(lines);
    if (chosen == plug_option)
        return write_plug_svg();
    return write_svg(lines);
}
