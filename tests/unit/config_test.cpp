#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/json_text.hpp"
#include "base/process_names.hpp"
#include "base/text.hpp"
#include "fake_system.hpp"
#include "tasks/config.hpp"
#include "tasks/task_settings.hpp"
#include "tasks/task_table.hpp"

namespace vorn {
namespace {

using testing::fake_system;
using testing::fake_users;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using config_test = testing::supervisor_test;

struct slot_expectation {
    std::size_t slot;
    std::string name;
    std::int32_t system;
    std::int32_t mode;
    std::vector<std::string> arguments;
};

struct config_case {
    const char* title;
    std::string json;
    bool usable;
    std::int32_t size;                    // task_info_size afterwards
    std::vector<std::string> killed;      // names after the two built-ins
    std::vector<slot_expectation> slots;  // checked slots
    int problem_task = -1;                // for unusable ones
    const char* problem_key = nullptr;
};

std::string many_tasks(int n) {
    std::string json = "{\"tasks\": [";
    for (int i = 0; i < n; ++i)
        json += (i ? ", " : "") + std::string("{\"name\": \"t") + std::to_string(i) + "\"}";
    return json + "]}";
}

std::vector<std::string> names(int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) v.push_back("t" + std::to_string(i));
    return v;
}

std::vector<config_case> cases() {
    const std::string name63(63, 'n');
    const std::string arg63(63, 'a');
    // clang-format off
    return {
        {"empty task list", R"({"tasks": []})", true, 2, {},
         {{0, "vorn_update", 1, 2, {}}, {1, "vorn_monitor", 1, 2, {}}}},
        {"one task replaces the updater", R"({"tasks": [{"name": "a"}]})", true, 3, {"a"},
         {{0, "a", 1, 2, {}}, {1, "vorn_monitor", 1, 2, {}}}},
        {"system defaults and its 32-bit range",
         R"({"tasks": [{"name": "a", "system": 2147483647}, {"name": "b", "system": 1.0},
                       {"name": "c"}, {"name": "d", "system": -2147483648}, {"name": "e", "system": "1"}]})",
         true, 7, {"a", "b", "c", "d", "e"},
         {{0, "a", 2147483647, 2, {}}, {1, "b", 1, 2, {}}, {2, "c", 0, 2, {}},
          {3, "d", INT32_MIN, 2, {}}, {4, "e", 0, 2, {}}}},
        {"modes are exact and case-sensitive",
         R"({"tasks": [{"name": "a", "mode": "once"}, {"name": "b", "mode": "none"},
                       {"name": "c", "mode": "ONCE"}, {"name": "d", "mode": 1}, {"name": "e"}]})",
         true, 7, {"a", "b", "c", "d", "e"},
         {{0, "a", 1, 1, {}}, {1, "b", 1, 0, {}}, {2, "c", 0, 2, {}}, {3, "d", 0, 2, {}},
          {4, "e", 0, 2, {}}}},
        {"arguments as an array only",
         R"({"tasks": [{"name": "a", "argument": ["-v", "--cp=3"]}, {"name": "b", "argument": []},
                       {"name": "c", "argument": "-v"},
                       {"name": "d", "argument": ["1","2","3","4","5","6","7","8"]}]})",
         true, 6, {"a", "b", "c", "d"},
         {{0, "a", 1, 2, {"-v", "--cp=3"}}, {1, "b", 1, 2, {}}, {2, "c", 0, 2, {}},
          {3, "d", 0, 2, {"1", "2", "3", "4", "5", "6", "7", "8"}}}},
        {"an empty argument ends the list", R"({"tasks": [{"name": "a", "argument": ["-v", "", "-w"]}]})",
         true, 3, {"a"}, {{0, "a", 1, 2, {"-v"}}}},
        {"longest name and argument fit",
         R"({"tasks": [{"name": ")" + name63 + R"(", "argument": [")" + arg63 + R"("]}]})", true,
         3, {name63}, {{0, name63, 1, 2, {arg63}}}},
        {"other keys ignored, last duplicate wins",
         R"({"version": 3, "tasks": 1, "tasks": [{"name": "a", "name": "b", "x": {}}]})", true, 3,
         {"b"}, {{0, "b", 1, 2, {}}}},
        {"sixteen tasks fill the table", many_tasks(16), true, 18, names(16),
         {{15, "t15", 0, 2, {}}}},

        {"syntax error", R"({"tasks": [)", false, 2, {}, {}, -1, nullptr},
        {"top level array", R"([{"tasks": []}])", false, 2, {}, {}, -1, "tasks"},
        {"no tasks", R"({"task": []})", false, 2, {}, {}, -1, "tasks"},
        {"tasks not an array", R"({"tasks": {"name": "a"}})", false, 2, {}, {}, -1, "tasks"},
        {"second task without a name", R"({"tasks": [{"name": "a"}, {"mode": "once"}]})", false, 3,
         {"a"}, {{0, "a", 1, 2, {}}}, 1, "name"},
        {"task not an object", R"({"tasks": [1]})", false, 2, {}, {}, 0, "name"},
        {"name not a string", R"({"tasks": [{"name": 5}]})", false, 2, {}, {}, 0, "name"},
        {"empty name", R"({"tasks": [{"name": ""}]})", false, 2, {}, {}, 0, "name"},
        {"name too long", R"({"tasks": [{"name": ")" + name63 + R"(x"}]})", false, 2, {}, {}, 0,
         "name"},
        {"name with a slash", R"({"tasks": [{"name": "../../bin/sh"}]})", false, 2, {}, {}, 0,
         "name"},
        {"nine arguments", R"({"tasks": [{"name": "a", "argument": ["1","2","3","4","5","6","7","8","9"]}]})",
         false, 2, {}, {}, 0, "argument"},
        {"argument not a string", R"({"tasks": [{"name": "a", "argument": ["-v", 3]}]})", false, 2,
         {}, {}, 0, "argument"},
        {"argument too long", R"({"tasks": [{"name": "a", "argument": [")" + arg63 + R"(x"]}]})",
         false, 2, {}, {}, 0, "argument"},
        {"system above 32 bits", R"({"tasks": [{"name": "a"}, {"name": "b", "system": 4294967297}]})",
         false, 3, {"a"}, {}, 1, "system"},
        {"system below 32 bits", R"({"tasks": [{"name": "b", "system": -2147483649}]})", false, 2,
         {}, {}, 0, "system"},
        {"the supervisor's own name", R"({"tasks": [{"name": "vorn_restart"}]})", false, 2, {}, {},
         0, "name"},
        {"a scalar document", R"("tasks")", false, 2, {}, {}, -1, "tasks"},
        {"seventeen tasks", many_tasks(17), false, 18, names(16), {}, 16, nullptr},
        // Numbers too large for the parser refuse only what holds them.
        {"system as a real too large, the default",
         R"({"tasks": [{"name": "a", "system": 1e400, "x": -99999999999999999999}]})", true, 3,
         {"a"}, {{0, "a", 1, 2, {}}}},
        {"system as an integer too large", R"({"tasks": [{"name": "a"}, {"name": "b", "system": 9223372036854775808}]})",
         false, 3, {"a"}, {}, 1, "system"},
        {"a task that is a number too large", R"({"tasks": [1e400]})", false, 2, {}, {}, 0, "name"},
        {"an argument that is one", R"({"tasks": [{"name": "a", "argument": [1e999]}]})", false, 2,
         {}, {}, 0, "argument"},
        {"a document that is one", "-1e400", false, 2, {}, {}, -1, "tasks"},
    };
    // clang-format on
}

