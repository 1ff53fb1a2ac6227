// The operator's holds in "<status_path>.stopped": believed whole or not at all.
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

struct hold_file {
    std::string text;
    uid_t owner;
    int error;
    std::string said;  // the names held, then what was said
    mode_t mode = 0644;
    nlink_t links = 1;
};

TEST_F(holds_test, the_file_is_believed_whole_or_not_at_all_and_start_ends_every_hold) {
    static const hold_file* file;
    sys.read_file_info = [](const char*, char* buf, std::size_t cap, struct stat* info) {
        *info = {};
        info->st_mode = S_IFREG | file->mode;
        info->st_uid = file->owner;
        info->st_nlink = file->links;
        errno = file->error;
        return file->error != 0 ? -1L : static_cast<long>(file->text.copy(buf, cap));
    };
    ASSERT_EQ(apply_status_path("/r/s"), path_result::ok);
    const std::string no = "vorn_restart: the stopped tasks in /r/s.stopped are not believed: ";
    std::string spaces, full, held;  // 16 holds of the longest names, a byte written as 4
    for (int k = 0; k < 61; ++k) spaces += "\\x20";
    for (int i = 10; i < 26; ++i) full += "0 100 " + std::to_string(i) + spaces + "\n";
    for (int i = 10; i < 26; ++i) held += std::to_string(i) + std::string(61, ' ') + ",";
    const hold_file files[] = {
        {full, 0, 0, held},
        {"", 0, ENOENT, ""},
        {"0 100 w\n", 5, 0, no + "it belongs to another user\n"},
        {"0 100 w\n", 0, ELOOP, no + "it is a symbolic link\n"},
        {"0 100 w\n", 0, 0, no + "its group can write to it\n", 0664},
        {"0 100 w\n", 0, 0, no + "anyone can write to it\n", 0646},
        {"0 100 w\n", 0, 0, no + "it has other names (hard links)\n", 0644, 2},
        {"0 100 w\n0 x o\n", 0, 0, no + "line 2 is not \"<uid> <since> <name>\"\n"},
        {full + "0 100 o\n", 0, 0, no + "it holds more than 16 tasks\n"},
        {full + full + full, 0, 0, no + "it is longer than 4544 bytes\n"},
        {"0 100 w\n0 200 o\n0 300 w\n", 0, 0, "w,o,w,"},
    };
    for (const hold_file& f : files) {
        file = &f;
        reset_record();
        ::testing::internal::CaptureStderr();
        load_holds();
        std::string names;
        for (const operator_hold& h : current_record.holds)
            if (h.name[0] != '\0') names += std::string(h.name.data()) + ",";
        EXPECT_EQ(names + ::testing::internal::GetCapturedStderr(), f.said) << f.text;
    }
    EXPECT_TRUE(record_released_name("w"));  // a start ends every hold of the name
    save_holds();
    EXPECT_EQ(testing::fake_system::replaced_text, "0 200 o\n");
}

}  // namespace
}  // namespace vorn
