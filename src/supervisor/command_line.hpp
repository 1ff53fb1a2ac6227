// The supervisor's command line: its option table, handlers and help text.
#pragma once

#include <cstddef>

#include "base/options.hpp"

namespace vorn {

extern const option_row supervisor_options[];
extern const std::size_t supervisor_option_count;

extern const char help_text[];

void show_help(const char*);         // help on standard error, exit 0
void show_usage_error(const char*);  // help on standard error, exit 2
void set_debug(const char*);
void set_install_path(const char* root);
void set_cache_path(const char* dir);
void set_status_path(const char* file);  // empty: no status file
void set_log_path(const char* dir);      // empty: no task logs
void set_log_size(const char* bytes);

}  // namespace vorn
