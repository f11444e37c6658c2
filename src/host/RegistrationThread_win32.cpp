// The registration thread is a Windows thread: its HANDLE is what the host
// gets, to wait on with WaitForSingleObject and close with CloseHandle, or to
// hand to WaitRegistration, which does both.
#include "host/RegistrationThread.h"

#include <windows.h>
#include <process.h>

#include <new>

#include "host/DetachedThreads.h"

namespace tern {

namespace {
unsigned __stdcall run(void* arg) {
    auto* body = static_cast<std::function<void()>*>(arg);
    (*body)();
    delete body;
    DetachedThreads::instance().finished();
    return 0;
}
}  // namespace

void* startRegistrationThread(std::function<void()> body) {
    auto* owned = new (std::nothrow) std::function<void()>(std::move(body));
    if (!owned) return nullptr;
    DetachedThreads::instance().started();
    const uintptr_t handle = _beginthreadex(nullptr, 0, run, owned, 0, nullptr);
    if (handle == 0) {
        DetachedThreads::instance().finished();
        delete owned;
        return nullptr;
    }
    return reinterpret_cast<void*>(handle);
}

std::int32_t waitRegistrationThread(void* handle, std::int32_t timeoutMs) {
    if (!handle) return 0;
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (WaitForSingleObject(static_cast<HANDLE>(handle), wait) != WAIT_OBJECT_0) return 0;
    CloseHandle(static_cast<HANDLE>(handle));
    return 1;
}

}  // namespace tern
