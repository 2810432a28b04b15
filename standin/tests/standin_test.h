// standin_test.h - shared fixture: a fresh stand-in per test and a callback
// that records what it receives.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vycsdk.h"
#include "vystandin.h"

struct Seen {
    std::optional<std::string> type;  // nullopt: NULL msg_type
    std::optional<std::string> data;  // nullopt: NULL data
    int len;
    long long clock;
};

inline std::vector<Seen> g_seen;
inline std::function<void(const Seen &)> g_on_event;  // runs inside the callback

inline void record_event(const char *type, void *data, int len) {
    Seen s{type ? std::optional<std::string>(type) : std::nullopt,
           data ? std::optional<std::string>(std::in_place, static_cast<const char *>(data), len > 0 ? len : 0)
                : std::nullopt,
           len, vys_clock()};
    g_seen.push_back(s);
    if (g_on_event) g_on_event(s);
}

class StandIn : public ::testing::Test {
protected:
    void SetUp() override {
        vys_reset();
        g_seen.clear();
        g_on_event = nullptr;
    }
    static std::vector<std::string> journal() {
        std::vector<std::string> out;
        for (int i = 0; i < vys_journal_count(); ++i) out.emplace_back(vys_journal_entry(i));
        return out;
    }
    // "type@clock" for each event seen, for compact comparisons.
    static std::vector<std::string> trace() {
        std::vector<std::string> out;
        for (const auto &s : g_seen) out.push_back(s.type.value_or("(null)") + "@" + std::to_string(s.clock));
        return out;
    }
};
