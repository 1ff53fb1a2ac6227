// Watching the supervisor itself: the supervisor keeps every task alive,
// so something must notice when it hangs or dies.
//
// - A hardware watchdog device (--watchdog=<device>): written to at every
//   pass, so that a supervisor that stops going round lets the device reset
//   itself.  It is never closed with the magic character that would disarm
//   it: a supervisor that ends resets the device too.
// - systemd's service watchdog, when the supervisor was started with
//   NOTIFY_SOCKET: one datagram per message, READY=1 once the first turn
//   has read its configuration, WATCHDOG=1 at every pass, and STATUS=<line>
//   whenever the picture changes (what `systemctl status` shows).
//
// With neither, every function here returns at once, and the wait has no
// deadline of theirs.
#pragma once

#include <array>
#include <cstddef>

namespace vorn {

// A device whose timeout is shorter than a pass and this margin is told
// about at start-up.
inline constexpr unsigned watchdog_margin_seconds = 5;
// The longest socket name: the size of sockaddr_un's sun_path.
inline constexpr std::size_t notify_name_max = 108;
inline constexpr std::size_t notify_status_size = 256;

struct watch_state {
    int device_fd = -1;  // -1: no watchdog device
    bool device_failure_told = false;
    // The longest time between two kicks; 0: no limit.
    unsigned piece_seconds = 0;
    long long kicked_ms = 0;  // boot clock: the latest kick, while piece_seconds is not 0
    int notify_fd = -1;       // -1: not started with NOTIFY_SOCKET
    std::array<char, notify_name_max + 1> notify_socket{};
    bool ready_sent = false;
    bool notify_failure_told = false;
    std::array<char, notify_status_size> status_sent{};  // the latest STATUS line
};

extern watch_state watch;

// Back to nothing watched; descriptors are left as they are.
void reset_watch();

// Opens the watchdog device and asks for its timeout.  A device that cannot
// be opened, a path that is not a device at all, and a character device
// that answers no watchdog request (WDIOC_GETTIMEOUT, WDIOC_GETSUPPORT) are
// said on standard error and the supervisor goes on without them; a FIFO
// is kept, as a stand-in for a device.  A timeout too short for a pass is
// said too, and the kicks come often enough for it.  False when there
// is no device.
bool open_watchdog(const char* path);

// Starts speaking to systemd at the socket named by NOTIFY_SOCKET (a path,
// or an abstract name beginning with '@').  watchdog_usec is WATCHDOG_USEC
// meant for this process, or nullptr: a watchdog interval so short that the
// long wait would outlast it cuts that wait into pieces.  False when the
// name cannot be used (said on standard error) or no socket can be made.
bool open_notify(const char* socket_name, const char* watchdog_usec);

// READY=1, once in the life of the supervisor.
void watch_ready();

// STATUS=<line> when something changed and the line differs from the one
// sent last.
void watch_status();

// WATCHDOG=1, and a write to the watchdog device.
void watch_kick();

// When the next kick is due (boot clock, ms): piece_seconds after the
// latest; -1 when nothing limits the time between two kicks.
long long watch_deadline();

// The one-line picture: "turn 3: 14 of 16 tasks running, worker held back",
// or "turn 3: configuration unusable: <problem>".  Control bytes and bytes
// that are not UTF-8 become '?'; a line too long for buf ends in "...".
void format_watch_status(char* buf, std::size_t size);

}  // namespace vorn
