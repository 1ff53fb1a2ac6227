// The real system table: every act on the system outside the programs'
// own memory, as system calls (see system_ops.hpp).  The calls themselves
// are in system_processes.cpp, system_files.cpp, system_channel.cpp and
// system_clock.cpp.
#include "base/system_ops.hpp"

#include "base/system_real.hpp"

namespace vorn {

namespace {

// constexpr, so that both tables are filled before any code runs.
constexpr system_ops real_ops = {
    .fork_process = real::fork_process,
    .reap_any = real::reap_any,
    .child_ended = real::child_ended,
    .kill_process = real::kill_process,
    .open_exec_report = real::open_exec_report,
    .open_process_handle = real::open_process_handle,
    .handle_ended = real::handle_ended,
    .wait_for = real::wait_for,
    .open_null_device = real::open_null_device,
    .redirect_output = real::redirect_output,
    .close_descriptor = real::close_descriptor,
    .kill_by_name = real::kill_by_name,
    .read_file = real::read_file,
    .path_exists = real::path_exists,
    .stat_path = real::stat_path,
    .path_executable = real::path_executable,
    .rename_path = real::rename_path,
    .open_standard_descriptors = real::open_standard_descriptors,
    .close_inherited_on_exec = real::close_inherited_on_exec,
    .now = real::now,
    .boot_seconds = real::boot_seconds,
    .boot_milliseconds = real::boot_milliseconds,
    .replace_file = real::replace_file,
    .stamp_file = real::stamp_file,
    .remove_file = real::remove_file,
    .read_file_info = real::read_file_info,
    .list_processes = real::list_processes,
    .files_written_by = real::files_written_by,
    .read_link = real::read_link,
    .read_file_pieces = real::read_file_pieces,
    .open_directory = real::open_directory,
    .open_existing_directory = real::open_existing_directory,
    .lstat_path = real::lstat_path,
    .open_log = real::open_log,
    .open_read_at = real::open_read_at,
    .create_file_at = real::create_file_at,
    .rename_at = real::rename_at,
    .remove_at = real::remove_at,
    .stat_descriptor = real::stat_descriptor,
    .write_descriptor = real::write_descriptor,
    .read_at = real::read_at,
    .copy_range = real::copy_range,
    .open_write_watch = real::open_write_watch,
    .watch_file_writes = real::watch_file_writes,
    .forget_file_writes = real::forget_file_writes,
    .take_write_events = real::take_write_events,
    .truncate_descriptor = real::truncate_descriptor,
    .effective_user = real::effective_user,
    .read_tail_at = real::read_tail_at,
    .open_datagram_socket = real::open_datagram_socket,
    .send_datagram = real::send_datagram,
    .open_device = real::open_device,
    .watchdog_timeout = real::watchdog_timeout,
    .watchdog_support = real::watchdog_support,
    .listen_at = real::listen_at,
    .accept_client = real::accept_client,
    .read_some = real::read_some,
    .send_signal = real::send_signal,
    .reap_child = real::reap_child,
    .connect_channel = real::connect_channel,
    .send_all = real::send_all,
    .find_user = real::find_user,
    .find_user_id = real::find_user_id,
    .find_user_home = real::find_user_home,
    .find_group = real::find_group,
    .find_group_id = real::find_group_id,
    .user_groups = real::user_groups,
    .make_directory = real::make_directory,
    .open_for_writing = real::open_for_writing,
    .remove_directory = real::remove_directory,
    .list_directories = real::list_directories,
    .fork_into_cgroup = real::fork_into_cgroup,
    .signal_process_handle = real::signal_process_handle,
    .map_memory = real::map_memory,
    .remap_memory = real::remap_memory,
    .unmap_memory = real::unmap_memory,
    .set_oom_score = real::set_oom_score,
    .set_limit = real::set_limit,
    .set_nice = real::set_nice,
    .drop_bounding_capability = real::drop_bounding_capability,
    .keep_capabilities = real::keep_capabilities,
    .set_groups = real::set_groups,
    .set_group_id = real::set_group_id,
    .set_user_id = real::set_user_id,
    .identity_now = real::identity_now,
    .set_capabilities = real::set_capabilities,
    .raise_ambient_capability = real::raise_ambient_capability,
    .change_directory = real::change_directory,
    .forbid_new_privileges = real::forbid_new_privileges,
    .exec_program = real::exec_program,
};

}  // namespace

const system_ops real_system_ops = real_ops;
system_ops sys = real_ops;

}  // namespace vorn
