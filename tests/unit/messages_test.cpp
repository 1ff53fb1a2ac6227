// Also built as vorn_error_text_fallback_tests, with the C library's
// strerrordesc_np left out as on C libraries that lack it.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "base/messages.hpp"

namespace vorn {
namespace {

TEST(messages_test, error_text_and_complaints) {
    EXPECT_STREQ(error_text(ENOENT), "No such file or directory");
    EXPECT_STREQ(error_text(EACCES), "Permission denied");
    EXPECT_NE(error_text(100000), nullptr);

    const char* const saved = program_name;
    program_name = "prog";
    ::testing::internal::CaptureStderr();
    complain("%s: %d", "value", 7);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "prog: value: 7\n");
    program_name = saved;
}

}  // namespace
}  // namespace vorn