TEST_F(config_test, json_texts) {
    copy_text(sbin_path, "/opt/sbin/");
    for (const config_case& c : cases()) {
        SCOPED_TRACE(c.title);
        fake_system::reset();
        clear_task_table();
        add_builtin_tasks();
        fake_system::file_text = c.json;
        config_problem problem;
        EXPECT_EQ(apply_config(&problem), c.usable);
        EXPECT_EQ(task_info_size, c.size);
        std::vector<std::string> killed = {"vorn_update", "vorn_monitor"};
        killed.insert(killed.end(), c.killed.begin(), c.killed.end());
        EXPECT_EQ(fake_system::killed_by_name, killed);
        // One run for the built-in names, one for the configured ones (if any).
        EXPECT_EQ(fake_system::kill_outputs.size(), c.killed.empty() ? 1u : 2u);
        for (const slot_expectation& e : c.slots) {
            const task_info& t = task_table[e.slot];
            EXPECT_EQ(text_view(t.task_name), e.name) << "slot " << e.slot;
            EXPECT_EQ(text_view(t.task_path), "/opt/sbin/" + e.name);
            EXPECT_EQ(t.task_system, e.system) << e.name;
            EXPECT_EQ(t.task_mode, e.mode) << e.name;
            EXPECT_EQ(t.task_pid, 0);
            std::vector<std::string> arguments;
            for (std::size_t k = 0; k < argument_count(t); ++k)
                arguments.emplace_back(text_view(t.task_argument[k]));
            EXPECT_EQ(arguments, e.arguments) << e.name;
        }
        if (!c.usable) {
            EXPECT_EQ(problem.task_index, c.problem_task);
            if (c.problem_key) {
                ASSERT_NE(problem.key, nullptr);
                EXPECT_STREQ(problem.key, c.problem_key);
            } else {
                EXPECT_EQ(problem.key, nullptr);
            }
            EXPECT_NE(problem.text[0], '\0');
        }
    }
}

