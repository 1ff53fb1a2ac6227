// The watchdog device and systemd notification (see watch.hpp), with the
// STATUS line read from the record of the supervisor's state.
#include "supervise/watch.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/messages.hpp"
#include "base/system_ops.hpp"
#include "base/text.hpp"
#include "supervise/pace.hpp"
#include "supervise/record.hpp"
#include "tasks/task_table.hpp"

namespace vorn {

watch_state watch{};

namespace {

// The watchdog device path, kept for the messages.
std::array<char, 128> device_path{};

// Writes text into a bounded line: control bytes and bytes that are not
// UTF-8 become '?', and a line that does not fit ends in "...".
class line_writer {
public:
    line_writer(char* buf, std::size_t size) : buf_(buf), size_(size) { buf_[0] = '\0'; }

    void add(std::string_view text) {
        while (!text.empty() && !full_) {
            const std::size_t n = utf8_length(text);
            const auto first = static_cast<unsigned char>(text[0]);
            const bool plain = n > 0 && first >= 0x20 && first != 0x7f;
            put(plain ? text.substr(0, n) : std::string_view("?"));
            text.remove_prefix(n > 0 ? n : 1);
        }
    }

    void add_number(unsigned value) {
        std::array<char, 16> digits{};
        format_text(digits.data(), digits.size(), "%u", value);
        add(digits.data());
    }

private:
    static constexpr std::string_view ellipsis = "...";

    void put(std::string_view piece) {
        // Room is kept for the ellipsis and the terminator.
        if (used_ + piece.size() + ellipsis.size() + 1 > size_) {
            if (used_ + ellipsis.size() + 1 <= size_) {
                std::memcpy(buf_ + used_, ellipsis.data(), ellipsis.size());
                used_ += ellipsis.size();
            }
            buf_[used_] = '\0';
            full_ = true;
            return;
        }
        std::memcpy(buf_ + used_, piece.data(), piece.size());
        used_ += piece.size();
        buf_[used_] = '\0';
    }

    char* buf_;
    std::size_t size_;
    std::size_t used_ = 0;
    bool full_ = false;
};

// Sends one message to systemd.  A failure is said once, and again only
// after a message got through.
void notify(const char* message) {
    if (watch.notify_fd < 0) return;
    if (sys.send_datagram(watch.notify_fd, watch.notify_socket.data(), message,
                          std::strlen(message)) == 0) {
        watch.notify_failure_told = false;
        return;
    }
    if (watch.notify_failure_told) return;
    watch.notify_failure_told = true;
    complain("cannot notify systemd at %s: %s", watch.notify_socket.data(), error_text(errno));
}

// The smaller of two limits, where 0 is no limit.
unsigned tighter(unsigned a, unsigned b) {
    if (a == 0) return b;
    if (b == 0) return a;
    return a < b ? a : b;
}

// Half the timeout, so that a kick late by a whole piece still comes in time.
unsigned piece_for(unsigned long timeout_seconds) {
    return timeout_seconds >= 2 ? static_cast<unsigned>(timeout_seconds / 2) : 1;
}

}  // namespace

void reset_watch() {
    watch = watch_state{};
    device_path.fill('\0');
}

bool open_watchdog(const char* path) {
    struct stat info {};
    const int fd = sys.open_device(path, &info);
    if (fd < 0) {
        complain("cannot open the watchdog %s: %s; supervising without it", path,
                 error_text(errno));
        return false;
    }
    // Anything but a device or a FIFO would be written over, byte after
    // byte, at every pass: a mistyped path must not destroy a file.
    if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode)) {
        sys.close_descriptor(fd);
        complain("cannot use the watchdog %s: not a device; supervising without it", path);
        return false;
    }
    const int timeout = sys.watchdog_timeout(fd);
    // A character device that answers neither watchdog request is none: a
    // terminal, the null device or a flash partition would take a byte at
    // every pass.  A FIFO stands in for a device where none may be armed.
    if (S_ISCHR(info.st_mode) && timeout < 0 && sys.watchdog_support(fd) != 0) {
        const int error = errno;
        sys.close_descriptor(fd);
        complain("cannot use the watchdog %s: not a watchdog (%s); supervising without it", path,
                 error_text(error));
        return false;
    }
    watch.device_fd = fd;
    copy_text(device_path, path);
    // A device that does not tell gets a kick at least once a pass.
    const unsigned piece = timeout > 0 ? piece_for(static_cast<unsigned>(timeout)) : pass_seconds;
    watch.piece_seconds = tighter(watch.piece_seconds, piece);
    watch.kicked_ms = sys.boot_milliseconds();  // the first kick is due a piece from now
    if (timeout > 0 && static_cast<unsigned>(timeout) < pass_seconds + watchdog_margin_seconds)
        complain(
            "the watchdog %s resets the device after %d s, less than a pass (%u s) and a "
            "margin (%u s); it is written to every %u s",
            path, timeout, pass_seconds, watchdog_margin_seconds, watch.piece_seconds);
    return true;
}

