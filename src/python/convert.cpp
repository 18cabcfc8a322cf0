#include "engine/util/text.hpp"
#include "python/convert.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <unordered_map>
#include <vector>

namespace orbisk::py {

namespace {

constexpr const char* kAllowedTypes = "(allowed: bool, int, float, str, None, list, dict)";

bool too_deep() {
    PyErr_SetString(PyExc_ValueError, "metadata nested deeper than 127 levels");
    return false;
}

// Enters one container level: refuses nesting beyond what stored text can hold
// and guards the C stack through the interpreter's recursion limit.
class Level {
public:
    bool enter(int level) {
        if (level > kMaxMetadataDepth) return too_deep();
        if (Py_EnterRecursiveCall(" while converting metadata")) return false;
        entered_ = true;
        return true;
    }
    ~Level() {
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    bool entered_ = false;
};

// What a Python value is as metadata, containers not yet walked. The checks run
// in a fixed order and the first that succeeds decides.
struct Classified {
    enum Kind { Null, Bool, UInt, NegInt, Double, Str, List, Dict } kind = Null;
    bool b = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0;
    std::string_view s;  // UTF-8 owned by the str object
};

bool has_slot(PyObject* obj, int slot) { return PyType_GetSlot(Py_TYPE(obj), slot) != nullptr; }

// False with a TypeError set for a value of no supported type.
bool classify(PyObject* obj, Classified& c) {
    if (PyBool_Check(obj)) {
        c.kind = Classified::Bool;
        c.b = obj == Py_True;
        return true;
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
            c.kind = Classified::Str;
            c.s = std::string_view(s, static_cast<std::size_t>(n));
            return true;
        }
        PyErr_Clear();  // lone surrogates: not storable text
    }
    // Integers: read directly, or through __index__ for other objects. Types
    // without __index__ skip the call and the exception it would raise.
    if (PyLong_Check(obj) || has_slot(obj, Py_nb_index)) {
        Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
        if (index) {
            const long long v = PyLong_AsLongLong(index.get());
            if (!(v == -1 && PyErr_Occurred())) {
                if (v >= 0) {
                    c.kind = Classified::UInt;
                    c.u = static_cast<std::uint64_t>(v);
                } else {
                    c.kind = Classified::NegInt;
                    c.i = v;
                }
                return true;
            }
        }
        PyErr_Clear();
    }
    // Doubles: a float, or anything with __float__ or __index__.
    if (PyFloat_Check(obj) || has_slot(obj, Py_nb_float) || has_slot(obj, Py_nb_index)) {
        const double d = PyFloat_AsDouble(obj);
        if (!(d == -1.0 && PyErr_Occurred())) {
            if (std::isfinite(d)) {
                c.kind = Classified::Double;
                c.d = d;
            } else {
                c.kind = Classified::Null;
            }
            return true;
        }
        PyErr_Clear();
    }
    if (obj == Py_None) {
        c.kind = Classified::Null;
        return true;
    }
    if (PyList_Check(obj)) {
        c.kind = Classified::List;
        return true;
    }
    if (PyDict_Check(obj)) {
        c.kind = Classified::Dict;
        return true;
    }
    const std::string msg = cat("unsupported metadata value type '", type_name(obj), "' ", kAllowedTypes);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

bool list_from_py(PyObject* list, MetadataValue& out, int level) {
    Level guard;
    if (!guard.enter(level)) return false;
    MetadataArray arr;
    if (!walk_list(list, [&](PyObject* item) {
            MetadataValue v;
            if (!value_from_py(item, v, level)) return false;
            arr.push_back(std::move(v));
            return true;
        }))
        return false;
    out = std::move(arr);
    return true;
}

bool object_from_py(PyObject* dict, MetadataValue& out, int level) {
    MetadataMap map;
    if (!metadata_from_py_dict(dict, map, level)) return false;
    MetadataObject obj;
    obj.reserve(map.size());
    for (const auto& entry : map) obj.push_back(entry);
    std::sort(obj.begin(), obj.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out = std::move(obj);
    return true;
}

// Writes metadata text straight from Python objects, as metadata_to_json_text
// would write it for the converted value.
class TextWriter {
public:
    explicit TextWriter(std::string& out) : out_(out) {}

    bool value(PyObject* obj, int parent_level) {
        Classified c;
        if (!classify(obj, c)) return false;
        switch (c.kind) {
            case Classified::Null:
                out_ += "null";
                return true;
            case Classified::Bool:
                out_ += c.b ? "true" : "false";
                return true;
            case Classified::UInt:
                append_integer(c.u);
                return true;
            case Classified::NegInt:
                append_integer(c.i);
                return true;
            case Classified::Double:
                append_json_double(out_, c.d);
                return true;
            case Classified::Str:
                append_json_string(out_, c.s);
                return true;
            case Classified::List:
                return list(obj, parent_level + 1);
            case Classified::Dict:
                return dict(obj, parent_level + 1, /*sorted=*/true);
        }
        return false;
    }

    // Members in the dict's order (top level) or in ascending key order (nested).
    // An equal key met again replaces the earlier value, which keeps its place.
    bool dict(PyObject* obj, int level, bool sorted) {
        Level guard;
        if (!guard.enter(level)) return false;
        Members members;
        const std::size_t start = out_.size();
        bool all_exact = true;
        out_ += '{';
        if (!walk_dict(obj, [&](Ref key, std::string_view name, PyObject* value) {
                all_exact &= PyUnicode_CheckExact(key.get());
                if (!members.empty()) out_ += ',';
                append_json_string(out_, name);
                out_ += ':';
                const std::size_t begin = out_.size();
                if (!this->value(value, level)) return false;
                members.push_back(Member{std::move(key), name, begin, out_.size()});
                return true;
                return true;
            }))
            return false;
        out_ += '}';
        // Keys of exact str type in one dict are distinct texts, and a top-level
        // dict keeps its order: the text is final.
        if (!sorted && all_exact) return true;
        rewrite(start, members, sorted);
        return true;
    }

private:
    struct Member {
        Ref key;  // keeps `name` alive
        std::string_view name;
        std::size_t begin, end;  // the value's text in out_
    };
    // The members of one dict; most dicts fit the inline part.
    class Members {
    public:
        void push_back(Member m) {
            if (n_ < kInline)
                inline_[n_] = std::move(m);
            else
                spill_.push_back(std::move(m));
            ++n_;
        }
        std::size_t size() const { return n_; }
        bool empty() const { return n_ == 0; }
        const Member& operator[](std::size_t i) const { return i < kInline ? inline_[i] : spill_[i - kInline]; }

    private:
        static constexpr std::size_t kInline = 16;
        std::array<Member, kInline> inline_;
        std::vector<Member> spill_;
        std::size_t n_ = 0;
    };

    template <class T>
    void append_integer(T v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, r.ptr);
    }

    void rewrite(std::size_t start, const Members& members, bool sorted) {
        // For each distinct key, the member whose value wins (the last) and the
        // position it is written at (its first occurrence, or its key order).
        std::vector<std::size_t> order(members.size());
        std::iota(order.begin(), order.end(), 0);
        if (sorted)
            std::stable_sort(order.begin(), order.end(),
                             [&](std::size_t a, std::size_t b) { return members[a].name < members[b].name; });
        std::unordered_map<std::string_view, std::size_t> last;
        for (std::size_t i = 0; i < members.size(); ++i) last[members[i].name] = i;
        std::string text;
        text.reserve(out_.size() - start);
        text += '{';
        std::unordered_map<std::string_view, bool> written;
        for (std::size_t i : order) {
            const auto& m = members[i];
            if (written[m.name]) continue;
            written[m.name] = true;
            const auto& winner = members[last[m.name]];
            if (text.size() > 1) text += ',';
            append_json_string(text, m.name);
            text += ':';
            text.append(out_, winner.begin, winner.end - winner.begin);
        }
        text += '}';
        out_.resize(start);
        out_ += text;
    }

    bool list(PyObject* obj, int level) {
        Level guard;
        if (!guard.enter(level)) return false;
        out_ += '[';
        bool first = true;
        if (!walk_list(obj, [&](PyObject* item) {
                if (!first) out_ += ',';
                first = false;
                return value(item, level);
            }))
            return false;
        out_ += ']';
        return true;
    }

    std::string& out_;
};

}  // namespace

bool value_from_py(PyObject* obj, MetadataValue& out, int parent_level) {
    Classified c;
    if (!classify(obj, c)) return false;
    switch (c.kind) {
        case Classified::Null:
            out = MetadataValue{};
            return true;
        case Classified::Bool:
            out = c.b;
            return true;
        case Classified::UInt:
            out = c.u;
            return true;
        case Classified::NegInt:
            out = c.i;
            return true;
        case Classified::Double:
            out = c.d;
            return true;
        case Classified::Str:
            out = std::string(c.s);
            return true;
        case Classified::List:
            return list_from_py(obj, out, parent_level + 1);
        case Classified::Dict:
            return object_from_py(obj, out, parent_level + 1);
    }
    return false;
}

bool metadata_from_py_dict(PyObject* dict, MetadataMap& out, int level) {
    Level guard;
    if (!guard.enter(level)) return false;
    out.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(PyDict_Size(dict), 0)));
    return walk_dict(dict, [&](Ref, std::string_view name, PyObject* value) {
        MetadataValue mv;
        if (!value_from_py(value, mv, level)) return false;
        out.insert_or_assign(std::string(name), std::move(mv));
        return true;
    });
}

bool metadata_text_from_py_dict(PyObject* dict, std::string& out) {
    const std::size_t start = out.size();
    if (TextWriter(out).dict(dict, 1, /*sorted=*/false)) return true;
    out.resize(start);
    return false;
}

}  // namespace orbisk::py
