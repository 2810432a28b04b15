// The event file parser, through vys_load_event_file.
#include <cstdio>
#include <fstream>

#include "standin_test.h"

namespace {

std::string write_file(const std::string &text) {
    std::string path = ::testing::TempDir() + "standin_events.txt";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

}  // namespace

TEST_F(StandIn, EventFileEscapesCommentsAndBlankLines) {
    std::string path = write_file(
        "# comment\n"
        "\n"
        "  \t\n"
        "100 tick a b  \\\\ \\n\\r\\t\\0\\x41\\xfF\r\n"
        "200 bare\n"
        "300  spaced \n"
        "400 #type #not-a-comment");
    EXPECT_EQ(vys_load_event_file(path.c_str()), 4);
    vyi_set_event_callback_pb(record_event);
    vyi_run();
    ASSERT_EQ(g_seen.size(), 4u);
    EXPECT_EQ(trace(), (std::vector<std::string>{"tick@100", "bare@200", "spaced@300", "#type@400"}));
    EXPECT_EQ(g_seen[0].data, std::string("a b  \\ \n\r\t\0A\xff", 13));
    EXPECT_EQ(g_seen[0].len, 13);
    EXPECT_EQ(g_seen[1].data, "");
    EXPECT_EQ(g_seen[2].data, "");
    EXPECT_EQ(g_seen[3].data, "#not-a-comment");
}

TEST_F(StandIn, MalformedLineLoadsNothing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1 ok\n-5 neg\n", "line 2: expected a non-negative time in ms"},
        {"1 ok\n\n 7 indented\n", "line 3: expected a non-negative time in ms"},
        {"12\n", "line 1: missing message type"},
        {"12x t\n", "line 1: expected a space after the time"},
        {"99999999999999999999 t\n", "line 1: time out of range"},
        {"1 t bad\\q\n", "line 1: unknown escape \\q"},
        {"1 t \\x4\n", "line 1: \\x needs two hex digits"},
        {"1 t end\\\n", "line 1: backslash at end of line"},
        {"1 a\tb x\n", "line 1: control character in the message type"},
    };
    for (const auto &[text, message] : cases) {
        std::string path = write_file(text);
        EXPECT_EQ(vys_load_event_file(path.c_str()), -1) << text;
        EXPECT_EQ(vys_last_error(), path + ": " + message) << text;
        EXPECT_EQ(vys_pending_events(), 0) << text;
    }
    EXPECT_EQ(vys_load_event_file("/nonexistent/events.txt"), -1);
    EXPECT_NE(std::string(vys_last_error()).find("cannot open"), std::string::npos);
}
