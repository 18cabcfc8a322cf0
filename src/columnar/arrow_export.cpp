// Export of built arrays through the Arrow C data and stream interfaces.
#include <cstring>
#include <string>
#include <vector>

#include "columnar/arrow_table.hpp"

namespace orbisk::columnar {

std::string encode_field_metadata(const FieldMetadata& pairs) {
    std::string out;
    auto put_i32 = [&](std::int32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    put_i32(static_cast<std::int32_t>(pairs.size()));
    for (const auto& [k, v] : pairs) {
        put_i32(static_cast<std::int32_t>(k.size()));
        out += k;
        put_i32(static_cast<std::int32_t>(v.size()));
        out += v;
    }
    return out;
}

std::optional<FieldMetadata> decode_field_metadata(const char* bytes) {
    FieldMetadata out;
    if (!bytes) return out;
    auto get_i32 = [&](const char*& p) {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        p += 4;
        return v;
    };
    const char* p = bytes;
    const std::int32_t n = get_i32(p);
    if (n < 0) return std::nullopt;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t klen = get_i32(p);
        if (klen < 0) return std::nullopt;
        std::string k(p, static_cast<std::size_t>(klen));
        p += klen;
        const std::int32_t vlen = get_i32(p);
        if (vlen < 0) return std::nullopt;
        std::string v(p, static_cast<std::size_t>(vlen));
        p += vlen;
        out.emplace_back(std::move(k), std::move(v));
    }
    return out;
}

std::optional<std::string> field_metadata_value(const char* bytes, std::string_view key) {
    auto pairs = decode_field_metadata(bytes);
    if (!pairs) return std::nullopt;
    for (auto& [k, v] : *pairs)
        if (k == key) return std::move(v);
    return std::nullopt;
}

namespace {

// What an exported schema owns: its strings and its children.
struct SchemaPrivate {
    std::string format, name, metadata;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* s) {
    if (!s || !s->release) return;
    auto* p = static_cast<SchemaPrivate*>(s->private_data);
    for (ArrowSchema& c : p->children)
        if (c.release) c.release(&c);
    delete p;
    s->release = nullptr;
}

// What an exported array owns: the table, the buffer and child pointer arrays.
struct ArrayPrivate {
    std::shared_ptr<const ArrowTable> owner;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_ptrs;
};

void release_array(ArrowArray* a) {
    if (!a || !a->release) return;
    auto* p = static_cast<ArrayPrivate*>(a->private_data);
    for (ArrowArray& c : p->children)
        if (c.release) c.release(&c);
    delete p;
    a->release = nullptr;
}

}  // namespace

void export_schema(const ArrowColumn& column, ArrowSchema* out) {
    auto* p = new SchemaPrivate;
    p->format = column.format;
    p->name = column.name;
    if (!column.metadata.empty()) p->metadata = encode_field_metadata(column.metadata);
    p->children.resize(column.children.size());
    p->child_ptrs.resize(column.children.size());
    for (std::size_t i = 0; i < column.children.size(); ++i) {
        export_schema(column.children[i], &p->children[i]);
        p->child_ptrs[i] = &p->children[i];
    }
    out->format = p->format.c_str();
    out->name = p->name.c_str();
    out->metadata = column.metadata.empty() ? nullptr : p->metadata.data();
    out->flags = ARROW_FLAG_NULLABLE;
    out->n_children = static_cast<std::int64_t>(p->children.size());
    out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = p;
}

void export_array(const std::shared_ptr<const ArrowTable>& owner, const ArrowColumn& column, ArrowArray* out) {
    auto* p = new ArrayPrivate;
    p->owner = owner;
    for (const Buffer& b : column.buffers) p->buffers.push_back(b.data);
    p->children.resize(column.children.size());
    p->child_ptrs.resize(column.children.size());
    for (std::size_t i = 0; i < column.children.size(); ++i) {
        export_array(owner, column.children[i], &p->children[i]);
        p->child_ptrs[i] = &p->children[i];
    }
    out->length = column.length;
    out->null_count = column.null_count;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(p->buffers.size());
    out->n_children = static_cast<std::int64_t>(p->children.size());
    out->buffers = p->buffers.empty() ? nullptr : p->buffers.data();
    out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = p;
}

namespace {

struct StreamPrivate {
    std::shared_ptr<const ArrowTable> table;
    std::size_t next = 0;
    std::string error;
};

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    export_schema(p->table->schema, out);
    return 0;
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    if (p->next >= p->table->batches.size()) {
        std::memset(out, 0, sizeof *out);  // release null: the end of the stream
        return 0;
    }
    export_array(p->table, p->table->batches[p->next++], out);
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream* s) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    return p->error.empty() ? nullptr : p->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
    if (!s || !s->release) return;
    delete static_cast<StreamPrivate*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

void export_stream(std::shared_ptr<const ArrowTable> table, ArrowArrayStream* out) {
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = new StreamPrivate{std::move(table), 0, {}};
}

}  // namespace orbisk::columnar
