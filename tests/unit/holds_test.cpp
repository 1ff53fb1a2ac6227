// The operator's holds kept in "<status_path>.stopped": believed whole or
// not at all, and a start ends every hold of the name.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.hpp"
#include "fake_system.hpp"
#include "supervise/holds.hpp"
#include "supervise/record.hpp"

namespace vorn {
namespace {

using holds_test = testing::supervisor_test;

TEST_F(holds_test, the_file_is_believed_whole_or_not_at_all_and_start_ends_every_hold) {
    static struct stat info {};
    static std::string text;
    static int error;
    sys.read_file_info = [](const char*, char* buf, std::size_t cap, struct stat* found) {
        *found = info;
        errno = error;
        return error != 0 ? -1L : static_cast<long>(text.copy(buf, cap));
    };
    ASSERT_EQ(apply_status_path("/run/vr/vorn_restart.status"), path_result::ok);
    const std::string two = "0 100 worker\n1000 200 my\\x20task\n";
    const std::string no =
        "vorn_restart: the stopped tasks in /run/vr/vorn_restart.status.stopped "
        "are not believed: ";
    std::string long_names, held, seventeen = "0 100 t16\n";
    for (int i = 10; i < 26; ++i) {  // 16 holds in 2,032 bytes
        long_names += "0 100 " + std::to_string(i);
        for (int k = 0; k < 30; ++k) long_names += "\\x20";
        long_names += "\n";
        held += std::to_string(i) + std::string(30, ' ') + ",";
        seventeen += "0 100 t" + std::to_string(i) + "\n";
    }
    const struct {
        std::string text;
        mode_t mode;
        uid_t owner;
        int error;
        std::string said;  // the names held, then what was said
    } rows[] = {
        {two, 0644, 0, 0, "worker,my task,"},
        {long_names, 0644, 0, 0, held},
        {"", 0644, 0, ENOENT, ""},
        {two, 0644, 5, 0, no + "it belongs to another user\n"},
        {two, 0646, 0, 0, no + "anyone can write to it\n"},
        {two, 0644, 0, ELOOP, no + "it is a symbolic link\n"},
        {"0 100 worker\n0 x other\n", 0644, 0, 0, no + "line 2 is not \"<uid> <since> <name>\"\n"},
        {seventeen, 0644, 0, 0, no + "it holds more than 16 tasks\n"},
        {long_names + long_names + long_names, 0644, 0, 0, no + "it is longer than 4544 bytes\n"},
        {"0 100 worker\n0 200 other\n0 300 worker\n", 0644, 0, 0, "worker,other,worker,"},
    };
    for (const auto& row : rows) {
        text = row.text;
        info = {};
        info.st_mode = S_IFREG | row.mode;
        info.st_uid = row.owner;
        error = row.error;
        reset_record();
        ::testing::internal::CaptureStderr();
        load_holds();
        std::string names;
        for (const operator_hold& h : current_record.holds)
            if (h.name[0] != '\0') names += std::string(h.name.data()) + ",";
        EXPECT_EQ(names + ::testing::internal::GetCapturedStderr(), row.said) << row.text;
    }
    EXPECT_TRUE(record_released_name("worker"));
    save_holds();
    EXPECT_EQ(testing::fake_system::replaced_text, "0 200 other\n");
}

}  // namespace
}  // namespace vorn
