// A powered-on virtual instrument with the bus set up and recording, for
// tests that drive the link and watch the wire. Unless a test says it
// expects them, protocol violations fail it.
#pragma once

#include <gtest/gtest.h>

#include "bus_monitor.h"
#include "instrument.h"
#include "pin_bank.h"
#include "spi.h"
#include "violations.h"
#include "wiring.h"

class bus_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::set_reporting(false);
        sim::power_on();
        setup_io();
        sim::record_events(true);
        sim::clear_events();
    }

    void TearDown() override
    {
        sim::record_events(false);
        if (!violations_expected_) {
            for (const sim::violation &v : sim::violations())
                ADD_FAILURE() << "protocol violation: " << sim::to_string(v.kind) << " " << v.detail;
        }
    }

    bus_trace trace() const { return decode_bus(sim::events()); }
    void expect_violations() { violations_expected_ = true; }

private:
    bool violations_expected_ = false;
};
