// The device class: its attributes, from attribute_table() (units, formats,
// ranges, events), its commands from the table below, its properties as
// device_properties() declares them, and the devices it makes.
#include "counting_instrument_class.h"

#include "counting_instrument.h"

namespace counting_instrument_ns {

namespace {

CountingInstrument &device(Tango::DeviceImpl *d) { return *static_cast<CountingInstrument *>(d); }

long tango_type(value_kind k)
{
    switch (k) {
    case value_kind::boolean: return Tango::DEV_BOOLEAN;
    case value_kind::long32: return Tango::DEV_LONG;
    case value_kind::long64: return Tango::DEV_LONG64;
    case value_kind::real: return Tango::DEV_DOUBLE;
    case value_kind::text: return Tango::DEV_STRING;
    case value_kind::longs: return Tango::DEV_LONG;
    }
    return Tango::DEV_LONG;
}

// An attribute of the table: reads and writes go to its row; writing is
// allowed in the states refusal() allows it in, and it says why not.
template <typename Base> class table_attribute : public Base {
public:
    template <typename... Args>
    table_attribute(std::size_t row, Args... args) : Base(attribute_table()[row].name, args...), row_(row)
    {
    }
    void read(Tango::DeviceImpl *d, Tango::Attribute &att) override { device(d).read_attribute(row_, att); }
    void write(Tango::DeviceImpl *d, Tango::WAttribute &att) override { device(d).write_attribute(row_, att); }
    bool is_allowed(Tango::DeviceImpl *d, Tango::AttReqType type) override
    {
        if (type == Tango::WRITE_REQ)
            device(d).require("write", true);
        return true; // a value not known reads as INVALID
    }

private:
    std::size_t row_;
};

using handler = CORBA::Any *(CountingInstrument::*)(const CORBA::Any &);

struct command_spec {
    const char *name;
    Tango::CmdArgType in, out;
    const char *in_description, *out_description;
    Tango::DispLevel level;
    handler run;
};

// The commands, one row each; what each state allows is refusal()'s.
const command_spec commands[] = {
    {"Reset", Tango::DEV_VOID, Tango::DEV_VOID, "", "resets the instrument; the words the server held are dropped",
     Tango::OPERATOR, &CountingInstrument::reset},
    {"Start", Tango::DEV_VOID, Tango::DEV_VOID, "", "starts a run", Tango::OPERATOR, &CountingInstrument::start},
    {"Stop", Tango::DEV_VOID, Tango::DEV_VOID, "", "stops the run; what it measured is read out", Tango::OPERATOR,
     &CountingInstrument::stop},
    {"IfcTest", Tango::DEV_LONG, Tango::DEV_LONG, "the value sent (its low 24 bits)",
     "the reply word, signed (0xaa000055 reads -1442840491)", Tango::EXPERT, &CountingInstrument::interface_test},
    {"TakeCounts", Tango::DEV_LONG, Tango::DEVVAR_LONGARRAY, "the most words to take",
     "the words, oldest first, taken from the server's hold (for one taker)", Tango::OPERATOR,
     &CountingInstrument::take_counts},
    {"ReadCounts", Tango::DEVVAR_LONG64ARRAY, Tango::DEVVAR_LONGSTRINGARRAY,
     "[start, most]: the journal's index to read from, and the most words",
     "the words as longs; as strings the journal's identity, the index they start at, the words missed before it "
     "and the next index (nothing taken: for many readers)",
     Tango::OPERATOR, &CountingInstrument::read_counts},
};

class table_command : public Tango::Command {
public:
    explicit table_command(const command_spec &c)
        : Tango::Command(c.name, c.in, c.out, c.in_description, c.out_description, c.level), run_(c.run), name_(c.name)
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *d, const CORBA::Any &in) override { return (device(d).*run_)(in); }
    bool is_allowed(Tango::DeviceImpl *d, const CORBA::Any &) override
    {
        device(d).require(name_); // refused with API_CommandNotAllowed, and why
        return true;
    }

private:
    handler run_;
    std::string name_;
};

void describe(Tango::Attr *a, const attribute_row &r)
{
    Tango::UserDefaultAttrProp p;
    p.set_label(r.label);
    p.set_unit(r.unit);
    p.set_format(r.format);
    p.set_description(r.description);
    if (r.min != nullptr) {
        p.set_min_value(r.min);
        p.set_max_value(r.max);
    }
    a->set_default_properties(p);
}

} // namespace

CountingInstrumentClass *CountingInstrumentClass::only_ = nullptr;

CountingInstrumentClass::CountingInstrumentClass(std::string name) : Tango::DeviceClass(name)
{
    for (const property_row &p : device_properties()) {
        std::string n = p.name, description = p.description, value = p.default_value;
        if (value.empty())
            add_wiz_dev_prop(n, description);
        else
            add_wiz_dev_prop(n, description, value);
    }
}

CountingInstrumentClass *CountingInstrumentClass::init(const char *name)
{
    if (only_ == nullptr)
        only_ = new CountingInstrumentClass(name);
    return only_;
}

void CountingInstrumentClass::command_factory()
{
    for (const command_spec &c : commands)
        command_list.push_back(new table_command(c));
}

void CountingInstrumentClass::attribute_factory(std::vector<Tango::Attr *> &list)
{
    for (std::size_t row = 0; row < attribute_table().size(); ++row) {
        const attribute_row &r = attribute_table()[row];
        Tango::Attr *a = nullptr;
        if (r.kind == value_kind::longs)
            a = new table_attribute<Tango::SpectrumAttr>(row, Tango::DEV_LONG, Tango::READ, r.most);
        else
            a = new table_attribute<Tango::Attr>(row, tango_type(r.kind), r.write != nullptr ? Tango::READ_WRITE
                                                                                               : Tango::READ);
        describe(a, r);
        list.push_back(a);
    }
}

void CountingInstrumentClass::device_factory(const Tango::DevVarStringArray *names)
{
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
        CountingInstrument *d = new CountingInstrument(this, (*names)[i]);
        device_list.push_back(d);
        // Without a database (-nodb), a device is found by its own name.
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(d);
        else
            export_device(d, d->get_name().c_str());
    }
}

} // namespace counting_instrument_ns
