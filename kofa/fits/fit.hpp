// The frame every fit runs in: the source line of the step being executed,
// and the boundary where a failure gets its one traceback entry.
#pragma once

#include "kofa/ops.hpp"
#include "kofa/traceback.hpp"

#include <cstddef>
#include <exception>

namespace kofa::fits {

// The source line of the current step, reported if the step fails.
class Steps {
  public:
    void operator()(int line) { line_ = line; }
    int line() const { return line_; }

  private:
    int line_ = 0;
};

// Sets the Python exception that matches a C++ one: MemoryError for
// bad_alloc, IndexError for out_of_range, ValueError and OverflowError for
// the argument and range errors, RuntimeError for anything else.
void raise_from(const std::exception& error);

// Runs body(steps), which returns the fit's result, and is the one place
// where a fit's C++ frames meet the interpreter's C frames:
//
// - PythonError: the exception is pending already;
// - a standard C++ exception becomes the matching Python exception;
// - nothing else is caught. Forced unwinding (CPython ends a daemon thread at
//   shutdown with pthread_exit) must pass: swallowing it aborts the process.
//   For the same reason no code below may catch (...) without rethrowing,
//   and no noexcept frame may hold a Ref. kofa itself throws nothing else.
//
// Every failure that stops here gets one traceback entry at the failing step.
template <class Body>
PyObject* run_fit(const char* display_name, Body&& body) {
    Steps step;
    try {
        return body(step).release();
    } catch (const PythonError&) {
    } catch (const std::exception& error) {
        raise_from(error);
    }
    add_traceback_entry(display_name, step.line());
    return nullptr;
}

// Releases a fit's locals, given in the order of the rendering's frame
// (the order in which they are first bound), when the fit returns or fails,
// as the interpreter clears that frame: in that order up to 3.13, in the
// opposite one from 3.14 (compat::kFrameLocalsReleasedLastFirst). Left to
// their destructors, C++ would release them in reverse declaration order
// whatever the interpreter, and glibc, which trims the top of its heap on a
// free that leaves it large, could end the call with another heap than the
// rendering's (docs/performance-records.md, "The rendering's lifetimes"). Declared
// after the locals it names, so that it runs before their destructors.
template <std::size_t Count>
class ReleasedInOrder {
  public:
    template <class... Locals>
    explicit ReleasedInOrder(Locals&... locals) : locals_{&locals...} {}
    ~ReleasedInOrder() {
        if (compat::kFrameLocalsReleasedLastFirst) {
            for (std::size_t local = Count; local-- > 0;) locals_[local]->reset();
        } else {
            for (Ref* local : locals_) local->reset();
        }
    }
    ReleasedInOrder(const ReleasedInOrder&) = delete;
    ReleasedInOrder& operator=(const ReleasedInOrder&) = delete;

  private:
    Ref* locals_[Count];
};

template <class... Locals>
ReleasedInOrder(Locals&...) -> ReleasedInOrder<sizeof...(Locals)>;

// for _ in range(count), with fetching the next pass tagged as `line`.
class RangeLoop {
  public:
    RangeLoop(Steps& step, int line, View count) : step_(step), line_(line), passes_(range_of(step, line, count)) {}
    Ref next() {
        step_(line_);
        return passes_.next();
    }

  private:
    static Ref range_of(Steps& step, int line, View count) {
        step(line);
        return call(View(process.range), count);
    }

    Steps& step_;
    int line_;
    Iterator passes_;
};

}  // namespace kofa::fits
