#include "host/RegistrationThread.h"

#include "host/DetachedThreads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace tern {

namespace {
struct Handle {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};
}  // namespace

void* startRegistrationThread(std::function<void()> body) {
    auto* handle = new (std::nothrow) Handle;
    if (!handle) return nullptr;
    try {
        // Detached: the thread needs nobody to join it, and the host learns
        // of its end through the handle.
        DetachedThreads::instance().started();
        std::thread([handle, body = std::move(body)] {
            body();
            {
                std::lock_guard<std::mutex> lock(handle->mutex);
                handle->done = true;
                handle->cv.notify_all();
            }
            DetachedThreads::instance().finished();
        }).detach();
    } catch (const std::system_error&) {
        DetachedThreads::instance().finished();
        delete handle;
        return nullptr;
    }
    return handle;
}

std::int32_t waitRegistrationThread(void* opaque, std::int32_t timeoutMs) {
    auto* handle = static_cast<Handle*>(opaque);
    if (!handle) return 0;
    {
        std::unique_lock<std::mutex> lock(handle->mutex);
        auto done = [handle] { return handle->done; };
        if (timeoutMs < 0)
            handle->cv.wait(lock, done);
        else if (!handle->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done))
            return 0;
    }
    delete handle;
    return 1;
}

}  // namespace tern
