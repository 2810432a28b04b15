// Journal entries: every argument kind, exactly as the Python helper parses them.
#include <cmath>
#include <limits>

#include "standin_test.h"

namespace {

struct Row {
    const char *what;
    std::function<void()> call;
    const char *entry;
};

void cb(const char *, void *, int) {}

const std::vector<Row> &rows() {
    static void *res;
    static int res_len;
    static char *addr;
    static const std::vector<Row> r = {
        {"text", [] { vyi_set_token("abc"); },
         R"({"fn": "vyi_set_token", "args": [{"k": "text", "null": false, "hex": "616263"}]})"},
        {"null text", [] { vyi_set_token(nullptr); },
         R"({"fn": "vyi_set_token", "args": [{"k": "text", "null": true, "hex": ""}]})"},
        {"no args", [] { vyi_init(); }, R"({"fn": "vyi_init", "args": []})"},
        {"int", [] { vyi_set_mode(-5); }, R"({"fn": "vyi_set_mode", "args": [{"k": "int", "v": -5}]})"},
        {"bool", [] { vyi_subscribe("", "1d", true); },
         R"({"fn": "vyi_subscribe", "args": [{"k": "text", "null": false, "hex": ""}, )"
         R"({"k": "text", "null": false, "hex": "3164"}, {"k": "bool", "v": true}]})"},
        {"doubles", [] {
             const double inf = std::numeric_limits<double>::infinity();
             vyi_set_backtest_config("s", nullptr, 0.1, std::nan(""), inf, -inf, -2.5, 0, 1e300, 1, 2, 3);
         },
         R"({"fn": "vyi_set_backtest_config", "args": [{"k": "text", "null": false, "hex": "73"}, )"
         R"({"k": "text", "null": true, "hex": ""}, {"k": "double", "v": 0.10000000000000001}, )"
         R"({"k": "double", "v": "nan"}, {"k": "double", "v": "inf"}, {"k": "double", "v": "-inf"}, )"
         R"({"k": "double", "v": -2.5}, {"k": "double", "v": 0}, {"k": "double", "v": 1.0000000000000001e+300}, )"
         R"({"k": "int", "v": 1}, {"k": "int", "v": 2}, {"k": "int", "v": 3}]})"},
        {"req with NULs", [] { vyi_get_orders_pb(const_cast<char *>("a\0\xff"), 3, &res, &res_len); },
         R"({"fn": "vyi_get_orders_pb", "args": [{"k": "req", "null": false, "len": 3, "hex": "6100ff"}, )"
         R"({"k": "out", "null": false}, {"k": "out", "null": false}]})"},
        {"null req, null outs", [] { vyi_get_orders_pb(nullptr, 4, nullptr, nullptr); },
         R"({"fn": "vyi_get_orders_pb", "args": [{"k": "req", "null": true, "len": 4, "hex": ""}, )"
         R"({"k": "out", "null": true}, {"k": "out", "null": true}]})"},
        {"negative req len", [] { vyi_log_pb(const_cast<char *>("x"), -1); },
         R"({"fn": "vyi_log_pb", "args": [{"k": "req", "null": false, "len": -1, "hex": ""}]})"},
        {"req among others", [] { vyi_algo_order_batch_pb(const_cast<char *>("r"), 1, "n", "p", &res, &res_len); },
         R"({"fn": "vyi_algo_order_batch_pb", "args": [{"k": "req", "null": false, "len": 1, "hex": "72"}, )"
         R"({"k": "text", "null": false, "hex": "6e"}, {"k": "text", "null": false, "hex": "70"}, )"
         R"({"k": "out", "null": false}, {"k": "out", "null": false}]})"},
        {"char** out", [] { vyi_get_serv_addr("id", &addr); },
         R"({"fn": "vyi_get_serv_addr", "args": [{"k": "text", "null": false, "hex": "6964"}, )"
         R"({"k": "out", "null": false}]})"},
        {"callback", [] { vyi_set_event_callback_pb(cb); },
         R"({"fn": "vyi_set_event_callback_pb", "args": [{"k": "callback", "null": false}]})"},
        {"null callback", [] { vyi_set_event_callback_pb(nullptr); },
         R"({"fn": "vyi_set_event_callback_pb", "args": [{"k": "callback", "null": true}]})"},
    };
    return r;
}

}  // namespace

TEST_F(StandIn, JournalEncodesEachArgumentKind) {
    for (const Row &row : rows()) {
        vys_journal_clear();
        row.call();
        ASSERT_EQ(vys_journal_count(), 1) << row.what;
        EXPECT_STREQ(vys_journal_entry(0), row.entry) << row.what;
    }
}

TEST_F(StandIn, JournalKeepsCallOrderAndClears) {
    vyi_init();
    vys_set_status("vyi_poll", 3);  // control calls are not journaled
    vyi_poll();
    EXPECT_EQ(journal(), (std::vector<std::string>{R"({"fn": "vyi_init", "args": []})",
                                                   R"({"fn": "vyi_poll", "args": []})"}));
    EXPECT_EQ(vys_journal_entry(2), nullptr);
    EXPECT_EQ(vys_journal_entry(-1), nullptr);
    vys_journal_clear();
    EXPECT_EQ(vys_journal_count(), 0);
    vys_set_journaling(0);
    vyi_init();
    EXPECT_EQ(vys_journal_count(), 0);
    vys_reset();  // turns journaling back on
    vyi_init();
    EXPECT_EQ(vys_journal_count(), 1);
}