// The optional keys of task "a": what its slot holds, or why it is refused.
// Task "b" beside it runs as ever, whatever a's keys are.
TEST_F(config_test, task_settings_are_read_exactly_or_the_task_is_refused) {
    const std::string long_name(150, 'N');
    const struct {
        std::string keys;
        std::string refusal;  // "" when not refused
        uid_t uid = 0;
        std::vector<gid_t> groups = {};           // the gid first
        std::string login_home = "www /var/www";  // USER and HOME it gets
    } rows[] = {
        {R"("user": "www")", "", 33, {33, 33, 4}},
        {R"("user": "www", "group": "adm")", "", 33, {4, 4}},
        {R"("user": 33)", "", 33, {33, 33, 4}},
        {R"("user": 5000, "group": 77)", "", 5000, {77, 77}, "5000 /"},
        {R"("user": "deep")",
         "the home directory of user deep cannot be looked up: File name too long"},
        {R"("user": 5000, "group": 4242)", "group 4242 does not exist"},
        {R"("user": "nobody", "group": "adm")", "user nobody does not exist"},
        {R"("user": "nobody")", "user nobody does not exist"},
        {R"("user": "broken")", "user broken cannot be looked up: Input/output error"},
        {R"("user": 5000)", "user 5000 has no entry in the user database: give \"group\" too"},
        {R"("user": "www", "group": "xyz")", "group xyz does not exist"},
        {R"("group": "adm")", "\"group\" is given without \"user\": name the user too"},
        {R"("user": 1000.0)",
         "\"user\" is 1000.0: give a name of at most 32 bytes or a number "
         "from 0 to 4294967294"},
        {R"("user": 4294967295)",
         "\"user\" is 4294967295: give a name of at most 32 bytes or a "
         "number from 0 to 4294967294"},
        {R"("user": "www", "group": -1)",
         "\"group\" is -1: give a name of at most 32 bytes or a "
         "number from 0 to 4294967294"},
        {R"("user": "many")", "user many belongs to 33 groups, more than the 32 a task can keep"},
        {R"("limits": {"open_files": -1})",
         "\"limits\".\"open_files\" is -1: give a non-negative integer or \"unlimited\""},
        {R"("limits": {"core": 1.5})",
         "\"limits\".\"core\" is 1.5: give a non-negative integer or \"unlimited\""},
        {R"("limits": {"cores": 1})",
         "\"limits\" has \"cores\", which is not a limit: known are "
         "open_files, processes, memory, core, cpu_seconds, "
         "file_size, stack"},
        {R"("limits": [])", "\"limits\" is an array: give an object"},
        {R"("nice": 20)", "\"nice\" is 20: give a whole number from -20 to 19"},
        {R"("nice": -21)", "\"nice\" is -21: give a whole number from -20 to 19"},
        {R"("oom_score_adjust": 1001)",
         "\"oom_score_adjust\" is 1001: give a whole number from -1000 to 1000"},
        {R"("oom_score_adjust": "0")",
         "\"oom_score_adjust\" is \"0\": give a whole number from -1000 to 1000"},
        {R"("directory": "var/x")",
         "\"directory\" is \"var/x\": give an absolute path of at most 255 bytes"},
        {R"("environment": {"A=B": "x"})",
         "\"environment\" has the name \"A=B\": a name is not empty and has no '='"},
        {R"("environment": {"": "x"})",
         "\"environment\" has the name \"\": a name is not empty and has no '='"},
        {R"("environment": {"A": 1})", "\"environment\".\"A\" is 1: give a string"},
        {R"("environment": {"A": ")" + std::string(126, 'v') + "\"}",
         "\"environment\".\"A\" does not fit: name and value take at most 126 bytes together"},
        {R"("environment": {"1":"","2":"","3":"","4":"","5":"","6":"","7":"","8":"","9":""})",
         "\"environment\" has 9 variables, at most 8 fit"},
        {R"("environment": {")" + long_name + "\": 1}",
         "a key of the task is at fault, and the reason is too long"},
        {R"("no_new_privileges": 1)", "\"no_new_privileges\" is 1: give true or false"},
        {R"("capabilities": ["net_raw", "cap_net_raw"])",
         "\"capabilities\" element 1 is \"cap_net_raw\", which names no capability"},
        {R"("capabilities": null)",
         "\"capabilities\" is null: give a list of names such as "
         "\"net_bind_service\""},
        // Given twice, the parser would keep the last: ambiguous, refused.
        {R"("user": "www", "user": "root")",
         "\"user\" is given 2 times: the entry must say it once"},
        {R"("user": "www", "\u0075ser": "www")",
         "\"user\" is given 2 times: the entry must say it once"},
        {R"("nice": 1, "no_new_privileges": true, "nice": 2, "nice": 1)",
         "\"nice\" is given 3 times: the entry must say it once"},
        {R"("limits": {"core": 0, "stack": 1, "core": 1})",
         "\"limits\".\"core\" is given 2 times: the entry must say it once"},
        {R"("environment": {"A": "1", "\u0041": "2"})",
         "\"environment\".\"A\" is given 2 times: the entry must say it once"},
        {R"("user": "www", "name": "a", "x": {"user": 1})", "", 33, {33, 33, 4}},
        // Misspelt, or in another case: refused; other keys ignored.
        {R"("User": "www")", "\"User\" is no key of a task entry: did you mean \"user\"?"},
        {R"("capabilites": ["net_raw"])",
         "\"capabilites\" is no key of a task entry: did you mean \"capabilities\"?"},
        {R"("acpabiliteis": [])",
         "\"acpabiliteis\" is no key of a task entry: did you mean \"capabilities\"?"},
        {R"("no_new_privilege": true)",
         "\"no_new_privilege\" is no key of a task entry: did you mean \"no_new_privileges\"?"},
        {R"("user": "www", "limit": {})",
         "\"limit\" is no key of a task entry: did you mean \"limits\"?"},
        {R"("Mode": "once", "nome": 1, "comment": "x", "capabilityset": [])", ""},
        // Capabilities only mean something to a task that is not uid 0.
        {R"("capabilities": ["net_bind_service"])",
         "\"capabilities\" is given without \"user\": the task would stay uid 0, which owns "
         "root's files and commands the supervisor; name the user to run it as"},
        {R"("user": "root", "capabilities": [])",
         "\"capabilities\" is given with user root (uid 0), which owns root's files and commands "
         "the supervisor; name another user"},
        {R"("user": 0, "group": 4, "capabilities": ["kill"])",
         "\"capabilities\" is given with user 0 (uid 0), which owns root's files and commands the "
         "supervisor; name another user"},
        // Numbers too large for the parser, shown as written.
        {R"("limits": {"memory": 18446744073709551615})",
         "\"limits\".\"memory\" is 18446744073709551615: give at most 9223372036854775807, or "
         "\"unlimited\" for no limit"},
        {R"("limits": {"core": 9223372036854775808})",
         "\"limits\".\"core\" is 9223372036854775808: give at most 9223372036854775807, or "
         "\"unlimited\" for no limit"},
        {R"("limits": {"core": -9223372036854775809})",
         "\"limits\".\"core\" is -9223372036854775809: give a non-negative integer or "
         "\"unlimited\""},
        {R"("nice": 1e400)", "\"nice\" is 1e400: give a whole number from -20 to 19"},
        {R"("user": 99999999999999999999)",
         "\"user\" is 99999999999999999999: give a name of at most 32 bytes or a number from 0 "
         "to 4294967294"},
        {R"("environment": {"A": -1E+999})", "\"environment\".\"A\" is -1E+999: give a string"},
        {R"("limits": 9999999999999999999)", "\"limits\" is 9999999999999999999: give an object"},
        {R"("environment": 1e400)",
         "\"environment\" is 1e400: give an object of names and strings"},
    };
    fake_users::users["root"] = {0, 0, {}, "/root"};
    fake_users::users["deep"] = {41, 41, {}, "/" + std::string(255, 'd')};
    fake_users::groups["staff"] = 77;
    fake_users::users["many"] = {40, 40, {}};
    for (gid_t id = 100; id < 132; ++id) fake_users::users["many"].groups.push_back(id);
    fake_users::broken = "broken";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keys);
        clear_task_table();
        fake_system::file_text =
            R"({"tasks": [{"name": "a", )" + row.keys + R"(}, {"name": "b"}]})";
        EXPECT_TRUE(apply_config());
        EXPECT_EQ(task_info_size, 2);
        EXPECT_EQ(text_view(task_table[0].task_name), "a");
        const char* reason = "";
        EXPECT_EQ(task_refused(0, &reason), !row.refusal.empty());
        EXPECT_EQ(std::string(reason), row.refusal);
        EXPECT_EQ(settings_of(1), nullptr);  // b has none, and nothing of a's reaches it
        if (!row.refusal.empty() || row.groups.empty()) continue;
        const task_settings& s = *settings_of(0);
        std::vector<gid_t> ids{s.gid};
        ids.insert(ids.end(), s.groups.begin(), s.groups.begin() + s.group_count);
        EXPECT_TRUE(s.identity);
        EXPECT_EQ(s.uid, row.uid);
        EXPECT_EQ(ids, row.groups);
        EXPECT_EQ(std::string(s.login.data()) + " " + s.home.data(), row.login_home);
    }
    // Keys given twice are looked for in the "tasks" the parser keeps, the last.
    const std::string twice = R"([{"name": "a", "user": "www", "user": "www"}])";
    const std::string once = R"([{"name": "a", "user": "www"}])";
    fake_system::file_text = "{\"tasks\": " + twice + ", \"tasks\": " + once + "}";
    EXPECT_TRUE(apply_config());
    EXPECT_FALSE(task_refused(0));
    fake_system::file_text = "{\"tasks\": " + once + ", \"tasks\": " + twice + "}";
    EXPECT_TRUE(apply_config());
    EXPECT_TRUE(task_refused(0));
}

