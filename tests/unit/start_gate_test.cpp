#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "fake_system.hpp"
#include "supervise/start_gate.hpp"

namespace vorn {
namespace {

using testing::fake_system;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using gate_test = testing::supervisor_test;

task_info task(const char* name, std::int32_t system, std::vector<std::string> arguments) {
    task_info t = empty_task;
    copy_text(t.task_name, name);
    t.task_system = system;
    t.task_mode = mode_always;
    for (std::size_t k = 0; k < arguments.size(); ++k) copy_text(t.task_argument[k], arguments[k]);
    return t;
}

struct gate_case {
    const char* title;
    task_info slot;
    std::vector<std::string> markers;  // existing files
    bool held;
    std::string line;  // printed when held
};

TEST_F(gate_test, markers_decide_as_documented) {
    // clang-format off
    const std::vector<gate_case> cases = {
        {"no marker", task("w", 0, {}), {}, false, ""},
        {"own marker", task("w", 0, {}), {"/tmp/.w.nr"}, true, "w not run: /tmp/.w.nr\n"},
        {"system task ignores its own marker", task("w", 1, {}), {"/tmp/.w.nr"}, false, ""},
        {"any non-zero system ignores it", task("w", 2, {}), {"/tmp/.w.nr"}, false, ""},
        {"variant marker for any system", task("w", 1, {"-v", "--cp=3"}),
         {"/tmp/.vorn_update_c3.nr"}, true, "vorn_update_c3 not run: /tmp/.vorn_update_c3.nr\n"},
        {"cp=10 has a row of its own", task("w", 1, {"--cp=10"}), {"/tmp/.vorn_update_c10.nr"},
         true, "vorn_update_c10 not run: /tmp/.vorn_update_c10.nr\n"},
        {"cp=11 means the updater's marker", task("w", 1, {"--cp=11"}), {"/tmp/.vorn_update.nr"},
         true, "vorn_update not run: /tmp/.vorn_update.nr\n"},
        {"cp=12 matches no row", task("w", 1, {"--cp=12"}), {"/tmp/.vorn_update_c12.nr"}, false,
         ""},
        {"cp=03 matches no row", task("w", 1, {"--cp=03"}), {"/tmp/.vorn_update_c3.nr"}, false,
         ""},
        {"trailing space matches no row", task("w", 1, {"--cp=3 "}), {"/tmp/.vorn_update_c3.nr"},
         false, ""},
        {"first matching argument decides", task("w", 1, {"--cp=1", "--cp=2"}),
         {"/tmp/.vorn_update_c2.nr"}, false, ""},
        {"a later matching argument counts when earlier ones match no row",
         task("w", 1, {"--cp=x", "--cp=2"}), {"/tmp/.vorn_update_c2.nr"}, true,
         "vorn_update_c2 not run: /tmp/.vorn_update_c2.nr\n"},
        {"own marker is looked at first", task("w", 0, {"--cp=2"}),
         {"/tmp/.w.nr", "/tmp/.vorn_update_c2.nr"}, true, "w not run: /tmp/.w.nr\n"},
        {"arguments after an empty entry are not looked at", [] {
             task_info t = task("w", 1, {"-v"});
             copy_text(t.task_argument[2], "--cp=4");
             return t;
         }(), {"/tmp/.vorn_update_c4.nr"}, false, ""},
    };
    // clang-format on
    for (const gate_case& c : cases) {
        SCOPED_TRACE(c.title);
        fake_system::existing = c.markers;
        CaptureStdout();
        EXPECT_EQ(held_back(c.slot), c.held);
        EXPECT_EQ(GetCapturedStdout(), c.line);
    }
}

TEST_F(gate_test, markers_of_lists_what_is_looked_at_and_holding_marker_picks_the_present_one) {
    const struct {
        const char* title;
        task_info slot;
        std::vector<std::string> listed;  // paths, in order
        std::vector<std::string> names;   // names the not-run line would show
        std::vector<std::string> present;
        const char* holding;  // path, or nullptr
    } cases[] = {
        {"system task without variant", task("w", 1, {"-v"}), {}, {}, {"/tmp/.w.nr"}, nullptr},
        {"own marker only", task("w", 0, {}), {"/tmp/.w.nr"}, {"w"}, {}, nullptr},
        {"own and variant",
         task("w", 0, {"--cp=9", "--cp=1"}),
         {"/tmp/.w.nr", "/tmp/.vorn_update_c9.nr"},
         {"w", "vorn_update_c9"},
         {"/tmp/.vorn_update_c9.nr", "/tmp/.vorn_update_c1.nr"},
         "/tmp/.vorn_update_c9.nr"},
        {"own first when both are there",
         task("w", 0, {"--cp=11"}),
         {"/tmp/.w.nr", "/tmp/.vorn_update.nr"},
         {"w", "vorn_update"},
         {"/tmp/.vorn_update.nr", "/tmp/.w.nr"},
         "/tmp/.w.nr"},
        {"variant of a system task",
         task("w", 5, {"x", "--cp=0"}),
         {"/tmp/.vorn_update_c0.nr"},
         {"vorn_update_c0"},
         {"/tmp/.vorn_update_c0.nr"},
         "/tmp/.vorn_update_c0.nr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        fake_system::looked_at.clear();
        const task_markers markers = markers_of(c.slot);
        EXPECT_TRUE(fake_system::looked_at.empty());  // listing looks at no file
        ASSERT_EQ(markers.count, c.listed.size());
        for (std::size_t i = 0; i < markers.count; ++i) {
            EXPECT_EQ(std::string(markers.marker[i].path.data()), c.listed[i]);
            EXPECT_EQ(std::string(markers.marker[i].name), c.names[i]);
        }
        fake_system::existing = c.present;
        CaptureStdout();
        const marker_ref* holding = holding_marker(markers);
        EXPECT_EQ(GetCapturedStdout(), "");  // it only answers
        if (c.holding) {
            ASSERT_NE(holding, nullptr);
            EXPECT_STREQ(holding->path.data(), c.holding);
        } else {
            EXPECT_EQ(holding, nullptr);
        }
    }
}

TEST_F(gate_test, marker_table_covers_cp_0_to_11) {
    for (std::size_t i = 0; i < cp_marker_count; ++i) {
        EXPECT_EQ(std::string(cp_markers[i].argument), "--cp=" + std::to_string(i));
        const std::string variant = i == 11 ? "vorn_update" : "vorn_update_c" + std::to_string(i);
        EXPECT_EQ(cp_markers[i].variant, variant);
    }
}

}  // namespace
}  // namespace vorn
