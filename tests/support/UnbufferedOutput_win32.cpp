// Windows' C runtime buffers standard output fully when it is a pipe, so a
// test program that crashes would lose everything it printed. Unbuffered, a
// run without any output is one that never started.
#include <cstdio>

namespace {
const bool unbuffered = [] {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}();
}  // namespace
