// vorn_restart: keeps the device's tasks running.
#include "supervise/cycle.hpp"
#include "supervisor/startup.hpp"

int main(int argc, char* argv[]) {
    vorn::start_up(argc, argv);
    vorn::run_cycle();
}
