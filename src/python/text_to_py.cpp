#include "python/text_to_py.hpp"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/metadata/json_reader.hpp"

namespace orbisk::py {

// A recursive reader over the engine's JSON cursor. Every read function
// returns a new reference, or nullptr: with a Python exception set when an
// object could not be made, without one when the text is unreadable.
//
// One reader serves the process from call to call (MetadataToPy takes it
// when no other holds it), so that its buffers and its template of the
// top-level dict outlast a call: a small answer from a store whose points
// share their keys starts from the template the calls before it made.
class TextToPy {
public:
    void use(StringCaches& caches) {
        caches_ = &caches;
        // What one unusual text needed is not kept for every call after it.
        if (scratch_.capacity() > kKeptBufferBytes) std::string().swap(scratch_);
        if (stack_.capacity() * sizeof(stack_[0]) > kKeptBufferBytes) decltype(stack_)().swap(stack_);
    }

    PyObject* metadata(std::string_view text) {
        c_ = json::JsonCursor{text.data(), text.data() + text.size()};
        c_.skip_ws();
        if (!c_.eat('{')) return nullptr;
        Frame frame(stack_);
        bool ordered = false;  // the top level keeps its keys' order: not looked at
        if (!read_members(1, ordered)) return nullptr;
        c_.skip_ws();
        if (!c_.at_end()) return nullptr;
        return top_level_dict(frame.base());
    }

private:
    static constexpr std::size_t kKeptBufferBytes = 1 << 16;

    // At a member: its key, and the cursor past the ':' and white space. A
    // top-level key (position >= 0) that is the template's key there is taken
    // without a look in the key cache; written as the stored text writes it
    // (its bytes between quotes, then the colon), it is matched in one
    // comparison.
    Ref key_object(std::ptrdiff_t position) {
        if (c_.at_end() || *c_.p != '"') return Ref();
        const auto at = static_cast<std::size_t>(position);
        const bool templated = position >= 0 && at < template_keys_.size();
        if (templated) {
            const std::string_view member = template_members_[at];
            if (!member.empty() && static_cast<std::size_t>(c_.end - c_.p) >= member.size() &&
                same_bytes(c_.p, member.data(), member.size())) {
                c_.p += member.size();
                c_.skip_ws();
                return Ref::borrow(template_keys_[at]);
            }
        }
        std::string_view name;
        if (!c_.read_string_view(scratch_, name)) return Ref();
        c_.skip_ws();
        if (!c_.eat(':')) return Ref();
        c_.skip_ws();
        if (templated && template_text_[at] == name) return Ref::borrow(template_keys_[at]);
        return Ref::steal(caches_->key(name));
    }

    PyObject* value_object(int parent_depth) {
        if (c_.at_end()) return nullptr;
        switch (*c_.p) {
            case '{':
                return parent_depth >= kMaxMetadataDepth ? nullptr : object(parent_depth + 1);
            case '[':
                return parent_depth >= kMaxMetadataDepth ? nullptr : array(parent_depth + 1);
            case '"': {
                std::string_view s;
                if (!c_.read_string_view(scratch_, s)) return nullptr;
                return caches_->value(s);
            }
            case 't':
                return literal("true", Py_True);
            case 'f':
                return literal("false", Py_False);
            case 'n':
                return literal("null", Py_None);
            default:
                return number();
        }
    }

    PyObject* literal(std::string_view word, PyObject* obj) {
        if (static_cast<std::size_t>(c_.end - c_.p) < word.size() || std::string_view(c_.p, word.size()) != word)
            return nullptr;
        c_.p += word.size();
        return Py_NewRef(obj);
    }