TEST_F(config_test, settings_are_kept_as_written_and_a_table_without_them_is_not_touched) {
    fake_system::file_text = R"({"tasks": [{"name": "a"}, {"name": "b", "directory": "/srv",
        "environment": {"A": "1"}, "limits": {"core": 0, "stack": "unlimited"}, "nice": -20,
        "oom_score_adjust": -1000, "no_new_privileges": true,
        "capabilities": ["net_bind_service"]}]})";
    EXPECT_TRUE(apply_config());
    EXPECT_FALSE(task_settings_used[0]);
    const task_settings& s = *settings_of(1);
    EXPECT_EQ(text_view(s.directory), "/srv");
    EXPECT_EQ(text_view(s.variables[0]), "A=1");
    EXPECT_EQ(s.limits_set, (1U << limit_core) | (1U << limit_stack));
    EXPECT_EQ(s.limits[limit_stack], limit_unlimited);
    EXPECT_EQ(s.nice, -20);
    EXPECT_EQ(s.oom_score_adjust, -1000);
    EXPECT_TRUE(s.no_new_privileges);
    EXPECT_EQ(s.capabilities, 1U << 10);
    EXPECT_FALSE(s.identity);
    fake_system::file_text = R"({"tasks": [{"name": "a"}, {"name": "b"}]})";
    EXPECT_TRUE(apply_config());  // the next turn
    EXPECT_EQ(settings_of(1), nullptr);
}

