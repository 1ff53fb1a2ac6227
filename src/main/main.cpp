// vorn_restart: keeps the device's tasks running.
#include "main/startup.hpp"
#include "supervise/cycle.hpp"

int main(int argc, char* argv[]) {
    vorn::start_up(argc, argv);
    vorn::run_cycle();
}
