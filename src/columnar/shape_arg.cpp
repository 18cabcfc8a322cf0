#include "columnar/shape_arg.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/query/multi_polygon.hpp"
#include "engine/util/text.hpp"
#include "python/args.hpp"

namespace orbisk::py {

namespace {

bool is_sequence(PyObject* o) {
    if (PyList_Check(o) || PyTuple_Check(o)) return true;
    return !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) && !PyDict_Check(o) && PySequence_Check(o);
}

// A list or a tuple with the items of a sequence (a list stays itself).
Ref sequence_of(PyObject* o) {
    if (PyList_Check(o) || PyTuple_Check(o)) return Ref::borrow(o);
    return Ref::steal(PySequence_Tuple(o));
}

Py_ssize_t length_of(PyObject* seq) { return PyList_Check(seq) ? PyList_Size(seq) : PyTuple_Size(seq); }

// A new reference to item i of a list or tuple; a list may have been changed
// by a conversion's user code meanwhile, so callers check the length first.
Ref item_of(PyObject* seq, Py_ssize_t i) {
    return Ref::borrow(PyList_Check(seq) ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i));
}

PyObject* mapping_type() {
    static PyObject* type = [] {
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        return abc ? PyObject_GetAttrString(abc.get(), "Mapping") : nullptr;
    }();
    return type;
}

class ShapeReader {
public:
    explicit ShapeReader(const char* arg) : arg_(arg) {}

    bool read(PyObject* obj) {
        if (PyList_Check(obj)) {
            // One ring of (lon, lat) tuples, as query_polygon takes it.
            PartRings& part = parts_.emplace_back();
            return polygon_vertices(obj, part.emplace_back());
        }
        int mapping = is_mapping(obj);
        if (mapping < 0) return false;
        if (mapping) return read_geo(obj, "");
        Ref geo = Ref::steal(PyObject_GetAttrString(obj, "__geo_interface__"));
        if (!geo) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            return type_error(
                cat("expected a list of (lon, lat) tuples, a GeoJSON Polygon or MultiPolygon mapping, "
                    "or an object with __geo_interface__, not '",
                    type_name(obj), "'"));
        }
        mapping = is_mapping(geo.get());
        if (mapping < 0) return false;
        if (!mapping)
            return type_error(cat("the __geo_interface__ of '", type_name(obj), "' is a '", type_name(geo.get()),
                                  "', not a mapping"));
        return read_geo(geo.get(), "");
    }

    std::vector<PartRings> take_parts() { return std::move(parts_); }

