// profiling.hpp: call and return events of the module's operations for the profile hook.
#pragma once

#include <Python.h>

#include <optional>

#include "frame/compat.hpp"
#include "frame/owned.hpp"

namespace orb {

// One profiled operation: what its events report, and the code slot that carries it.
struct ProfiledOperation {
    const char *function_name;
    const char *file_name;
    int first_line;
    PyObject *code;  // made at the first profiled call, then kept for the process
};

// The thread's innermost event whose operation is still running. Events that operation
// reports itself name its frame as their caller, so that profilers see them nested in it;
// once Python code runs inside it, the interpreter's frames take over again. Per thread:
// an operation can run Python code that lets another thread in.
class InnermostEvent {
public:
    InnermostEvent() noexcept = default;
    InnermostEvent(const InnermostEvent &) = delete;
    InnermostEvent &operator=(const InnermostEvent &) = delete;
    ~InnermostEvent() { leave(); }

    // The caller to give a new event's frame while `python_frame` is the running one.
    static PyFrameObject *caller_of_new_event(PyFrameObject *python_frame) noexcept;

    // `frame`, begun under `python_frame`, becomes the thread's innermost running event.
    void enter(PyObject *frame, PyFrameObject *python_frame) noexcept;
    // The event that `enter` displaced is the innermost again.
    void leave() noexcept;

private:
    Owned outer_frame_;
    Owned outer_python_frame_;
    bool entered_ = false;
};

// The events of one call of a profiled operation. Without a profile hook, starting costs
// the guard's tests on the caller's thread state, and finishing one test: the state that
// only reported events need is made when a call event is reported.
// `globals` is the dict of the module whose function runs the operation: its events'
// frames carry it, as a Python function's frames carry its module's.
class ProfiledCall {
public:
    ProfiledCall() noexcept = default;
    // `ts` is the calling thread's state, looked up once by the caller for all its events.
    ProfiledCall(ProfiledOperation &operation, PyThreadState *ts, PyObject *globals) noexcept {
        start(operation, ts, globals);
    }
    ProfiledCall(const ProfiledCall &) = delete;
    ProfiledCall &operator=(const ProfiledCall &) = delete;

    void start(ProfiledOperation &operation, PyObject *globals) noexcept {
        start(operation, PyThreadState_Get(), globals);
    }
    void start(ProfiledOperation &operation, PyThreadState *ts, PyObject *globals) noexcept {
        if (compat::profile_hook_active(ts)) status_ = call_event(operation, globals);
    }

    // The call event failed (the hook raised, or its frame could not be made); the error
    // is pending and the operation must not run.
    bool call_event_failed() const noexcept { return status_ < 0; }
    // The call event failed because its frame could not be made, not because the hook raised:
    // making a frame looks names up in the globals, which may run Python code.
    bool event_frame_failed() const noexcept { return status_ == kFrameFailed; }

    // Reports the return event with `result` (borrowed, may be null) and passes it on.
    PyObject *finish(PyObject *result) noexcept {
        if (status_ != 0) {
            events_->innermost.leave();
            return_event(result);
        }
        return result;
    }

private:
    ORB_COLD int call_event(ProfiledOperation &operation, PyObject *globals) noexcept;
    ORB_COLD void return_event(PyObject *result) noexcept;

    struct Events {
        Owned frame;
        InnermostEvent innermost;
    };

    static constexpr int kFrameFailed = -2;
    int status_ = 0;  // 1 events active, 0 no return event follows, < 0 call event failed
    std::optional<Events> events_;  // made by call_event, so present whenever status_ != 0
};

}  // namespace orb
