// TextRecords: the records a read hands to the row builder. Each is a point's
// slot id, its coordinates and its stored metadata text, copied out of the
// mapping, which a writer may move once the read's storage lock is released.
// The builder turns the text into Python objects in one pass, so no value is
// built twice; it drops a record whose text is unreadable, as every read drops
// such a point (a scan that must count records checks the texts itself).
// Parallel pieces keep the buffers they were filled in and are handed over
// whole: no text is copied twice either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orbisk {

class TextRecords {
public:
    struct Record {
        std::uint64_t slot;
        double lat;
        double lon;
        std::string_view text;
    };

    void add(std::uint64_t slot, double lat, double lon, std::string_view text) {
        if (pieces_.empty()) pieces_.emplace_back();
        Piece& p = pieces_.back();
        p.text.append(text);
        p.entries.push_back(Entry{slot, lat, lon, p.text.size()});
        ++size_;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Makes room for `records` more records of `text_bytes` of text in all.
    void reserve(std::size_t records, std::size_t text_bytes) {
        if (pieces_.empty()) pieces_.emplace_back();
        Piece& p = pieces_.back();
        p.entries.reserve(p.entries.size() + records);
        p.text.reserve(p.text.size() + text_bytes);
    }

    // Moves the records of `other` after these.
    void append(TextRecords&& other) {
        for (Piece& p : other.pieces_)
            if (!p.entries.empty()) pieces_.push_back(std::move(p));
        size_ += other.size_;
        other.pieces_.clear();
        other.size_ = 0;
    }
    // Keeps the first n records.
    void truncate(std::size_t n) {
        if (n >= size_) return;
        std::size_t kept = 0;
        std::size_t i = 0;
        for (; i < pieces_.size() && kept < n; ++i) {
            Piece& p = pieces_[i];
            if (kept + p.entries.size() > n) {
                p.entries.resize(n - kept);
                p.text.resize(p.entries.empty() ? 0 : p.entries.back().end);
            }
            kept += p.entries.size();
        }
        pieces_.resize(i);
        size_ = n;
    }

    // Calls f(const Record&) -> bool for every record, in order, until it
    // returns false; returns false then, true when every record was seen.
    template <class F>
    bool for_each(F f) const {
        for (const Piece& p : pieces_) {
            std::size_t begin = 0;
            for (const Entry& e : p.entries) {
                if (!f(Record{e.slot, e.lat, e.lon, std::string_view(p.text).substr(begin, e.end - begin)}))
                    return false;
                begin = e.end;
            }
        }
        return true;
    }

    // The same for the records numbered [begin, end) in order.
    template <class F>
    bool for_each_in(std::size_t begin, std::size_t end, F f) const {
        std::size_t at = 0;
        for (const Piece& p : pieces_) {
            const std::size_t n = p.entries.size();
            if (at + n <= begin) {
                at += n;
                continue;
            }
            if (at >= end) break;
            for (std::size_t i = begin > at ? begin - at : 0; i < n && at + i < end; ++i) {
                const Entry& e = p.entries[i];
                const std::size_t from = i == 0 ? 0 : p.entries[i - 1].end;
                if (!f(Record{e.slot, e.lat, e.lon, std::string_view(p.text).substr(from, e.end - from)})) return false;
            }
            at += n;
        }
        return true;
    }

private:
    struct Entry {
        std::uint64_t slot;
        double lat;
        double lon;
        std::size_t end;  // the text ends here in the piece's buffer
    };
    struct Piece {
        std::vector<Entry> entries;
        std::string text;
    };
    std::vector<Piece> pieces_;
    std::size_t size_ = 0;
};

}  // namespace orbisk