bool open_notify(const char* socket_name, const char* watchdog_usec) {
    const std::size_t length = std::strlen(socket_name);
    if ((socket_name[0] != '/' && socket_name[0] != '@') || length < 2 ||
        length > notify_name_max) {
        complain("NOTIFY_SOCKET is neither a socket path nor an abstract name; not notifying");
        return false;
    }
    const int fd = sys.open_datagram_socket();
    if (fd < 0) {
        complain("cannot make a socket to notify systemd: %s", error_text(errno));
        return false;
    }
    watch.notify_fd = fd;
    copy_text(watch.notify_socket, socket_name);
    unsigned long usec = 0;
    for (const char* c = watchdog_usec; c && *c >= '0' && *c <= '9'; ++c) {
        usec = usec * 10 + static_cast<unsigned long>(*c - '0');
        if (usec > 1000000UL * 3600) break;  // longer than any wait: no limit from it
    }
    if (usec > 0 && usec <= 1000000UL * 3600) {
        watch.piece_seconds = tighter(watch.piece_seconds, piece_for(usec / 1000000));
        watch.kicked_ms = sys.boot_milliseconds();
    }
    return true;
}

void watch_ready() {
    if (watch.notify_fd < 0 || watch.ready_sent) return;
    watch.ready_sent = true;
    notify("READY=1");
}

void format_watch_status(char* buf, std::size_t size) {
    line_writer line(buf, size);
    line.add("turn ");
    line.add_number(current_record.turn);
    if (!current_record.usable) {
        line.add(": configuration unusable: ");
        line.add(current_record.problem.data());
        return;
    }
    unsigned tasks = 0;
    unsigned running = 0;
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const slot_record& s = current_record.slots[i];
        if (task_table[i].task_name[0] == '\0' || s.configured_mode == mode_none) continue;
        ++tasks;
        if (task_table[i].task_pid != 0 && !s.end_seen) ++running;
    }
    line.add(": ");
    line.add_number(running);
    line.add(" of ");
    line.add_number(tasks);
    line.add(tasks == 1 ? " task running" : " tasks running");
    bool held = false;
    for (std::size_t i = 0; i < task_slot_count; ++i) {
        const task_info& task = task_table[i];
        if (task.task_pid != 0 || task.task_mode == mode_none) continue;
        if (current_record.slots[i].marker[0] == '\0') continue;
        line.add(", ");
        line.add(task.task_name.data());
        held = true;
    }
    if (held) line.add(" held back");
}

void watch_status() {
    if (watch.notify_fd < 0 || !current_record.changed) return;
    std::array<char, notify_status_size> line{};
    format_watch_status(line.data(), line.size());
    if (std::strcmp(line.data(), watch.status_sent.data()) == 0) return;
    std::array<char, notify_status_size + 8> message{};
    format_text(message.data(), message.size(), "STATUS=%s", line.data());
    notify(message.data());
    watch.status_sent = line;
}

void watch_kick() {
    if (watch.piece_seconds != 0) watch.kicked_ms = sys.boot_milliseconds();
    notify("WATCHDOG=1");
    if (watch.device_fd < 0) return;
    // Any byte but 'V', which would let a closing supervisor disarm it.
    if (sys.write_descriptor(watch.device_fd, "\n", 1) == 0) {
        watch.device_failure_told = false;
        return;
    }
    if (watch.device_failure_told) return;
    watch.device_failure_told = true;
    complain("cannot write to the watchdog %s: %s", device_path.data(), error_text(errno));
}

long long watch_deadline() {
    if (watch.piece_seconds == 0) return -1;
    return watch.kicked_ms + watch.piece_seconds * 1000LL;
}

}  // namespace vorn
