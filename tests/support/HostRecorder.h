// Records host callback events (the C interface), with the thread each came on.
#ifndef PARLEY_TESTS_SUPPORT_HOSTRECORDER_H
#define PARLEY_TESTS_SUPPORT_HOSTRECORDER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../examples/HostEvents.h"
#include "parley.h"

namespace testsupport {

// UTF-16 to UTF-8 for assertions, with the examples' decoder (well-formed
// text only), so that tests that use nothing but the shared library need
// no internals.
inline std::string toUtf8(const std::u16string& in) {
    return ::toUtf8(reinterpret_cast<const ParleyChar*>(in.data()), static_cast<int>(in.size()));
}

struct HostEvent {
    int code;
    int arg3;
    int arg4;
    bool hasText;
    std::u16string text;
    std::thread::id thread;
    std::string utf8() const { return toUtf8(text); }
};

class HostRecorder {
public:
    static int32_t callback(void* context, int32_t code, int32_t arg3, int32_t arg4, const TextBuffer* text) {
        auto* self = static_cast<HostRecorder*>(context);
        HostEvent e{code, arg3, arg4, text != nullptr, {}, std::this_thread::get_id()};
        if (text) e.text.assign(reinterpret_cast<const char16_t*>(text->text), static_cast<std::size_t>(text->length));
        std::function<void(const HostEvent&)> hook;
        {
            // Notified under the lock: a waiter that then destroys the
            // recorder is ordered after this thread's last use of it.
            std::lock_guard<std::mutex> l(self->mutex_);
            self->events_.push_back(e);
            hook = self->onEvent_;
            self->hooksRunning_ += hook ? 1 : 0;
            self->cv_.notify_all();
        }
        if (hook) {
            hook(e);
            std::lock_guard<std::mutex> l(self->mutex_);
            --self->hooksRunning_;
            self->cv_.notify_all();
        }
        return 0;
    }

    std::vector<HostEvent> events() const {
        std::lock_guard<std::mutex> l(mutex_);
        return events_;
    }
    // The first event (already recorded or arriving in time) that matches.
    bool waitFor(const std::function<bool(const HostEvent&)>& match, int ms = 10000, HostEvent* out = nullptr) {
        std::unique_lock<std::mutex> l(mutex_);
        const bool ok = cv_.wait_for(l, std::chrono::milliseconds(ms), [&] {
            for (const HostEvent& e : events_)
                if (match(e)) {
                    if (out) *out = e;
                    return true;
                }
            return false;
        });
        return ok;
    }
    // Waits until the recorded events as a whole satisfy the predicate.
    bool waitUntil(const std::function<bool(const std::vector<HostEvent>&)>& done, int ms = 10000) {
        std::unique_lock<std::mutex> l(mutex_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return done(events_); });
    }
    bool waitForCodes(const std::string& expected, int ms = 10000) {
        return waitUntil([&](const std::vector<HostEvent>& all) { return codesOf(all) == expected; }, ms);
    }
    static std::string codesOf(const std::vector<HostEvent>& all) {
        std::string out;
        for (const HostEvent& e : all) out += (out.empty() ? "" : " ") + std::to_string(e.code);
        return out;
    }
    bool waitForCode(int code, int ms = 10000) {
        return waitFor([code](const HostEvent& e) { return e.code == code; }, ms);
    }
    bool waitForText(int code, const std::string& utf8, int ms = 10000) {
        return waitFor([&](const HostEvent& e) { return e.code == code && e.utf8() == utf8; }, ms);
    }
    void clear() {
        std::lock_guard<std::mutex> l(mutex_);
        events_.clear();
    }
    // Codes, in order, as text: "31028 11054 ...".
    std::string codes() const { return codesOf(events()); }

    // Called on the event's thread, after the event is recorded. Set under
    // the lock: the session's thread reads it for every event. Replacing it
    // waits (at most 30 s) for calls in progress, which may use what the
    // test is about to release; never replace it from inside the hook.
    void setOnEvent(std::function<void(const HostEvent&)> hook) {
        std::unique_lock<std::mutex> l(mutex_);
        cv_.wait_for(l, std::chrono::seconds(30), [&] { return hooksRunning_ == 0; });
        onEvent_ = std::move(hook);
    }

private:
    std::function<void(const HostEvent&)> onEvent_;
    int hooksRunning_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<HostEvent> events_;
};

// UTF-16 literals for the C interface.
inline const ParleyChar* P(const char16_t* s) { return reinterpret_cast<const ParleyChar*>(s); }

}  // namespace testsupport

#endif
