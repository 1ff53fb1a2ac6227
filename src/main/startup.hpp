#pragma once

namespace vorn {

// Everything that happens once before the supervision cycle: the platform
// privilege, the saved LD_LIBRARY_PATH, the options, the normalised
// settings, a pending updater update and the start-up line.
void start_up(int argc, char* argv[]);

}  // namespace vorn
