// The frame every fit runs in: the source line of the step being executed,
// and the boundary where a failure gets its one traceback entry.
#pragma once

#include "kofa/ops.hpp"
#include "kofa/traceback.hpp"

namespace kofa::fits {

// The source line of the current step, reported if the step fails.
class Steps {
  public:
    void operator()(int line) { line_ = line; }
    int line() const { return line_; }

  private:
    int line_ = 0;
};

// Runs body(steps), which returns the fit's result. A Python exception raised
// anywhere in it ends the fit with one traceback entry at the failing step.
template <class Body>
PyObject* run_fit(const char* display_name, Body&& body) {
    Steps step;
    try {
        return body(step).release();
    } catch (const PythonError&) {
        add_traceback_entry(display_name, step.line());
        return nullptr;
    }
}

// for _ in range(count), with fetching the next pass tagged as `line`.
class RangeLoop {
  public:
    RangeLoop(Steps& step, int line, View count) : step_(step), line_(line) {
        step_(line_);
        passes_ = checked(PyObject_GetIter(call(View(process.range), count).get()));
    }
    Ref next() {
        step_(line_);
        PyObject* value = PyIter_Next(passes_.get());
        if (value == nullptr && PyErr_Occurred()) throw PythonError{};
        return Ref::steal(value);
    }

  private:
    Steps& step_;
    int line_;
    Ref passes_;
};

}  // namespace kofa::fits
