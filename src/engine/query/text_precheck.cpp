#include "engine/query/text_precheck.hpp"

#include <charconv>
#include <optional>

namespace orbisk {

namespace {

bool json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters that may come right before a value in a JSON text, and right after a number or literal.
bool before_value(char c) { return c == ':' || c == ',' || c == '[' || json_space(c); }
bool after_scalar(char c) { return c == ',' || c == '}' || c == ']' || json_space(c); }

template <class T>
std::string decimal(T v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

TextPrecheck::TextPrecheck(const FilterExpr& filter) : root_(node_of(filter)) {}

TextPrecheck::Node TextPrecheck::node_of(const FilterExpr& f) {
    Node node;
    using Kind = Node::Kind;
    // The token of a value, when it has one that every text holding it writes.
    auto token_of = [](const MetadataValue& v) -> std::optional<Token> {
        if (v.is_null()) return Token{"null", false, false};
        if (const auto* b = std::get_if<bool>(&v.v)) return Token{*b ? "true" : "false", false, false};
        if (const auto* u = std::get_if<std::uint64_t>(&v.v)) return Token{decimal(*u), false, *u == 0};
        if (const auto* i = std::get_if<std::int64_t>(&v.v)) return Token{decimal(*i), false, false};
        if (const auto* s = std::get_if<std::string>(&v.v)) {
            for (unsigned char c : *s)
                if (c == '"' || c == '\\' || c < 0x20) return std::nullopt;  // always written escaped
            return Token{"\"" + *s + "\"", true, false};
        }
        return std::nullopt;  // doubles are written in more than one way; arrays and objects
    };
    switch (f.kind) {
        case FilterExpr::Kind::Compare:
            if (f.op == CompareOp::Eq) {
                if (auto t = token_of(f.operand)) {
                    node.kind = Kind::Tokens;
                    node.tokens.push_back(std::move(*t));
                }
            } else if (f.op == CompareOp::In) {
                const auto* items = std::get_if<MetadataArray>(&f.operand.v);
                if (!items) break;
                std::vector<Token> tokens;
                for (const MetadataValue& item : *items) {
                    auto t = token_of(item);
                    if (!t) return node;
                    tokens.push_back(std::move(*t));
                }
                node.kind = tokens.empty() ? Kind::None : Kind::Tokens;
                node.tokens = std::move(tokens);
            }
            break;
        case FilterExpr::Kind::And:
            for (const FilterExpr& child : f.children) {
                Node c = node_of(child);
                if (c.kind == Kind::None) return c;
                if (c.kind != Kind::Any) node.children.push_back(std::move(c));
            }
            if (!node.children.empty()) node.kind = Kind::All;
            break;
        case FilterExpr::Kind::Or:
            node.kind = Kind::None;
            for (const FilterExpr& child : f.children) {
                Node c = node_of(child);
                if (c.kind == Kind::Any) return c;
                if (c.kind != Kind::None) node.children.push_back(std::move(c));
            }
            if (!node.children.empty()) node.kind = Kind::Either;
            break;
        case FilterExpr::Kind::Not:
            break;
    }
    return node;
}

bool TextPrecheck::may_match(std::string_view text) const {
    if (root_.kind == Node::Kind::Any) return true;
    return holds(root_, text, text.find('\\') != std::string_view::npos);
}

bool TextPrecheck::holds(const Node& node, std::string_view text, bool escapes) const {
    switch (node.kind) {
        case Node::Kind::Any:
            return true;
        case Node::Kind::None:
            return false;
        case Node::Kind::Tokens:
            for (const Token& t : node.tokens)
                if (found(t, text, escapes)) return true;
            return false;
        case Node::Kind::All:
            for (const Node& c : node.children)
                if (!holds(c, text, escapes)) return false;
            return true;
        case Node::Kind::Either:
            for (const Node& c : node.children)
                if (holds(c, text, escapes)) return true;
            return false;
    }
    return true;
}

bool TextPrecheck::found(const Token& token, std::string_view text, bool escapes) {
    // An escape may spell any string's characters.
    if (token.quoted) return escapes || text.find(token.text) != std::string_view::npos;
    for (std::size_t at = text.find(token.text); at != std::string_view::npos; at = text.find(token.text, at + 1)) {
        const std::size_t end = at + token.text.size();
        const bool starts = at > 0 && (before_value(text[at - 1]) || (token.after_minus && text[at - 1] == '-'));
        const bool ends = end == text.size() || after_scalar(text[end]);
        if (starts && ends) return true;
    }
    return false;
}

}  // namespace orbisk
