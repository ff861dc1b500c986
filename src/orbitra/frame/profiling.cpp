// profiling.cpp: call-event setup and return-event report for the profile hook.
#include "frame/profiling.hpp"

#include <frameobject.h>

#include "frame/failure.hpp"
#include "frame/module_state.hpp"

namespace orb {

namespace {

PyFrameObject *as_frame(const Owned &frame) noexcept {
    return reinterpret_cast<PyFrameObject *>(frame.get());
}

}  // namespace

int ProfiledCall::call_event(ProfiledOperation &operation) noexcept {
    PyThreadState *ts = PyThreadState_Get();
    // Without its code object or frame the event cannot be reported; the operation then
    // fails with that error as it would had the hook failed, rather than running on with
    // an error pending and returning a result as if nothing had happened.
    if (!operation.code) {
        operation.code = make_synthetic_code(operation.function_name, operation.file_name,
                                             operation.first_line);
        if (!operation.code) return -1;
    }
    frame_ = Owned::steal(reinterpret_cast<PyObject *>(PyFrame_New(
        ts, reinterpret_cast<PyCodeObject *>(operation.code), g_state.module_dict, nullptr)));
    if (!frame_) return -1;
    compat::set_frame_line(as_frame(frame_), operation.first_line);
    compat::link_frame_to_caller(as_frame(frame_));

    compat::enter_profile_hook(ts);
    PendingError pending;
    const bool succeeded =
        ts->c_profilefunc(ts->c_profileobj, as_frame(frame_), PyTrace_CALL, nullptr) == 0;
    compat::leave_profile_hook_after_call(ts);
    if (!succeeded) return -1;  // the hook's error stays pending; the earlier one is dropped
    pending.restore();
    return ts->c_profilefunc != nullptr ? 1 : 0;
}

void ProfiledCall::return_event(PyObject *result) noexcept {
    PyThreadState *ts = PyThreadState_Get();
    if (!frame_ || !compat::tracing_flag_set(ts)) return;
    PendingError pending;
    compat::enter_profile_hook(ts);
    if (ts->c_profilefunc)
        ts->c_profilefunc(ts->c_profileobj, as_frame(frame_), PyTrace_RETURN, result);
    frame_.reset();
    compat::leave_profile_hook_after_return(ts);
    pending.restore();  // also drops any error the hook raised
}

}  // namespace orb
