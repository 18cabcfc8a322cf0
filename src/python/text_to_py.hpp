// Stored metadata text to Python objects, in one pass: the reader's rules
// (engine/metadata/metadata.hpp, metadata_from_json_text) with Python objects
// built as each value is read, so no value is built twice on the way to a row.
#pragma once

#include <memory>
#include <string_view>

#include "python/py_util.hpp"
#include "python/string_caches.hpp"

namespace orbisk::py {

class TextToPy;

// Turns stored texts into metadata dicts, one after another, with the strings
// of `caches` (which must outlive it); it keeps what one dict teaches about
// the next, and what one call teaches about the next. Used with the
// interpreter lock held.
class MetadataToPy {
public:
    explicit MetadataToPy(StringCaches& caches);
    ~MetadataToPy();
    MetadataToPy(const MetadataToPy&) = delete;
    MetadataToPy& operator=(const MetadataToPy&) = delete;

    // The metadata dict of a stored text, as the text reader and the conversion
    // of its values would make it: integers that fit 64 bits stay integers
    // (those of 2^63 and above become floats), other numbers are floats; nested
    // dicts hold their keys in ascending byte order with the last of equal keys;
    // top-level keys come in the order they first appear, with their last value.
    //
    // Returns a new reference; nullptr with a Python exception set when an
    // object cannot be made; nullptr with none set when the text is unreadable
    // (what metadata_from_json_text gives nothing for).
    PyObject* operator()(std::string_view text);

private:
    TextToPy* reader_;
    std::unique_ptr<TextToPy> own_;  // when the process's reader is in use
};

}  // namespace orbisk::py
