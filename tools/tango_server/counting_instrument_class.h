#pragma once

#include <tango.h>

namespace counting_instrument_ns {

class CountingInstrumentClass : public Tango::DeviceClass {
public:
    static CountingInstrumentClass *init(const char *name);
    // A server restart deletes the class and makes it again.
    ~CountingInstrumentClass() override { only_ = nullptr; }

protected:
    explicit CountingInstrumentClass(std::string name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr *> &list) override;
    void device_factory(const Tango::DevVarStringArray *names) override;

private:
    static CountingInstrumentClass *only_;
};

} // namespace counting_instrument_ns