TEST_F(config_test, configured_tasks_keep_their_kill_errors_visible) {
    clear_task_table();
    fake_system::file_text = R"({"tasks": [{"name": "a"}]})";
    EXPECT_TRUE(apply_config());
    ASSERT_EQ(fake_system::kill_outputs.size(), 1u);
    EXPECT_EQ(fake_system::kill_outputs[0], kill_output::stderr_kept);
}

TEST_F(config_test, file_is_read_from_the_configuration_directory) {
    copy_text(config_path, "/data/conf/");
    fake_system::file_text = R"({"tasks": []})";
    EXPECT_TRUE(apply_config());
    EXPECT_EQ(fake_system::file_read, "/data/conf/vorn_restart.conf");
}

TEST_F(config_test, missing_file_is_reported_with_perror_or_in_the_problem) {
    fake_system::file_present = false;
    // The supervisor asks for no description: the loader reports the file.
    CaptureStderr();
    EXPECT_FALSE(apply_config());
    EXPECT_EQ(GetCapturedStderr(), "fopen: No such file or directory\n");
    // The checker asks for one and prints it itself.
    CaptureStderr();
    config_problem problem;
    EXPECT_FALSE(apply_config(&problem, "/etc/x.conf"));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_STREQ(problem.text.data(), "cannot open /etc/x.conf: No such file or directory");
}

TEST_F(config_test, only_the_bytes_read_count_and_all_of_them) {
    const std::string valid = R"({"tasks": [{"name": "a"}]})";
    struct {
        std::string text;
        bool usable;
    } cases[] = {
        {valid + std::string(20000, ' '), true},  // the value ends within the limit
        {R"({"tasks": [], "pad": ")" + std::string(10300, 'x') + "\"}", false},
        {valid + std::string(1, '\0') + "garbage", false},  // nothing hides behind a NUL byte
        {valid + std::string(1, '\0'), false},
    };
    for (const auto& c : cases) {
        clear_task_table();
        fake_system::file_text = c.text;
        EXPECT_EQ(apply_config(), c.usable) << c.text.size();
    }
}

