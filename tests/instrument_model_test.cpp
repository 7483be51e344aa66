// The Tango device's knowledge of its instrument, with no Tango: the look
// planned from the attribute table and its answer read, what changed, the
// states and what they allow, and text from the wire made safe.

#include <gtest/gtest.h>

#include "instrument_model.h"

namespace {

// An answer to the plan, each query answered as the server does.
std::string answer_to(const look_plan &plan, const std::string &threshold = "1000")
{
    std::string answer;
    for (std::size_t k = 0; k < plan.rows.size(); ++k) {
        const std::string query = attribute_table()[plan.rows[k].front()].query;
        const std::string a = query == "THR?"               ? threshold
                              : query == "POL?"             ? "9.91E37"
                              : query == "PER?"             ? "16"
                              : query == "STAT:OPER:COND?"  ? "16"
                              : query == "STAT:QUES:COND?"  ? "0"
                              : query == "DATA:LOST?"       ? "3,2"
                              : query == "DATA:JOUR?"       ? "\"ab12\",5,900"
                              : query == "*IDN?"            ? "counter-console,counting-instrument,0,1.0.0"
                              : query.rfind("DATA:REC?", 0) == 0 ? std::string("#18\x00\x00\x00\x07\xff\xff\xff\xfe", 11)
                              : query.rfind("DATA:HIST?", 0) == 0 ? "-3,4,2,0,3"
                                                                 : "7";
        answer += (k == 0 ? "" : ";") + a;
    }
    return answer + ";0,\"No error\"";
}

TEST(instrument_model, a_look_asks_each_query_once_and_reads_every_row_from_its_answer)
{
    const look_plan plan = plan_look(2, 3, true);
    EXPECT_NE(plan.message.find("DATA:REC? 2"), std::string::npos) << plan.message;
    EXPECT_NE(plan.message.find(";*IDN?"), std::string::npos) << "a common query after ';', never ';:'";
    EXPECT_EQ(plan.message.find("DATA:HIST? 3"), plan.message.rfind("DATA:HIST? 3")) << "asked once for three rows";
    EXPECT_EQ(plan.message.substr(plan.message.size() - 11), ";:SYST:ERR?");
    EXPECT_EQ(plan_look(2, 3, false).message.find("*IDN?"), std::string::npos) << "asked once a connection";

    instrument_view v;
    std::string why;
    ASSERT_TRUE(read_look(plan, answer_to(plan), v, why)) << why;
    EXPECT_EQ(v["Threshold"], attribute_value(std::int32_t{1000}));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v["Polarity"])) << "SCPI's NaN: not known";
    EXPECT_EQ(v["Run"], attribute_value(true));
    EXPECT_EQ(v["Gaps"], attribute_value(std::int64_t{2}));
    EXPECT_EQ(v["NextIndex"], attribute_value(std::int64_t{900}));
    EXPECT_EQ(v["JournalIdentity"], attribute_value(std::string("ab12")));
    EXPECT_EQ(v["RecentCounts"], attribute_value(std::vector<std::int32_t>{7, -2}));
    EXPECT_EQ(v["Histogram"], attribute_value(std::vector<std::int32_t>{2, 0, 3}));
    EXPECT_EQ(v["HistogramLeast"], attribute_value(std::int32_t{-3}));
    EXPECT_EQ(state_of(v), device_state::running);
    EXPECT_NE(status_of(v, "pi:5025", "", 1).find("; Polarity is not known"), std::string::npos);

    for (const std::string &bad : {std::string("1;2"), answer_to(plan, "x"), answer_to(plan) + ";1"}) {
        instrument_view w;
        EXPECT_FALSE(read_look(plan, bad, w, why)) << bad;
        EXPECT_FALSE(w.reachable);
    }
}

TEST(instrument_model, what_changed_is_pushed_and_the_states_allow_what_they_should)
{
    const look_plan plan = plan_look(2, 3, false);
    instrument_view before, after;
    std::string why;
    ASSERT_TRUE(read_look(plan, answer_to(plan), after, why));
    const std::vector<std::size_t> all = changed_rows(before, after);
    EXPECT_NE(std::find(all.begin(), all.end(), attribute_index("Run")), all.end()) << "all known, once reachable";
    before = after;
    EXPECT_TRUE(changed_rows(before, after).empty());
    ASSERT_TRUE(read_look(plan, answer_to(plan, "2000"), after, why));
    EXPECT_EQ(changed_rows(before, after), std::vector<std::size_t>{static_cast<std::size_t>(attribute_index("Threshold"))});

    EXPECT_EQ(refusal("Start", device_state::on), "");
    EXPECT_EQ(refusal("Start", device_state::running), "Start is not allowed in RUNNING");
    for (const char *action : {"Start", "Stop", "Reset", "IfcTest", "TakeCounts", "ReadCounts", "write"})
        EXPECT_NE(refusal(action, device_state::unknown), "") << action;
    EXPECT_NE(refusal("TakeCounts", device_state::disable), "") << "another holds the lock";
    instrument_view locked;
    locked.locked = true;
    EXPECT_EQ(state_of(locked), device_state::disable);

    const attribute_row &period = attribute_table()[static_cast<std::size_t>(attribute_index("Period"))];
    EXPECT_EQ(outside_range(period, 4095), "");
    EXPECT_EQ(outside_range(period, 0), "Period is 1 to 4095 (the instrument's range), not 0");
}

TEST(instrument_model, text_from_the_wire_is_valid_utf8_with_the_rest_escaped)
{
    EXPECT_EQ(valid_utf8("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac");
    EXPECT_EQ(valid_utf8("a\xff" "b\xc3"), "a\\xFFb\\xC3");
    EXPECT_EQ(valid_utf8("\xc0\xaf\xed\xa0\x80"), "\\xC0\\xAF\\xED\\xA0\\x80") << "overlong, a surrogate";
    EXPECT_EQ(valid_utf8("line\nbell\x07"), "line\\x0Abell\\x07");
}

} // namespace
