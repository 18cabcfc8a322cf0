// TextPrecheck: rules a filter out for a record from its stored text alone,
// before the text is validated and read.
//
// A point whose key equals an integer, true, false or null holds that value's
// JSON token in its text: the same characters, between the characters that
// may surround a value. One whose key equals a string holds the string's
// characters between quotes, unless the text writes something in an escape.
// So a text that holds none of an equality's (or an $in's) tokens cannot
// match it, readable or not, and is passed over without being read. An And
// fails when one of its conditions does, an Or when all of its do; every
// other condition (ranges, $ne, $nin, $not, doubles, arrays, objects) may
// match anything, and leaves the decision to the full test.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/query/filter.hpp"

namespace orbisk {

class TextPrecheck {
public:
    explicit TextPrecheck(const FilterExpr& filter);

    // False only if no readable text like this one can match the filter.
    bool may_match(std::string_view text) const;

private:
    struct Token {
        std::string text;
        bool quoted;       // a string, quotes included
        bool after_minus;  // the integer 0, which "-0" also writes
    };
    struct Node {
        enum class Kind { Any, None, Tokens, All, Either };
        Kind kind = Kind::Any;
        std::vector<Token> tokens;   // Tokens: one of them must be in the text
        std::vector<Node> children;  // All, Either
    };

    static Node node_of(const FilterExpr& f);
    bool holds(const Node& node, std::string_view text, bool escapes) const;
    static bool found(const Token& token, std::string_view text, bool escapes);

    Node root_;
};

}  // namespace orbisk
