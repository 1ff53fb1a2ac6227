// What one write of the status file costs: a table of 16 running tasks
// with counts and exits, the document built and written through the real
// system table into a temporary directory, N times.
//
//   status_cost <directory> [writes]
//
// Prints "status_write_us=<mean microseconds per write>" and the size of
// one document, then the same for the metrics file.  Under callgrind, the instructions of the run
// divided by the writes are the instructions of one write.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/settings.hpp"
#include "base/text.hpp"
#include "supervise/metrics.hpp"
#include "supervise/record.hpp"
#include "supervise/status.hpp"
#include "tasks/config.hpp"
#include "tasks/task_table.hpp"

int main(int argc, char* argv[]) {
    using namespace vorn;
    if (argc < 2) {
        std::fprintf(stderr, "usage: status_cost <directory> [writes]\n");
        return 2;
    }
    const long writes = argc > 2 ? std::atol(argv[2]) : 1000;
    reset_settings();
    const std::string path = std::string(argv[1]) + "/vorn_restart.status";
    if (apply_status_path(path.c_str()) != path_result::ok) return 2;
    reset_record();
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        task_info& task = task_table[i];
        format_text(task.task_name.data(), task_name_size, "bench_task_%02zu", i);
        format_text(task.task_path.data(), task_path_size, "/usr/sbin/bench_task_%02zu", i);
        task.task_mode = mode_always;
        task.task_system = i < 2 ? 1 : 0;
    }
    record_turn_begins();
    record_configuration(true, config_problem{});
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        record_started(i);
        record_ended(i, 3 << 8);
        record_started(i);
        task_table[i].task_pid = static_cast<pid_t>(4000 + i);
    }
    const auto begin = std::chrono::steady_clock::now();
    for (long n = 0; n < writes; ++n) {
        current_record.changed = true;
        write_status_file();
        if (status_output.file.pending) return 1;  // the write failed
    }
    const auto spent = std::chrono::steady_clock::now() - begin;
    char* document = status_document();
    std::printf("status_write_us=%.1f\nstatus_bytes=%zu\n",
                std::chrono::duration<double, std::micro>(spent).count() / double(writes),
                document ? std::string(document).size() + 1 : 0);
    std::free(document);

    // The same picture as the metrics file, written on its own.
    const std::string metrics = std::string(argv[1]) + "/vorn_restart.prom";
    if (apply_metrics_path(metrics.c_str()) != path_result::ok) return 2;
    const auto metrics_begin = std::chrono::steady_clock::now();
    for (long n = 0; n < writes; ++n) {
        metrics_output.pending = true;
        write_metrics_file();
        if (metrics_output.pending) return 1;
    }
    const auto metrics_spent = std::chrono::steady_clock::now() - metrics_begin;
    static char text[metrics_buffer_size];
    std::printf("metrics_write_us=%.1f\nmetrics_bytes=%zu\n",
                std::chrono::duration<double, std::micro>(metrics_spent).count() / double(writes),
                metrics_document(text, sizeof text, 0, 0));
    return 0;
}
