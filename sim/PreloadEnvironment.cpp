#include <cstdlib>

namespace {

// The library is loaded into the program under test only. The shell commands that
// program starts have no use for it, and under a user-mode emulator they are host
// programs whose loader would refuse a library of the target architecture.
__attribute__((constructor)) void forgetPreload() {
    ::unsetenv("LD_PRELOAD");
}

}  // namespace
