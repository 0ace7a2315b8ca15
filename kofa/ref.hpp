// Owned and borrowed references to Python objects.
//
// Ref owns one strong reference and releases it when it goes out of scope;
// it is made either by stealing a new reference (Ref::steal) or by taking an
// extra one on a borrowed object (Ref::borrow). View names an object that
// somebody else keeps alive. Neither converts implicitly to PyObject*, so
// every hand-over to the C API is spelled out with get() or release().
//
// At shutdown the interpreter ends a daemon thread that waits for the GIL
// with pthread_exit, which unwinds the thread's C++ frames without the GIL.
// A Ref then leaves its object alone (the process is exiting), and releasing
// a reference may itself be unwound through, since it can run Python code.
#pragma once

#include "kofa/compat.hpp"

#include <utility>

namespace kofa {

class View {
  public:
    View() = default;
    explicit View(PyObject* object) : object_(object) {}
    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

class Ref {
  public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept(false) {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            drop(old);
        }
        return *this;
    }
    ~Ref() noexcept(false) { drop(object_); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Takes a strong reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    static Ref borrow(View view) { return borrow(view.get()); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller, leaving this Ref empty.
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    // Releases the reference now rather than at the end of the scope.
    void reset() { *this = Ref(); }
    operator View() const { return View(object_); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    explicit Ref(PyObject* object) : object_(object) {}
    static void drop(PyObject* object) {
        if (object == nullptr) return;
        if (compat::interpreter_finalizing() && !compat::thread_holds_gil()) return;
        Py_DECREF(object);
    }
    PyObject* object_ = nullptr;
};

}  // namespace kofa
