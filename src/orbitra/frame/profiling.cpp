// profiling.cpp: call-event setup and return-event report for the profile hook.
#include "frame/profiling.hpp"

#include <frameobject.h>

#include "frame/failure.hpp"

namespace orb {

namespace {

PyFrameObject *as_frame(const Owned &frame) noexcept {
    return reinterpret_cast<PyFrameObject *>(frame.get());
}

// The innermost running event's frame, and the Python frame that was running when it
// began; each holds a reference. Raw, so that nothing is released when a thread ends.
struct RunningEvent {
    PyObject *frame;
    PyObject *python_frame;
};
// Initial-exec on ELF, as the failure scope: every event reads it.
thread_local RunningEvent t_innermost_event ORB_INITIAL_EXEC_TLS = {nullptr, nullptr};

// Code the hook runs can remove or replace the hook, which would release its object while
// it is still being called; so the object is held across the call.
int call_hook(PyThreadState *ts, PyFrameObject *frame, int what, PyObject *arg) noexcept {
    const Py_tracefunc hook = ts->c_profilefunc;
    const Owned hook_object = Owned::borrow(ts->c_profileobj);
    return hook(hook_object.get(), frame, what, arg);
}

}  // namespace

PyFrameObject *InnermostEvent::caller_of_new_event(PyFrameObject *python_frame) noexcept {
    const RunningEvent &innermost = t_innermost_event;
    if (innermost.frame && innermost.python_frame == reinterpret_cast<PyObject *>(python_frame))
        return reinterpret_cast<PyFrameObject *>(innermost.frame);
    return python_frame;
}

void InnermostEvent::enter(PyObject *frame, PyFrameObject *python_frame) noexcept {
    RunningEvent &innermost = t_innermost_event;
    outer_frame_ = Owned::steal(innermost.frame);
    outer_python_frame_ = Owned::steal(innermost.python_frame);
    innermost.frame = Owned::borrow(frame).release();
    innermost.python_frame = Owned::borrow(reinterpret_cast<PyObject *>(python_frame)).release();
    entered_ = true;
}

void InnermostEvent::leave() noexcept {
    if (!entered_) return;
    entered_ = false;
    RunningEvent &innermost = t_innermost_event;
    // Released only once the thread's record is whole again.
    const Owned frame = Owned::steal(innermost.frame);
    const Owned python_frame = Owned::steal(innermost.python_frame);
    innermost.frame = outer_frame_.release();
    innermost.python_frame = outer_python_frame_.release();
}

int ProfiledCall::call_event(ProfiledOperation &operation, PyObject *globals) noexcept {
    if (making_recursion_entry()) return 0;  // see make_frame
    PyThreadState *ts = PyThreadState_Get();
    Events &events = events_.emplace();
    Owned &frame = events.frame;
    // Without its code object or frame the event cannot be reported; the operation then
    // fails with that error as it would had the hook failed, rather than running on with
    // an error pending and returning a result as if nothing had happened.
    if (!operation.code) {
        operation.code = make_synthetic_code(operation.function_name, operation.file_name,
                                             operation.first_line);
        if (!operation.code) return -1;
    }
    frame = make_frame(ts, operation.code, globals);
    if (!frame) return kFrameFailed;
    PyFrameObject *python_frame = PyEval_GetFrame();
    if (!python_frame && PyErr_Occurred()) return -1;
    compat::set_frame_place(as_frame(frame), operation.first_line,
                            InnermostEvent::caller_of_new_event(python_frame));
    // Making the code object and the frames can run Python code (a key's __eq__ in the
    // module dict, finalisers run by the garbage collector), which may have removed the
    // hook: the operation then runs as if none had been installed.
    if (!ts->c_profilefunc) return 0;

    compat::enter_profile_hook(ts);
    PendingError pending;
    const bool succeeded = call_hook(ts, as_frame(frame), PyTrace_CALL, nullptr) == 0;
    compat::leave_profile_hook_after_call(ts);
    if (!succeeded) return -1;  // the hook's error stays pending; the earlier one is dropped
    pending.restore();
    if (!ts->c_profilefunc) return 0;
    events.innermost.enter(frame.get(), python_frame);
    return 1;
}

void ProfiledCall::return_event(PyObject *result) noexcept {
    PyThreadState *ts = PyThreadState_Get();
    Owned &frame = events_->frame;
    if (!frame || !compat::tracing_flag_set(ts)) return;
    PendingError pending;
    compat::enter_profile_hook(ts);
    if (ts->c_profilefunc) call_hook(ts, as_frame(frame), PyTrace_RETURN, result);
    frame.reset();
    compat::leave_profile_hook_after_return(ts);
    pending.restore();  // also drops any error the hook raised
}

}  // namespace orb
