/* Preloaded into the supervisor by the end-to-end tests: sleep() lasts
 * VORN_TEST_MS_PER_SECOND milliseconds per second asked for (default 10),
 * so a 5-second pass takes 50 ms.  Nothing else is changed. */
#include <stdlib.h>
#include <time.h>
#include <errno.h>

unsigned int sleep(unsigned int seconds) {
    const char* scale = getenv("VORN_TEST_MS_PER_SECOND");
    long ms = scale ? atol(scale) : 10;
    if (ms < 0) ms = 0;
    long long total_ns = (long long)seconds * ms * 1000000LL;
    struct timespec left = {(time_t)(total_ns / 1000000000LL), (long)(total_ns % 1000000000LL)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}
