// vorn_restart_ctl: restarts, stops, starts or signals a task of the running
// supervisor, or has it apply its configuration now.
#include "check/ctl.hpp"

int main(int argc, char* argv[]) { return vorn::run_ctl(argc, argv); }
