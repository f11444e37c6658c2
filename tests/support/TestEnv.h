// Tests that need the test network namespace (its DNS and servers) skip
// outside it rather than reach this machine's resolver.
#ifndef PARLEY_TESTS_SUPPORT_TESTENV_H
#define PARLEY_TESTS_SUPPORT_TESTENV_H

#include <cstdlib>
#include <string>

#define REQUIRE_LIVE_SERVERS()                                                          \
    do {                                                                                \
        if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv"; \
    } while (0)

namespace testsupport {

// The Prosody that the room and host suites run against, as "domain:port"
// in PARLEY_LIVE_SERVER: example.test:5222 (plain TCP) unless it names
// another, such as tls.test:5232 to run them over STARTTLS.
inline std::string liveDomain() {
    const char* s = std::getenv("PARLEY_LIVE_SERVER");
    const std::string server = s && *s ? s : "example.test:5222";
    return server.substr(0, server.find(':'));
}
inline int livePort() {
    const char* s = std::getenv("PARLEY_LIVE_SERVER");
    const std::string server = s && *s ? s : "example.test:5222";
    const std::size_t colon = server.find(':');
    return colon == std::string::npos ? 5222 : std::atoi(server.c_str() + colon + 1);
}

// The test environment's certificate authority (PEM), or empty outside it.
inline std::string testAuthority() {
    const char* p = std::getenv("PARLEY_TEST_CA");
    return p ? p : "";
}
// Another file of the test environment's certificates.
inline std::string testCertificate(const std::string& name) {
    const char* dir = std::getenv("PARLEY_TESTENV_DIR");
    return dir ? std::string(dir) + "/certs/" + name : std::string();
}

}  // namespace testsupport

#endif