// What the operator reads about a file that does not parse.
TEST_F(config_test, problems_say_what_happened) {
    const struct {
        std::string text;
        std::string starts;  // the problem text begins so
        bool cut;            // and blames the read limit
    } cases[] = {
        {"{\"tasks\": [\n  {\"name\": \"a\",}\n]}", "/c.conf: line 2, column 16: ", false},
        {R"({"tasks": [], "pad": ")" + std::string(10300, 'x') + "\"}",
         "/c.conf: line 1, column 10239: ", true},
        {std::string(3000, '[') + std::string(3000, ']'),
         "/c.conf: line 1, column 2049: maximum parsing depth", false},
        {std::string(10239, '['), "/c.conf: line 1, column 2049: maximum parsing depth", false},
        {"[{\"tasks\": []}]", "the document is an array, not an object", false},
        {"42", "the document is a number, not an object", false},
        {"\xef\xbb\xbf{\"tasks\": []}", "/c.conf starts with a UTF-8 byte-order mark", false},
        {std::string("{\"tasks\": []}\n\0x", 16), "/c.conf: line 2, column 1: a NUL byte", false},
        {R"({"tasks": [{"name": "a\u0000b"}]})",
         "/c.conf: line 1, column 30: a string holds \\u0000, which no task field can hold", false},
        {" \n\t", "/c.conf is empty", false},
        // Told in the file's own lines and columns with numbers too large
        // for the parser in it, as with numbers of the same length.
        {R"({"tasks": [{"n": 1e400, "m": 99999999999999999999 "x"}]})",
         "/c.conf: line 1, column 53: '}' expected near '\"x\"'", false},
        {"{\"tasks\": [{\"n\": 1e400, \"m\": 99999999999999999999,\n  \"\u00e9\": 2e308 \"x\"}]}",
         "/c.conf: line 2, column 16: '}' expected near '\"x\"'", false},
        {R"({"a": 1e400 1e400})", "/c.conf: line 1, column 17: '}' expected near '1e400'", false},
        {"[1e400,\n 1e400 1e400]", "/c.conf: line 2, column 12: ']' expected near '1e400'", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        fake_system::file_text = c.text;
        config_problem problem;
        EXPECT_FALSE(apply_config(&problem, "/c.conf"));
        const std::string text = problem.text.data();
        EXPECT_EQ(text.rfind(c.starts, 0), 0u) << text;
        EXPECT_EQ(text.find("(only the first 10239 bytes are read)") != std::string::npos, c.cut);
        EXPECT_EQ(problem.task_index, -1);
    }
}

TEST_F(config_test, problem_names_the_faulty_task_when_its_name_is_usable) {
    struct {
        std::string json;
        int index;
        std::string name;
    } cases[] = {
        {R"({"tasks": [{"name": "a"}, {"name": "b", "argument": [3]}]})", 1, "b"},
        {R"({"tasks": [{"name": "a"}, {"name": 5}]})", 1, ""},
        {R"({"tasks": [{"name": "a/b"}]})", 0, "a/b"},
        {R"({"tasks": [{"name": ")" + std::string(64, 'n') + R"("}]})", 0, ""},
        {R"({"tasks": "x"})", -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        clear_task_table();
        fake_system::file_text = c.json;
        config_problem problem;
        EXPECT_FALSE(apply_config(&problem));
        EXPECT_EQ(problem.task_index, c.index);
        EXPECT_EQ(std::string(problem.task_name.data()), c.name);
    }
}

// The numbers the parser refuses are those wrapped, and no other: the
// copy parses, and each number left as it is parses on its own.
TEST(json_text_test, numbers_too_large_for_the_parser_are_wrapped_and_no_other) {
    const std::string text =
        R"([1e400, -1e400, 1e-400, 9223372036854775807, 9223372036854775808, 2e308, 1.7e308,)"
        R"( -9223372036854775808, -9223372036854775809, "1e400", {"\"1e400": 0.5E+400}, 0, -0])";
    std::vector<char> out(json_wrapped_size(text.size()));
    std::size_t count = 0;
    const std::size_t length = json_wrap_large_numbers(text, out.data(), out.size(), &count);
    EXPECT_EQ(std::string(out.data(), length),
              R"([{"":"1e400"}, {"":"-1e400"}, 1e-400, 9223372036854775807, )"
              R"({"":"9223372036854775808"}, {"":"2e308"}, 1.7e308, -9223372036854775808, )"
              R"({"":"-9223372036854775809"}, "1e400", {"\"1e400": {"":"0.5E+400"}}, 0, -0])");
    EXPECT_EQ(count, 6u);
    json_error_t error;
    json_t* parsed = json_loadb(out.data(), length, 0, &error);
    EXPECT_NE(parsed, nullptr) << error.text;
    json_decref(parsed);
    // The worst case fits the size given for it, and one byte less does not.
    std::string worst;
    while (worst.size() + 6 <= 10239) worst += worst.empty() ? "1e400" : ",1e400";
    worst = "[" + worst.substr(0, worst.size() - 6) + "]";
    std::vector<char> big(json_wrapped_size(worst.size()));
    EXPECT_GT(json_wrap_large_numbers(worst, big.data(), big.size(), &count), 0u);
    EXPECT_EQ(json_wrap_large_numbers(worst, big.data(), worst.size() + count * 7, &count), 0u);
}

