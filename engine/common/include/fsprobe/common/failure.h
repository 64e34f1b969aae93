// Why an export call failed, and the guard every export runs its body in.
//
// No exception crosses the C edge: the guard catches everything, records a
// reason and returns the export's failure value. Engine code that detects a
// failure names it with fail(); the reason goes to the family whose export
// is running on this thread (nowhere when no export runs, as in unit tests
// of the engine classes).
#pragma once

#include <blockgate/blockgate.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace fsprobe {

// The reason of one export family's last call: empty after a call that
// succeeded. The text stays valid until the family's next call.
class FailureReason {
public:
    const char* text() const { return m_text.c_str(); }
    bool empty() const { return m_text.empty(); }
    void clear() { m_text.clear(); }
    // The first reason of a call stands: it is the closest to the cause.
    void set(std::string_view text)
    {
        if (m_text.empty())
            m_text.assign(text);
    }

private:
    std::string m_text;
};

namespace detail {
inline thread_local FailureReason* t_running_family = nullptr;
}

// Records why the export running on this thread fails.
inline void fail(std::string_view reason)
{
    if (FailureReason* r = detail::t_running_family)
        r->set(reason);
}

// Why reading `what` (e.g. "the ext2 superblock") through `reader` failed:
// the device could not be opened, the device refused the read (with its
// errno text), or the volume ends before it.
inline std::string read_failure(const BgReader* reader, std::string_view what)
{
    std::string text;
    int err = 0;
    if (reader && reader->handle < 0 && reader->impl) {
        // EINVAL: not one of blockgate's objects (or no errno was kept).
        err = bg_last_error(reader);
        if (err && err != EINVAL) {
            text = "cannot open ";
            text += reader->name ? reader->name : "the device";
            text += ": ";
            text += std::strerror(err);
            return text;
        }
    }
    err = bg_read_error();
    text = "cannot read ";
    text += what;
    if (err) {
        text += ": ";
        text += std::strerror(err);
    } else {
        text += ": the volume ends before it";
    }
    return text;
}

// Runs the body of an export of the family whose reason is `reason`.
// A result equal to `failure` keeps the recorded reason; any other result
// clears it. An exception becomes `failure` with its reason ("out of memory"
// for std::bad_alloc); `on_exception` then undoes what the call left half
// done (a scan sets the progress to 100 so that its watcher ends).
template<typename R, typename Fn, typename Undo>
R guarded(FailureReason& reason, R failure, Fn&& body, Undo&& on_exception) noexcept
{
    FailureReason* outer = detail::t_running_family;
    // An export calling another export of its own family adds to its call.
    const bool nested = outer == &reason;
    if (!nested)
        reason.clear();
    detail::t_running_family = &reason;
    const char* caught = nullptr;
    std::string what;
    try {
        R result = body();
        detail::t_running_family = outer;
        if (!nested && !(result == failure))
            reason.clear();
        return result;
    } catch (const std::bad_alloc&) {
        caught = "out of memory";
    } catch (const std::length_error&) {
        caught = "out of memory: a size read from the volume is too large";
    } catch (const std::exception& e) {
        try {
            what = std::string("internal error: ") + e.what();
        } catch (...) {
        }
        caught = what.empty() ? "internal error" : what.c_str();
    } catch (...) {
        caught = "internal error";
    }
    detail::t_running_family = outer;
    // The exception's reason replaces any partial one: the call is undone.
    reason.clear();
    try {
        reason.set(caught);
    } catch (...) {
    }
    try {
        on_exception();
    } catch (...) {
    }
    return failure;
}

template<typename R, typename Fn>
R guarded(FailureReason& reason, R failure, Fn&& body) noexcept
{
    return guarded(reason, failure, std::forward<Fn>(body), [] {});
}

// For exports without a result.
template<typename Fn>
void guarded_void(FailureReason& reason, Fn&& body) noexcept
{
    struct Nothing {
        bool operator==(const Nothing&) const { return true; }
    };
    guarded(
        reason, Nothing {},
        [&] {
            body();
            return Nothing {};
        },
        [] {});
}

} // namespace fsprobe
