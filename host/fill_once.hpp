// Tables of objects made once per process.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace shell_worker {

// Fills `holder.*entry.field` with `make(entry)` for each entry whose field is
// still empty: a later initialisation (after an earlier one failed part way)
// keeps what was made.  The holder owns what it is given.  False with an
// error set, leaving the fields made so far.
template <typename Holder, typename Entries, typename Make>
bool fill_once(Holder& holder, const Entries& entries, Make make) noexcept {
    for (const auto& entry : entries) {
        PyObject*& field = holder.*entry.field;
        if (!field) {
            Ref made = make(entry);
            if (!made) {
                return false;
            }
            field = made.release();
        }
    }
    return true;
}

}  // namespace shell_worker
