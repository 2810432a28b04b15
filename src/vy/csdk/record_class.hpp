// record_class.hpp - what the module remembers of each record class it made,
// so that the reads a strategy makes for every tick and bar take a short
// path while the class is as it was made.
//
// A class counts as unchanged while the interpreter has not modified it since
// it was last checked: up to 3.11 its version tag tells (any change clears
// the valid-tag flag), from 3.12 on a type watcher (3.13 no longer keeps that
// flag).  Then its `data` is our slot, and each name of the field table still
// resolves to the property the module made for it.
#ifndef CSDK_RECORD_CLASS_HPP
#define CSDK_RECORD_CLASS_HPP

#include <cstdint>

#include "ref.hpp"

namespace csdk {

constexpr int kMaxFields = 16;
constexpr int kFieldSlots = 32;  // open addressing, at most half full

struct RecordClass {
    // All owned for the process, so a pointer match can never be a recycled
    // address.  What every read needs comes first, the table right after.
    PyObject *type;
    Py_ssize_t offset;                  // where the slot keeps `data`
    bool current;                       // unchanged since last checked
#if PY_VERSION_HEX < 0x030C0000
    unsigned int tag;                   // the version tag it was checked at
#endif
    PyObject *table[kFieldSlots];       // the names still ours, by pointer hash; NULL: empty
    PyObject *slot;                     // the `data` member descriptor
    PyObject *names[kMaxFields];        // the fields' interned names
    PyObject *props[kMaxFields];        // the property made for each
    int nfields;

    PyTypeObject *tp() const noexcept { return reinterpret_cast<PyTypeObject *>(type); }

    /// Whether the class is as it was when last checked.
    bool unchanged() const noexcept {
#ifdef Py_GIL_DISABLED
        // Set once when the class is made, cleared for good by its first
        // change: the table is never written while other threads read it.
        return __atomic_load_n(&current, __ATOMIC_ACQUIRE);
#elif PY_VERSION_HEX >= 0x030C0000
        return current;
#else
        return current && tp()->tp_version_tag == tag && (tp()->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG);
#endif
    }

    static unsigned slot_of(const PyObject *name) noexcept {
        return static_cast<unsigned>((reinterpret_cast<uintptr_t>(name) >> 4) * 0x9E3779B1u) >> 27;
    }

    /// Whether `name` (compared by identity: attribute names are interned)
    /// is a field whose property is still the one the module made.
    bool is_field(PyObject *name) const noexcept {
        for (unsigned i = slot_of(name);; i = (i + 1) % kFieldSlots) {
            if (table[i] == name)
                return true;
            if (!table[i])
                return false;
        }
    }

    /// Checks the class again after a change: `data` must still be our
    /// slot; fields whose property was replaced leave the table for good.
    /// True when the short path may be taken again (never again on a
    /// free-threaded build, where only fill() at the class's making does).
    bool recheck() noexcept;
    /// Fills the table from the class as it is and marks it current; false
    /// when the short path cannot be taken.
    bool fill() noexcept;
};

}  // namespace csdk

#endif  // CSDK_RECORD_CLASS_HPP
