// A filter document is a dict of conditions: "$or" / "$and" lists of
// documents, a "$not" document, and field keys whose value is either a value to
// equal or a dict of operators ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte",
// "$in", "$nin"). Several conditions in one document are joined by And.
#include "python/filter_parse.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/util/text.hpp"
#include "python/convert.hpp"

namespace orbisk::py {

namespace {

struct OperatorName {
    const char* text;
    CompareOp op;
};
constexpr OperatorName kOperators[] = {
    {"$eq", CompareOp::Eq}, {"$ne", CompareOp::Ne},   {"$gt", CompareOp::Gt}, {"$gte", CompareOp::Gte},
    {"$lt", CompareOp::Lt}, {"$lte", CompareOp::Lte}, {"$in", CompareOp::In}, {"$nin", CompareOp::Nin},
};

bool value_error(const std::string& msg) {
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
}

// Operands are converted as values found under a top-level metadata key.
constexpr int kOperandParentLevel = 1;

class Parser {
public:
    // One document at nesting depth `depth` (the whole filter is depth 1).
    bool document(PyObject* dict, int depth, FilterExpr& out) {
        if (depth > kMaxFilterDepth) {
            const std::string msg = cat("filter nested deeper than ", kMaxFilterDepth, " levels");
            PyErr_SetString(PyExc_RecursionError, msg.c_str());
            return false;
        }
        if (Py_EnterRecursiveCall(" while parsing a filter")) return false;
        const bool ok = document_body(dict, depth, out);
        Py_LeaveRecursiveCall();
        return ok;
    }

private:
    bool document_body(PyObject* dict, int depth, FilterExpr& out) {
        if (PyDict_Size(dict) == 0) {
            out = FilterExpr::group(FilterExpr::Kind::And, {});
            return true;
        }
        if (PyDict_Size(dict) == 1) {
            // The commonest filter, one field equal to a plain value ({"name": "P12345"}),
            // goes straight to its condition. Anything else takes the walk below.
            Py_ssize_t pos = 0;
            PyObject* k;
            PyObject* v;
            if (PyDict_Next(dict, &pos, &k, &v) && PyUnicode_Check(k) && !PyDict_Check(v)) {
                const Ref key = Ref::borrow(k);
                const Ref value = Ref::borrow(v);
                Py_ssize_t n = 0;
                const char* s = PyUnicode_AsUTF8AndSize(key.get(), &n);
                if (!s) return false;
                if (n > 0 && s[0] != '$') {
                    MetadataValue operand;
                    if (!value_from_py(value.get(), operand, kOperandParentLevel)) return false;
                    // The conversion may have run Python code: the walk's checks, as its next step makes them.
                    if (PyDict_Size(dict) != 1) {
                        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                        return false;
                    }
                    if (PyDict_Next(dict, &pos, &k, &v)) {
                        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                        return false;
                    }
                    out = FilterExpr::compare(std::string(s, static_cast<std::size_t>(n)), CompareOp::Eq,
                                              std::move(operand));
                    return true;
                }
            }
        }
        std::vector<FilterExpr> conditions;
        const bool ok = walk_dict(dict, [&](Ref, std::string_view key, PyObject* value) {
            if (key == "$or" || key == "$and") {
                const auto kind = key == "$or" ? FilterExpr::Kind::Or : FilterExpr::Kind::And;
                if (!PyList_Check(value)) return raise_conversion_error(value, "PyList"), false;
                std::vector<FilterExpr> children;
                if (!walk_list(value, [&](PyObject* item) {
                        if (!PyDict_Check(item)) return raise_conversion_error(item, "PyDict"), false;
                        FilterExpr child;
                        if (!document(item, depth + 1, child)) return false;
                        children.push_back(std::move(child));
                        return true;
                    }))
                    return false;
                conditions.push_back(FilterExpr::group(kind, std::move(children)));
                return true;
            }
            if (key == "$not") {
                if (!PyDict_Check(value)) return raise_conversion_error(value, "PyDict"), false;
                std::vector<FilterExpr> child(1);
                if (!document(value, depth + 1, child[0])) return false;
                conditions.push_back(FilterExpr::group(FilterExpr::Kind::Not, std::move(child)));
                return true;
            }
            return field(key, value, conditions);
        });
        if (!ok) return false;
        if (conditions.empty()) return value_error("Invalid query");
        if (conditions.size() == 1)
            out = std::move(conditions[0]);
        else
            out = FilterExpr::group(FilterExpr::Kind::And, std::move(conditions));
        return true;
    }

    // The conditions of field `key` with value `value`.
    bool field(std::string_view key, PyObject* value, std::vector<FilterExpr>& conditions) {
        bool operators = false, plain = false;
        if (PyDict_Check(value)) {
            if (!walk_dict(value, [&](Ref, std::string_view k, PyObject*) {
                    (!k.empty() && k[0] == '$' ? operators : plain) = true;
                    return true;
                }))
                return false;
            if (operators && plain)
                return value_error("query cannot mix operators ($...) and plain fields in one document");
        }
        if (!PyDict_Check(value) || plain) {
            MetadataValue v;
            if (!value_from_py(value, v, kOperandParentLevel)) return false;
            conditions.push_back(FilterExpr::compare(std::string(key), CompareOp::Eq, std::move(v)));
            return true;
        }
        return walk_dict(value, [&](Ref, std::string_view op_text, PyObject* operand) {
            MetadataValue v;
            if (!value_from_py(operand, v, kOperandParentLevel)) return false;
            const OperatorName* found = nullptr;
            for (const auto& o : kOperators)
                if (op_text == o.text) found = &o;
            if (!found) return value_error(cat("Unknown operator: ", op_text));
            if ((found->op == CompareOp::In || found->op == CompareOp::Nin) &&
                !std::holds_alternative<MetadataArray>(v.v))
                return value_error(cat(found->text, " requires an array"));
            conditions.push_back(FilterExpr::compare(std::string(key), found->op, std::move(v)));
            return true;
        });
    }
};

}  // namespace

bool parse_filter(PyObject* dict, FilterExpr& out) { return Parser().document(dict, 1, out); }

bool check_optional_filter(PyObject* obj) {
    if (!obj || obj == Py_None || PyDict_Check(obj)) return true;
    raise_conversion_error(obj, "PyDict", "filter");
    return false;
}

bool parse_optional_filter(PyObject* obj, std::optional<FilterExpr>& out) {
    return !obj || obj == Py_None || parse_filter(obj, out.emplace());
}

}  // namespace orbisk::py
