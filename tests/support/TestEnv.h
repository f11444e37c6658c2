// Tests that need the test network namespace (its DNS and servers) skip
// outside it rather than reach this machine's resolver.
#ifndef PARLEY_TESTS_SUPPORT_TESTENV_H
#define PARLEY_TESTS_SUPPORT_TESTENV_H

#include <cstdlib>

#define REQUIRE_LIVE_SERVERS()                                                          \
    do {                                                                                \
        if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv"; \
    } while (0)

#endif
