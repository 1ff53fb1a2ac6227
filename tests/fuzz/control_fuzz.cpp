// libFuzzer target for the supervisor's reading of a control request:
// arbitrary bytes from whoever connects.  Invariants checked on every input:
// a refusal always says why, in a terminated text of plain bytes and
// bytes of the request; a request taken is written back by the client's
// own formatter to a line that reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/control.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "control fuzzer: invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorn;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    control_request request{};
    char why[control_why_size];
    std::memset(why, 'x', sizeof why);
    if (!parse_control_request(line, request, why, sizeof why)) {
        if (std::memchr(why, '\0', sizeof why) == nullptr) broken("reason not terminated");
        if (why[0] == '\0') broken("refused without a reason");
        return 0;
    }
    if (request.name[request.name.size() - 1] != '\0') broken("name not terminated");
    char again_line[control_request_max + 1];
    const std::size_t length = format_control_request(request, again_line, sizeof again_line);
    if (length == 0 || again_line[length - 1] != '\n') broken("a request taken cannot be sent");
    control_request again{};
    if (!parse_control_request({again_line, length - 1}, again, why, sizeof why))
        broken("a request sent is refused");
    if (again.verb != request.verb || std::strcmp(again.name.data(), request.name.data()) != 0 ||
        again.grace_ms != request.grace_ms || again.signal_number != request.signal_number)
        broken("a request sent reads back otherwise");
    return 0;
}