private:
    // 1 for a dict or a collections.abc.Mapping, 0 for anything else, -1 on an error.
    static int is_mapping(PyObject* o) {
        if (PyDict_Check(o)) return 1;
        if (PyList_Check(o) || PyTuple_Check(o) || PyUnicode_Check(o)) return 0;
        PyObject* type = mapping_type();
        return type ? PyObject_IsInstance(o, type) : -1;
    }

    bool type_error(const std::string& what) {
        const std::string msg = cat("argument '", arg_, "': ", what);
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }

    // The member `key` of a mapping: null with no error when it is missing.
    static Ref member(PyObject* m, const char* key) {
        if (PyDict_Check(m)) return Ref::borrow(PyDict_GetItemString(m, key));
        Ref v = Ref::steal(PyMapping_GetItemString(m, key));
        if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
        return v;
    }

    // A GeoJSON-like mapping; `where` says which member of a collection it is.
    bool read_geo(PyObject* m, const std::string& where) {
        if (Py_EnterRecursiveCall(" while reading a polygon")) return false;
        const bool ok = read_geo_member(m, where);
        Py_LeaveRecursiveCall();
        return ok;
    }

    bool read_geo_member(PyObject* m, const std::string& where) {
        Ref type = member(m, "type");
        if (!type) {
            if (PyErr_Occurred()) return false;
            return type_error(cat(where, "a mapping without a \"type\": a GeoJSON Polygon or MultiPolygon is wanted"));
        }
        if (!PyUnicode_Check(type.get()))
            return type_error(cat(where, "the \"type\" is a '", type_name(type.get()), "', not a string"));
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(type.get(), &n);
        if (!s) return false;
        const std::string_view name(s, static_cast<std::size_t>(n));
        if (name == "Polygon") {
            Ref rings;
            if (!coordinates(m, name, where, rings)) return false;
            return polygon(rings.get(), cat(where, "the Polygon's coordinates"));
        }
        if (name == "MultiPolygon") {
            Ref polygons;
            if (!coordinates(m, name, where, polygons)) return false;
            for (Py_ssize_t i = 0; i < length_of(polygons.get()); ++i) {
                Ref p = item_of(polygons.get(), i);
                if (!p || !polygon(p.get(), cat(where, "polygon ", i, " of the MultiPolygon"))) return false;
            }
            return true;
        }
        if (name == "Feature") {
            Ref geometry = member(m, "geometry");
            if (!geometry && PyErr_Occurred()) return false;
            if (!geometry || geometry.get() == Py_None) return type_error(cat(where, "a Feature without a geometry"));
            return collected(geometry.get(), where, "the Feature's geometry");
        }
        if (name == "FeatureCollection" || name == "GeometryCollection") {
            const bool features = name == "FeatureCollection";
            const char* key = features ? "features" : "geometries";
            Ref list = member(m, key);
            if (!list && PyErr_Occurred()) return false;
            if (!list || !is_sequence(list.get()))
                return type_error(cat(where, "the ", name, "'s \"", key, "\" is ",
                                      list ? cat("a '", type_name(list.get()), "'") : std::string("missing"),
                                      ", not a list"));
            Ref seq = sequence_of(list.get());
            if (!seq) return false;
            for (Py_ssize_t i = 0; i < length_of(seq.get()); ++i) {
                Ref g = item_of(seq.get(), i);
                if (!g || !collected(g.get(), where, cat(features ? "feature " : "geometry ", i))) return false;
            }
            return true;
        }
        return type_error(cat(where, "a GeoJSON ", name,
                              " is not a polygon: a Polygon or a MultiPolygon is wanted, or a Feature, "
                              "FeatureCollection or GeometryCollection of them"));
    }

    // A member of a collection (or a Feature's geometry), which must be a mapping.
    bool collected(PyObject* g, const std::string& where, const std::string& what) {
        const int mapping = is_mapping(g);
        if (mapping < 0) return false;
        if (!mapping) return type_error(cat(where, what, " is a '", type_name(g), "', not a mapping"));
        return read_geo(g, cat(where, what, ": "));
    }

    bool coordinates(PyObject* m, std::string_view name, const std::string& where, Ref& out) {
        Ref c = member(m, "coordinates");
        if (!c && PyErr_Occurred()) return false;
        if (!c || !is_sequence(c.get()))
            return type_error(cat(where, "the ", name, "'s \"coordinates\" are ",
                                  c ? cat("a '", type_name(c.get()), "'") : std::string("missing"), ", not a list"));
        out = sequence_of(c.get());
        return static_cast<bool>(out);
    }

    // The rings of one polygon; a polygon without rings is empty and adds no part.
    bool polygon(PyObject* rings_obj, const std::string& what) {
        if (!is_sequence(rings_obj))
            return type_error(cat(what, " is a '", type_name(rings_obj), "', not a list of rings"));
        Ref rings = sequence_of(rings_obj);
        if (!rings) return false;
        if (length_of(rings.get()) == 0) return true;
        const std::size_t p = parts_.size();
        parts_.emplace_back();
        for (Py_ssize_t r = 0; r < length_of(rings.get()); ++r) {
            Ref ring = item_of(rings.get(), r);
            if (!ring) return false;
            std::vector<Vertex> vertices;
            if (!read_ring(ring.get(), p, static_cast<std::size_t>(r), vertices)) return false;
            parts_[p].push_back(std::move(vertices));
        }
        return true;
    }

    bool read_ring(PyObject* ring_obj, std::size_t p, std::size_t r, std::vector<Vertex>& out) {
        const auto where = [&] { return cat("polygon part ", p, ", ring ", r); };
        if (!is_sequence(ring_obj))
            return type_error(
                cat(where(), ": a ring is a list of [lon, lat] positions, not a '", type_name(ring_obj), "'"));
        Ref ring = sequence_of(ring_obj);
        if (!ring) return false;
        out.reserve(static_cast<std::size_t>(length_of(ring.get())));
        for (Py_ssize_t v = 0; v < length_of(ring.get()); ++v) {
            Ref position = item_of(ring.get(), v);
            if (!position) return false;
            const auto at = [&] { return cat(where(), ", vertex ", v); };
            if (!is_sequence(position.get()))
                return type_error(
                    cat(at(), ": a position is a [lon, lat] list, not a '", type_name(position.get()), "'"));
            Ref pos = sequence_of(position.get());
            if (!pos) return false;
            double xy[2];
            for (Py_ssize_t i = 0; i < 2; ++i) {
                if (length_of(pos.get()) <= i)
                    return type_error(
                        cat(at(), ": a position needs 2 numbers, [lon, lat]; it has ", length_of(pos.get())));
                Ref c = item_of(pos.get(), i);
                if (!c) return false;
                xy[i] = PyFloat_AsDouble(c.get());
                if (xy[i] == -1.0 && PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
                    PyErr_Clear();
                    return type_error(cat(at(), ": a coordinate is a number, not a '", type_name(c.get()), "'"));
                }
            }
            out.push_back(Vertex{xy[0], xy[1]});
        }
        return true;
    }

    const char* arg_;
    std::vector<PartRings> parts_;
};

}  // namespace

bool polygon_shape(PyObject* obj, const char* arg, std::optional<SpatialShape>& out) {
    ShapeReader reader(arg);
    if (!reader.read(obj)) return false;
    auto shape = MultiPolygon::make(reader.take_parts());
    if (!shape) {
        PyErr_SetString(PyExc_ValueError, shape.error().message.c_str());
        return false;
    }
    out.emplace(std::move(*shape));
    return true;
}

}  // namespace orbisk::py
