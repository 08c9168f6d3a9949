#pragma once

// Argument conversions of the module whose rules differ from nanobind's own
// casters, each with the Python type name the signatures show.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pauli/pauli_word.h"

namespace velmora_module {

/// A signed 32-bit thread count. Converts an exact `int` in range; any other
/// object except a `float` goes through the interpreter's int() conversion
/// (so bool, NumPy integers and integer literals in str/bytes convert).
struct ThreadCount {
    std::int32_t value = 0;
};

/// The UTF-8 bytes of a `str` (embedded NULs kept). `out_of_memory` marks a
/// conversion whose copy could not be allocated: the bound function reports it
/// as MemoryError, since a caster itself may not throw.
struct Utf8Text {
    std::string bytes;
    bool out_of_memory = false;
};

/// Copies of the core words of a sequence of `PauliWord`, in order, with the
/// same out-of-memory marker as `Utf8Text`.
struct WordList {
    std::vector<velmora::PauliWord> words;
    bool out_of_memory = false;
};

}  // namespace velmora_module

NAMESPACE_BEGIN(NB_NAMESPACE)
NAMESPACE_BEGIN(detail)

template <> struct type_caster<velmora_module::ThreadCount> {
    NB_TYPE_CASTER(velmora_module::ThreadCount, const_name("int"))

    static bool from_exact_int(PyObject* o, std::int32_t& out) noexcept {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        if (v < INT32_MIN || v > INT32_MAX) {
            return false;
        }
        out = static_cast<std::int32_t>(v);
        return true;
    }

    bool from_python(handle src, uint32_t flags, cleanup_list*) noexcept {
        PyObject* o = src.ptr();
        if (PyLong_CheckExact(o)) {
            return from_exact_int(o, value.value);
        }
        if (!(flags & cast_flags::convert) || PyFloat_Check(o)) {
            return false;
        }
        PyObject* converted = PyNumber_Long(o);
        if (converted == nullptr) {
            PyErr_Clear();
            return false;
        }
        const bool ok = PyLong_CheckExact(converted) && from_exact_int(converted, value.value);
        Py_DECREF(converted);
        return ok;
    }

    static handle from_cpp(velmora_module::ThreadCount v, rv_policy, cleanup_list*) noexcept {
        return PyLong_FromLong(v.value);
    }
};

template <> struct type_caster<velmora_module::Utf8Text> {
    NB_TYPE_CASTER(velmora_module::Utf8Text, const_name("str"))

    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        if (!PyUnicode_Check(src.ptr())) {
            return false;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
        if (text == nullptr) {
            PyErr_Clear();
            return false;
        }
        try {
            value.bytes.assign(text, static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            value.bytes = std::string();
            value.out_of_memory = true;
        }
        return true;
    }

    static handle from_cpp(const velmora_module::Utf8Text& v, rv_policy, cleanup_list*) noexcept {
        return PyUnicode_FromStringAndSize(v.bytes.data(), (Py_ssize_t) v.bytes.size());
    }
};

template <> struct type_caster<velmora_module::WordList> {
    using WordCaster = make_caster<velmora::PauliWord>;
    NB_TYPE_CASTER(velmora_module::WordList,
                   io_name("collections.abc.Sequence", "list") + const_name("[") +
                       WordCaster::Name + const_name("]"))

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        std::size_t size = 0;
        PyObject* temp = nullptr;
        // Exact str and bytes are refused; list and tuple are read in place;
        // other sequences go through tuple(); everything else is refused.
        PyObject** items = NB_CALL(seq_get)(src.ptr(), &size, &temp);
        bool ok = items != nullptr;
        try {
            value.words.clear();
            if (ok) {
                value.words.reserve(size);
            }
            flags = flags_for_local_caster<velmora::PauliWord>(flags);
            for (std::size_t i = 0; ok && i < size; ++i) {
                WordCaster caster;
                if (!caster.from_python(items[i], flags, cleanup) ||
                    !caster.template can_cast<velmora::PauliWord>()) {
                    ok = false;
                    break;
                }
                value.words.push_back(caster.operator cast_t<velmora::PauliWord>());
            }
        } catch (const std::bad_alloc&) {
            value.words = std::vector<velmora::PauliWord>();
            value.out_of_memory = true;
        }
        Py_XDECREF(temp);
        return ok;
    }

    static handle from_cpp(const velmora_module::WordList&, rv_policy, cleanup_list*) noexcept {
        return handle();
    }
};

NAMESPACE_END(detail)
NAMESPACE_END(NB_NAMESPACE)
