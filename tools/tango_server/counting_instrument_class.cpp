// The device class: its attributes (units, formats, ranges), its commands
// and their argument types, and the devices it makes.
#include "counting_instrument_class.h"

#include "counting_instrument.h"

namespace counting_instrument_ns {

namespace {

CountingInstrument &device(Tango::DeviceImpl *d) { return *static_cast<CountingInstrument *>(d); }

class attr : public Tango::Attr {
public:
    attr(const char *name, long type, Tango::AttrWriteType w) : Tango::Attr(name, type, w) {}
    void read(Tango::DeviceImpl *d, Tango::Attribute &att) override { device(d).read(get_name(), att); }
    void write(Tango::DeviceImpl *d, Tango::WAttribute &att) override { device(d).write(get_name(), att); }
    bool is_allowed(Tango::DeviceImpl *, Tango::AttReqType) override { return true; }
};

class spectrum : public Tango::SpectrumAttr {
public:
    spectrum(const char *name, long most) : Tango::SpectrumAttr(name, Tango::DEV_LONG, Tango::READ, most) {}
    void read(Tango::DeviceImpl *d, Tango::Attribute &att) override { device(d).read(get_name(), att); }
    bool is_allowed(Tango::DeviceImpl *, Tango::AttReqType) override { return true; }
};

class no_argument : public Tango::Command {
public:
    no_argument(const char *name, const char *what)
        : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID, "", what, Tango::OPERATOR)
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *d, const CORBA::Any &) override
    {
        device(d).run_command(get_name());
        return insert();
    }
    bool is_allowed(Tango::DeviceImpl *, const CORBA::Any &) override { return true; } // the device says why not
};

// A command of one DevLong, answered by the device's `run` with it.
template <typename Out, Out (CountingInstrument::*run)(Tango::DevLong)>
class long_argument : public Tango::Command {
public:
    long_argument(const char *name, Tango::CmdArgType out_type, const char *in, const char *out, Tango::DispLevel level)
        : Tango::Command(name, Tango::DEV_LONG, out_type, in, out, level)
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *d, const CORBA::Any &in) override
    {
        Tango::DevLong value = 0;
        extract(in, value);
        return insert((device(d).*run)(value));
    }
    bool is_allowed(Tango::DeviceImpl *, const CORBA::Any &) override { return true; }
};

void describe(Tango::Attr *a, const char *label, const char *unit, const char *format, const char *what,
              const char *min = nullptr, const char *max = nullptr)
{
    Tango::UserDefaultAttrProp p;
    p.set_label(label);
    p.set_unit(unit);
    p.set_format(format);
    p.set_description(what);
    if (min != nullptr) {
        p.set_min_value(min);
        p.set_max_value(max);
    }
    a->set_default_properties(p);
}

} // namespace

CountingInstrumentClass *CountingInstrumentClass::only_ = nullptr;

CountingInstrumentClass *CountingInstrumentClass::init(const char *name)
{
    if (only_ == nullptr)
        only_ = new CountingInstrumentClass(name);
    return only_;
}

void CountingInstrumentClass::command_factory()
{
    command_list.push_back(new no_argument("Reset", "resets the instrument; the words the server held are dropped"));
    command_list.push_back(new no_argument("Start", "starts a run"));
    command_list.push_back(new no_argument("Stop", "stops the run; what it measured is read out into the hold"));
    command_list.push_back(new long_argument<Tango::DevLong, &CountingInstrument::interface_test>(
        "IfcTest", Tango::DEV_LONG, "the value sent (its low 24 bits)", "the reply word", Tango::EXPERT));
    command_list.push_back(new long_argument<Tango::DevVarLongArray *, &CountingInstrument::take_counts>(
        "TakeCounts", Tango::DEVVAR_LONGARRAY, "the most words to take",
        "the words, oldest first, taken from the server's hold", Tango::OPERATOR));
}

void CountingInstrumentClass::attribute_factory(std::vector<Tango::Attr *> &list)
{
    auto add = [&list](Tango::Attr *a) {
        list.push_back(a);
        return a;
    };
    describe(add(new attr("Threshold", Tango::DEV_LONG, Tango::READ_WRITE)), "Threshold", "", "%4d",
             "the discriminator threshold, as the instrument reads it back", "0", "4095");
    describe(add(new attr("Polarity", Tango::DEV_LONG, Tango::READ_WRITE)), "Polarity", "", "%1d",
             "the input polarity", "0", "1");
    describe(add(new attr("Period", Tango::DEV_LONG, Tango::READ_WRITE)), "Period", "ticks", "%4d",
             "the counting period, in the instrument's ticks", "1", "4095");
    describe(add(new attr("Run", Tango::DEV_BOOLEAN, Tango::READ)), "Run", "", "%d", "a run is on");
    describe(add(new attr("DataSize", Tango::DEV_LONG, Tango::READ)), "Data size", "words", "%d",
             "words available: held by the server and by the instrument");
    describe(add(new attr("CountRate", Tango::DEV_DOUBLE, Tango::READ)), "Count rate", "counts/s", "%.1f",
             "counts read in the last second");
    describe(add(new attr("WordsTaken", Tango::DEV_LONG64, Tango::READ)), "Words taken", "words", "%d",
             "words TakeCounts has handed out since the device started");
    describe(add(new attr("WordsLost", Tango::DEV_LONG64, Tango::READ)), "Words lost", "words", "%d",
             "words the server lost for a full hold");
    describe(add(new attr("Identity", Tango::DEV_STRING, Tango::READ)), "Identity", "", "%s",
             "the instrument's *IDN? answer");
    describe(add(new spectrum("RecentCounts", 4095)), "Recent counts", "counts", "%d",
             "the latest counts read (none taken from the hold)");
    describe(add(new spectrum("Histogram", 1024)), "Histogram", "", "%d",
             "the latest counts kept by the server, in 64 bins from the least to the most");
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
