// The registration session's thread, with a handle the host may wait on:
// a Windows thread handle there, a small object of our own on POSIX.
#ifndef TERN_HOST_REGISTRATIONTHREAD_H
#define TERN_HOST_REGISTRATIONTHREAD_H

#include <cstdint>
#include <functional>

namespace tern {

// Runs body on a new thread; null when no thread could be started.
void* startRegistrationThread(std::function<void()> body);
// 1 once the thread has ended (the handle is then released), 0 while it runs
// (timeoutMs -1 waits without limit).
std::int32_t waitRegistrationThread(void* handle, std::int32_t timeoutMs);

}  // namespace tern

#endif