    PyObject* number() {
        json::Number n;
        if (!c_.read_number(n)) return nullptr;
        switch (n.kind) {
            case json::Number::Kind::U64:
                if (n.u > static_cast<std::uint64_t>(INT64_MAX)) return PyFloat_FromDouble(static_cast<double>(n.u));
                return PyLong_FromUnsignedLongLong(n.u);
            case json::Number::Kind::I64:
                return PyLong_FromLongLong(n.i);
            case json::Number::Kind::Double:
                break;
        }
        return PyFloat_FromDouble(n.d);
    }

    // Elements and members are kept on one stack while their container is
    // read; a container's own part of it starts at `base`.
    class Frame {
    public:
        explicit Frame(std::vector<std::pair<Ref, Ref>>& stack) : stack_(stack), base_(stack.size()) {}
        ~Frame() { stack_.resize(base_); }
        Frame(const Frame&) = delete;
        Frame& operator=(const Frame&) = delete;
        std::size_t base() const { return base_; }

    private:
        std::vector<std::pair<Ref, Ref>>& stack_;
        std::size_t base_;
    };

    PyObject* array(int depth) {
        Frame frame(stack_);
        ++c_.p;
        c_.skip_ws();
        if (!c_.eat(']')) {
            for (;;) {
                Ref item = Ref::steal(value_object(depth));
                if (!item) return nullptr;
                stack_.emplace_back(Ref(), std::move(item));
                c_.skip_ws();
                if (c_.eat(',')) {
                    c_.skip_ws();
                    continue;
                }
                if (c_.eat(']')) break;
                return nullptr;
            }
        }
        const std::size_t n = stack_.size() - frame.base();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < n; ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), stack_[frame.base() + i].second.release());
        return list.release();
    }

    // After an object's '{': reads its members onto the stack, up to and past
    // the closing '}'. With `ordered` true on entry, it tells on return whether
    // the keys came in strictly ascending order.
    bool read_members(int depth, bool& ordered) {
        const std::size_t base = stack_.size();
        std::string_view last;
        c_.skip_ws();
        if (c_.eat('}')) return true;
        for (;;) {
            Ref key = key_object(depth == 1 ? static_cast<std::ptrdiff_t>(stack_.size() - base) : -1);
            if (!key) return false;
            if (ordered) {
                Py_ssize_t n = 0;
                const char* name = PyUnicode_AsUTF8AndSize(key.get(), &n);
                if (!name) return false;
                const std::string_view view(name, static_cast<std::size_t>(n));
                if (stack_.size() > base && !(last < view)) ordered = false;
                last = view;
            }
            Ref value = Ref::steal(value_object(depth));
            if (!value) return false;
            stack_.emplace_back(std::move(key), std::move(value));
            c_.skip_ws();
            if (c_.eat(',')) {
                c_.skip_ws();
                continue;
            }
            return c_.eat('}');
        }
    }

    PyObject* object(int depth) {
        Frame frame(stack_);
        bool ordered = true;
        ++c_.p;
        if (!read_members(depth, ordered)) return nullptr;
        const auto first = stack_.begin() + static_cast<std::ptrdiff_t>(frame.base());
        if (!ordered) {
            // Ascending key order (the keys' UTF-8 is made by now); equal keys
            // stay in reading order, so setting them in turn keeps the last.
            std::stable_sort(first, stack_.end(),
                             [](const auto& a, const auto& b) { return utf8(a.first) < utf8(b.first); });
        }
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (auto it = first; it != stack_.end(); ++it)
            if (PyDict_SetItem(dict.get(), it->first.get(), it->second.get()) != 0) return nullptr;
        return dict.release();
    }

    // The members are set in reading order: an equal key met again keeps its
    // place and takes the new value. A dict for the template's sequence of
    // keys (the usual case: the points of a store mostly share their keys)
    // starts as a copy of the template, sized and laid out already, so that
    // each member replaces a value instead of growing the dict. A sequence
    // met twice in a row becomes the template.
    PyObject* top_level_dict(std::size_t base) {
        const std::size_t n = stack_.size() - base;
        auto same_as = [&](const std::vector<PyObject*>& keys) {
            if (keys.size() != n) return false;
            for (std::size_t i = 0; i < n; ++i)
                if (stack_[base + i].first.get() != keys[i]) return false;
            return true;
        };
        const bool templated = template_ && same_as(template_keys_);
        Ref dict = Ref::steal(templated ? PyDict_Copy(template_.get()) : PyDict_New());
        if (!dict) return nullptr;
        for (std::size_t i = base; i < stack_.size(); ++i)
            if (PyDict_SetItem(dict.get(), stack_[i].first.get(), stack_[i].second.get()) != 0) return nullptr;
        if (!templated) {
            // Only compared: a key of the last dict may be gone by now.
            if (same_as(last_keys_) && !make_template(base)) return nullptr;
            last_keys_.clear();
            for (std::size_t i = base; i < stack_.size(); ++i) last_keys_.push_back(stack_[i].first.get());
        }
        return dict.release();
    }

    // Makes the template of the keys on the stack from `base` on: a dict of
    // its own (a row's dict belongs to the caller once returned) with None
    // for every value, which holds the keys it is matched by.
    bool make_template(std::size_t base) {
        template_ = Ref();
        template_keys_.clear();
        template_text_.clear();
        template_members_.clear();
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return false;
        std::vector<PyObject*> keys;
        std::vector<std::string_view> texts;
        std::vector<std::string> members;
        for (std::size_t i = base; i < stack_.size(); ++i) {
            PyObject* key = stack_[i].first.get();
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &length);
            if (!text || PyDict_SetItem(dict.get(), key, Py_None) != 0) return false;
            const std::string_view view(text, static_cast<std::size_t>(length));
            bool escape_free = true;
            for (const char ch : view)
                escape_free = escape_free && ch != '"' && ch != '\\' && static_cast<unsigned char>(ch) >= 0x20;
            keys.push_back(key);
            texts.push_back(view);
            members.push_back(escape_free ? cat_member(view) : std::string());
        }
        template_ = std::move(dict);
        template_keys_ = std::move(keys);
        template_text_ = std::move(texts);
        template_members_ = std::move(members);
        return true;
    }

    // `"key":`, the start of a member as the stored text writes it.
    static std::string cat_member(std::string_view key) {
        std::string s;
        s.reserve(key.size() + 3);
        s += '"';
        s += key;
        s += "\":";
        return s;
    }

    static std::string_view utf8(const Ref& key) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(key.get(), &n);
        return std::string_view(s, static_cast<std::size_t>(n));
    }

    json::JsonCursor c_{nullptr, nullptr};
    StringCaches* caches_ = nullptr;
    std::string scratch_;
    std::vector<std::pair<Ref, Ref>> stack_;
    // The template: its dict, which holds its keys; their UTF-8 (kept in the
    // key objects); each one's `"key":` when it is written without escapes.
    Ref template_;
    std::vector<PyObject*> template_keys_;
    std::vector<std::string_view> template_text_;
    std::vector<std::string> template_members_;
    std::vector<PyObject*> last_keys_;
};

namespace {

// The process's reader, and whether a MetadataToPy holds it. Never destroyed:
// the interpreter may be gone by then.
TextToPy* shared_reader = nullptr;
bool shared_reader_taken = false;

}  // namespace

MetadataToPy::MetadataToPy(StringCaches& caches) {
    if (!shared_reader) shared_reader = new TextToPy();
    if (!shared_reader_taken) {
        shared_reader_taken = true;
        reader_ = shared_reader;
    } else {
        own_ = std::make_unique<TextToPy>();
        reader_ = own_.get();
    }
    reader_->use(caches);
}

MetadataToPy::~MetadataToPy() {
    if (reader_ == shared_reader) shared_reader_taken = false;
}

PyObject* MetadataToPy::operator()(std::string_view text) { return reader_->metadata(text); }

}  // namespace orbisk::py
