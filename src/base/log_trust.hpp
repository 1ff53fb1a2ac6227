// The one rule by which the supervisor and its checker trust a task log
// directory and the log files in it, judged from what lstat or fstat tells
// of them: no symbolic link, the right kind of file, an owner they accept,
// no group or others allowed to write, and a file with one name only.
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

namespace vorn {

enum class log_fault {
    none,
    symbolic_link,
    not_directory,
    not_regular,
    other_owner,
    group_writable,
    others_writable,
    hard_links,
};

// The users whose directory or file may be trusted: the supervisor accepts
// only itself, the checker root, itself and the supervisor's user.
struct log_owners {
    uid_t ids[3];
    std::size_t count;
};

// Why a log directory may not be used, or log_fault::none.
log_fault log_directory_fault(const struct stat& info, const log_owners& owners);

// Why a log file may not be read or written, or log_fault::none.
log_fault log_file_fault(const struct stat& info, const log_owners& owners);

// The fault in words, as "it ...": "it is a symbolic link".
const char* log_fault_text(log_fault fault);

}  // namespace vorn