// Users and groups as /etc/passwd and /etc/group write them, through the
// real lookups, the files handed out in pieces of every size from 1 byte.
TEST_F(config_test, users_and_groups_are_read_from_the_files_as_written) {
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/bash\n#www:x:1:1::/no:/bin/sh\n\n"
        "bad:x:12a:1::/bad:/bin/sh\nshort:x:5:5\nfar:x:4294967295:1::/far:/bin/sh\n"
        ":x:6:6::/:/bin/sh\ntoor:x:0:0::/toor:/bin/sh\n"
        "www:x:33:33:www-data:/var/www:/usr/sbin/nologin\nwww:x:34:34::/second:/bin/sh\n"
        "long:x:77:77::/" +
        std::string(300, 'h') + ":/bin/sh\n" + std::string(40, 'n') +
        ":x:78:78::/:/bin/sh\nlast:x:9:10::/home/last:/bin/sh:x";  // no newline at the end
    const std::string group =
        "root:x:0:\nadm:x:4:syslog,www\nwwwx:x:5:wwwx,ww\nstaff:x:50:www2,www\ndup:x:4:www\n"
        "bad:x::www\n#c:x:8:www\nlast:x:7:www";
    const system_ops& real = real_system_ops;
    for (std::size_t piece : {1, 2, 3, 5, 8, 13, 4096}) {
        SCOPED_TRACE(piece);
        fake_system::piece_size = piece;
        fake_system::file_text = passwd;
        uid_t uid = 1;
        gid_t gid = 1;
        const auto user = [&](const char* name) {
            uid = gid = 1;
            const int found = real.find_user(name, &uid, &gid);
            return std::to_string(found) + " " + std::to_string(uid) + " " + std::to_string(gid);
        };
        EXPECT_EQ(user("www"), "1 33 33");
        EXPECT_EQ(user("root"), "1 0 0");
        EXPECT_EQ(user("last"), "1 9 10");
        for (const char* none : {"#www", "bad", "short", "far", "", "ww", "wwww", "x"})
            EXPECT_EQ(user(none), "0 1 1") << none;
        char name[33] = {};
        EXPECT_EQ(real.find_user_id(34, name, sizeof name, &gid), 1);
        EXPECT_STREQ(name, "www");
        EXPECT_EQ(real.find_user_id(0, name, sizeof name, &gid), 1);
        EXPECT_STREQ(name, "root");
        EXPECT_EQ(real.find_user_id(12, name, sizeof name, &gid), 0);
        EXPECT_EQ(real.find_user_id(78, name, sizeof name, &gid), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        char home[256] = {};
        EXPECT_EQ(real.find_user_home("www", home, sizeof home), 1);
        EXPECT_STREQ(home, "/var/www");
        EXPECT_EQ(real.find_user_home("last", home, sizeof home), 1);
        EXPECT_STREQ(home, "/home/last");
        EXPECT_EQ(real.find_user_home("long", home, sizeof home), -1);
        fake_system::file_text = group;
        EXPECT_EQ(real.find_group("adm", &gid), 1);
        EXPECT_EQ(gid, 4u);
        EXPECT_EQ(real.find_group("#c", &gid), 0);
        EXPECT_EQ(real.find_group_id(7), 1);
        EXPECT_EQ(real.find_group_id(8), 0);
        std::array<gid_t, 3> groups{};
        EXPECT_EQ(real.user_groups("www", 33, groups.data(), 3), 4);
        EXPECT_EQ(groups, (std::array<gid_t, 3>{33, 4, 50}));
        EXPECT_EQ(real.user_groups("ww", 4, groups.data(), 3), 2);
        EXPECT_EQ(groups[1], 5u);
    }
    fake_system::file_present = false;
    EXPECT_EQ(real_system_ops.find_group_id(0), -1);
    EXPECT_EQ(real_system_ops.user_groups("www", 33, nullptr, 0), -1);
}

// Which task names killall would match to the supervisor's own process.
TEST(own_names_test, kill_by_name_reaches_the_process_as_killall_decides) {
    using namespace std::string_literals;
    // Words that killall reads past: long enough to run beyond 4,096 bytes
    // and 64 KiB, and to straddle byte 4,096 with the word after them.
    const std::string past_4k(5000, 'f'), past_64k(70000, 'f'), up_to_4k(4079, 'f');
    const std::string base_255 = "vorn_restart_ch" + std::string(240, 'x');
    const struct {
        std::string comm, cmdline, name;
        bool reaches;
    } cases[] = {
        {"vorn_restart", "/usr/sbin/vorn_restart\0-d"s, "vorn_restart", true},
        {"vorn_restart", "/usr/sbin/vorn_restart\0-d"s, "vorn_restar", false},
        {"vorn_restart", "/usr/sbin/vorn_restart\0-d"s, "vorn_restart_x", false},
        // A process name of 15 bytes may be cut short: the command line decides.
        {"vorn_restart_ch", "/usr/sbin/vorn_restart_check\0x"s, "vorn_restart_check", true},
        {"vorn_restart_ch", "/usr/sbin/vorn_restart_check\0x"s, "vorn_restart_ch", false},
        {"vorn_restart_ch", "/usr/sbin/vorn_restart_check\0x"s, "vorn_restart_chx", false},
        // No word of the command line begins with it: the first 15 bytes decide.
        {"memcheck-amd64-", "valgrind\0/b/vorn_restart"s, "memcheck-amd64-linux", true},
        {"memcheck-amd64-", "valgrind\0/b/vorn_restart"s, "vorn_restart", false},
        {"memcheck-amd64-", "valgrind\0/b/vorn_restart"s, "memcheck-amd64", false},
        // The whole command line is read, however far the word lies.
        {"vorn_restart_ch", past_4k + "\0/s/vorn_restart_check\0"s, "vorn_restart_check", true},
        {"vorn_restart_ch", past_4k + "\0/s/vorn_restart_check\0"s, "vorn_restart_chx", false},
        {"vorn_restart_ch", past_64k + "\0vorn_restart_check"s, "vorn_restart_check", true},
        {"vorn_restart_ch", past_64k + "\0vorn_restart_check"s, "vorn_restart_chx", false},
        {"vorn_restart_ch", up_to_4k + "\0vorn_restart_check\0"s, "vorn_restart_check", true},
        {"vorn_restart_ch", past_64k + "/vorn_restart_check"s, "vorn_restart_check", true},
        // killall stops at an empty word: the words after it do not count.
        {"vorn_restart_ch", past_4k + "\0\0vorn_restart_check"s, "vorn_restart_chx", true},
        {"vorn_restart_ch", "\0vorn_restart_check"s, "vorn_restart_chx", true},
        // Base names as long as can be kept, and longer: never cut to fit.
        {"vorn_restart_ch", "/s/" + base_255, base_255, true},
        {"vorn_restart_ch", "/s/" + base_255 + "y", base_255, false},
        {"vorn_restart_ch", "/s/" + base_255 + "y", "vorn_restart_ch", false},
        {"vorn_restart_ch", "/s/" + base_255 + "y", "vorn_restart_chx", false},
        {"vorn_restart_ch", "/s/" + base_255 + "y\0vorn_restart_check", "vorn_restart_check",
         false},
    };
    // Whole, and in pieces small enough for words to cross their ends.
    for (const std::size_t piece :
         {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096}}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.comm + " " + c.name + ", pieces of " + std::to_string(piece) +
                         ", command line of " + std::to_string(c.cmdline.size()) + " bytes");
            process_names names{};
            if (piece == 0) {
                parse_process_names(names, c.comm, c.cmdline);
            } else {
                command_line_scan scan = start_command_line(names, c.comm);
                for (std::size_t at = 0; at < c.cmdline.size(); at += piece)
                    if (!scan_command_line(scan, c.cmdline.substr(at, piece))) break;
                end_command_line(scan);
            }
            EXPECT_EQ(kill_by_name_reaches(c.name, names), c.reaches);
        }
    }
}

