// SPDX-License-Identifier: MIT
#pragma once

// The entry guard and the request path of the companion's functions.
//
// The guard is lamiro's (run_entry_point), with one difference: the
// companion has no PanicException. An internal fault (a broken invariant,
// which the argument checks are there to prevent) becomes SystemError
// naming the fault, and a size that cannot even be represented
// ("capacity overflow") MemoryError, like every exhaustion of memory.

#include <Python.h>

#include <string>
#include <utility>

#include "common/internal_fault.hpp"
#include "module/errors.hpp"
#include "optics/grid_request.hpp"

namespace lamiro::design {

PyError fault_error(const InternalFault& fault);

template <class Body>
PyObject* design_entry_point(Body&& body) noexcept {
    return run_entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
        try {
            return std::forward<Body>(body)();
        } catch (const InternalFault& fault) {
            throw fault_error(fault);
        }
    });
}

// The interpreter lock, released for the lifetime of the object and taken
// again when it ends (also when an exception passes).
class ReleasedInterpreterLock {
public:
    ReleasedInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
    ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
    ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// Evaluates the grid (grid_request.hpp). A request that goes to the pool
// runs without the interpreter lock, so other Python threads go on
// meanwhile: `body` reads only the call's own copies and writes only output
// memory that no Python code can see yet, and touches no interpreter
// object.
template <class Body>
void run_request(const GridShape& shape, Body&& body) {
    if (grid_runs_on_pool(shape)) {
        ReleasedInterpreterLock released;
        evaluate_grid(shape, body);
    } else {
        evaluate_grid(shape, body);
    }
}

}  // namespace lamiro::design
