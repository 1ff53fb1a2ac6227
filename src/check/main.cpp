// vorn_restart_check: tells whether the supervisor can use its configuration
// and what the next turn would start, without starting or killing anything.
#include "check/run.hpp"

int main(int argc, char* argv[]) { return vorn::run_check(argc, argv); }