// The supervisor's own names, from /proc/self through the system seam.
TEST_F(config_test, own_names_come_from_the_whole_command_line_or_argv0) {
    using testing::fake_files;
    using namespace std::string_literals;
    fake_files::reset();
    fake_files::install();
    fake_files::files["/proc/self/comm"] = "vorn_restart_ch\n";
    fake_files::files["/proc/self/cmdline"] = "/usr/bin/valgrind\0"s + std::string(70000, 'v') +
                                              "\0/b/vorn_restart_check\0-d\0"s +
                                              std::string(70000, 'w');
    note_own_names("/b/vorn_restart_chx");
    EXPECT_EQ(text_view(own_names.comm), "vorn_restart_ch");
    EXPECT_EQ(text_view(own_names.command), "vorn_restart_check");
    // Read as far as the word killall compares (to the piece that ends it), and no further.
    EXPECT_GE(fake_system::piece_bytes, 18u + 70001u + 22u);
    EXPECT_LT(fake_system::piece_bytes, 18u + 70001u + 22u + fake_system::piece_size);

    fake_files::files.erase("/proc/self/cmdline");  // without /proc: argv0 alone
    note_own_names("/b/vorn_restart_chx");
    EXPECT_EQ(text_view(own_names.command), "vorn_restart_chx");

    fake_files::files.erase("/proc/self/comm");
    note_own_names("/usr/sbin/vorn_restart");
    EXPECT_EQ(text_view(own_names.comm), "vorn_restart");
    EXPECT_TRUE(kill_by_name_reaches("vorn_restart", own_names));
    fake_files::reset();
}

}  // namespace
}  // namespace vorn
