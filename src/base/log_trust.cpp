// Whether a task log directory or file may be used (see log_trust.hpp).
#include "base/log_trust.hpp"

namespace vorn {

namespace {

bool accepted(uid_t owner, const log_owners& owners) {
    for (std::size_t i = 0; i < owners.count && i < 3; ++i)
        if (owners.ids[i] == owner) return true;
    return false;
}

// What both kinds share: the owner and who may write.
log_fault owner_fault(const struct stat& info, const log_owners& owners) {
    if (!accepted(info.st_uid, owners)) return log_fault::other_owner;
    if ((info.st_mode & S_IWOTH) != 0) return log_fault::others_writable;
    if ((info.st_mode & S_IWGRP) != 0) return log_fault::group_writable;
    return log_fault::none;
}

}  // namespace

log_fault log_directory_fault(const struct stat& info, const log_owners& owners) {
    if (S_ISLNK(info.st_mode)) return log_fault::symbolic_link;
    if (!S_ISDIR(info.st_mode)) return log_fault::not_directory;
    return owner_fault(info, owners);
}

log_fault log_file_fault(const struct stat& info, const log_owners& owners) {
    if (S_ISLNK(info.st_mode)) return log_fault::symbolic_link;
    if (!S_ISREG(info.st_mode)) return log_fault::not_regular;
    const log_fault fault = owner_fault(info, owners);
    if (fault != log_fault::none) return fault;
    // Another name of the file may lie anywhere on the file system: what is
    // written to the log would land there, what is read could come from it.
    if (info.st_nlink > 1) return log_fault::hard_links;
    return log_fault::none;
}

const char* log_fault_text(log_fault fault) {
    switch (fault) {
        case log_fault::none: return "it may be used";
        case log_fault::symbolic_link: return "it is a symbolic link";
        case log_fault::not_directory: return "it is not a directory";
        case log_fault::not_regular: return "it is not a regular file";
        case log_fault::other_owner: return "it belongs to another user";
        case log_fault::group_writable: return "its group can write to it";
        case log_fault::others_writable: return "anyone can write to it";
        case log_fault::hard_links: return "it has other names (hard links)";
    }
    return "it may not be used";
}

}  // namespace vorn
