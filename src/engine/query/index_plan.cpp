#include "engine/query/index_plan.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>
#include <variant>

namespace orbisk {

namespace {

// Candidates while a plan is made: a sorted list while they are few, a bitmap
// while they are many.
class SlotSet {
public:
    static SlotSet of_list(std::vector<std::uint64_t> slots) {
        SlotSet s;
        s.size_ = slots.size();
        s.list_ = std::move(slots);
        return s;
    }
    static SlotSet of_bits(SlotBitmap bits) {
        SlotSet s;
        s.is_list_ = false;
        s.size_ = bits.count();
        s.bits_ = std::move(bits);
        s.shrink();
        return s;
    }

    std::uint64_t size() const { return size_; }

    void intersect(const SlotSet& o) {
        if (is_list_) {
            std::vector<std::uint64_t> kept;
            kept.reserve(std::min(list_.size(), static_cast<std::size_t>(o.size_)));
            if (o.is_list_)
                std::set_intersection(list_.begin(), list_.end(), o.list_.begin(), o.list_.end(),
                                      std::back_inserter(kept));
            else
                std::copy_if(list_.begin(), list_.end(), std::back_inserter(kept),
                             [&](std::uint64_t s) { return o.bits_.test(s); });
            list_ = std::move(kept);
            size_ = list_.size();
        } else if (o.is_list_) {
            std::vector<std::uint64_t> kept;
            kept.reserve(o.list_.size());
            std::copy_if(o.list_.begin(), o.list_.end(), std::back_inserter(kept),
                         [&](std::uint64_t s) { return bits_.test(s); });
            *this = of_list(std::move(kept));
        } else {
            bits_.and_with(o.bits_);
            size_ = bits_.count();
            shrink();
        }
    }

    void unite(SlotSet&& o) {
        if (is_list_ && o.is_list_) {
            std::vector<std::uint64_t> all;
            all.reserve(list_.size() + o.list_.size());
            std::set_union(list_.begin(), list_.end(), o.list_.begin(), o.list_.end(), std::back_inserter(all));
            *this = of_list(std::move(all));
            return;
        }
        if (is_list_) std::swap(*this, o);
        // *this is a bitmap now.
        if (o.is_list_) {
            if (!o.list_.empty()) bits_.grow(o.list_.back() + 1);
            for (std::uint64_t s : o.list_) bits_.set(s);
        } else {
            bits_.grow(o.bits_.size());
            bits_.or_with(o.bits_);
        }
        size_ = bits_.count();
    }

    std::vector<std::uint64_t> take_slots() && {
        if (is_list_) return std::move(list_);
        std::vector<std::uint64_t> out;
        out.reserve(size_);
        bits_.for_each_set([&](std::uint64_t s) { out.push_back(s); });
        return out;
    }

private:
    // A bitmap of fewer members than words becomes a list: meeting it costs its members then.
    void shrink() {
        if (is_list_ || size_ >= bits_.words().size()) return;
        std::vector<std::uint64_t> slots;
        slots.reserve(size_);
        bits_.for_each_set([&](std::uint64_t s) { slots.push_back(s); });
        *this = of_list(std::move(slots));
    }

    bool is_list_ = true;
    std::vector<std::uint64_t> list_;
    SlotBitmap bits_;
    std::uint64_t size_ = 0;
};

struct Partial {
    SlotSet set;
    bool exact;
};

bool is_range_op(CompareOp op) {
    return op == CompareOp::Gt || op == CompareOp::Gte || op == CompareOp::Lt || op == CompareOp::Lte;
}
bool is_lower(CompareOp op) { return op == CompareOp::Gt || op == CompareOp::Gte; }

// The range conditions of an And on one key, as the tightest bound on each side.
struct RangeAsk {
    std::string_view key;
    std::optional<RangeBound> lower;
    std::optional<RangeBound> upper;
    std::uint64_t estimate = 0;

    void add(CompareOp op, double v) {
        if (is_lower(op)) {
            if (!lower || v > lower->value || (v == lower->value && op == CompareOp::Gt)) lower = RangeBound{op, v};
        } else {
            if (!upper || v < upper->value || (v == upper->value && op == CompareOp::Lt)) upper = RangeBound{op, v};
        }
    }
};

void flatten_and(const FilterExpr& f, std::vector<const FilterExpr*>& out) {
    for (const FilterExpr& child : f.children) {
        if (child.kind == FilterExpr::Kind::And)
            flatten_and(child, out);
        else
            out.push_back(&child);
    }
}

class Planner {
public:
    Planner(const RecordStore& records, MetadataIndexes& indexes, const PlanLimits& limits, const FilterExpr& top)
        : records_(records), indexes_(indexes), limits_(limits), top_(&top), words_(records.next_slot() / 64 + 1) {}

    double spent() const { return spent_; }

    std::optional<Partial> plan(const FilterExpr& f) {
        switch (f.kind) {
            case FilterExpr::Kind::Compare:
                if (is_double_equality(f)) return ask_double_equality(f);
                if (f.op == CompareOp::Eq && &f == top_) return ask_bounded_equality(f);
                if (!is_range_op(f.op)) return ask_value(f);
                if (double v; number_as_double(f.operand, v)) {
                    RangeAsk r{f.key, std::nullopt, std::nullopt};
                    r.add(f.op, v);
                    return ask_range(r);
                }
                return std::nullopt;
            case FilterExpr::Kind::And:
                return plan_and(f);
            case FilterExpr::Kind::Or:
                return plan_or(f);
            case FilterExpr::Kind::Not:
                return std::nullopt;
        }
        return std::nullopt;
    }

private:
    // What an answer costs once its index is built: a lazy build is paid once
    // and serves every later query, as without a plan.
    double value_cost(CompareOp op) const {
        return static_cast<double>(words_) * (op == CompareOp::Eq ? kListCost : kWordCost);
    }
    double range_cost() const { return static_cast<double>(words_) * kRangeWordCost; }
    bool affordable(double cost) const { return spent_ + cost <= limits_.budget; }

    // A double has no single spelling, so the value index holds none; the
    // numeric index's one-value range holds every point whose value equals it
    // as a number (integers of that value too), and the test keeps the doubles.
    std::optional<Partial> ask_double_equality(const FilterExpr& c) {
        const double v = std::get<double>(c.operand.v);
        auto p = ask_range(RangeAsk{c.key, RangeBound{CompareOp::Gte, v}, RangeBound{CompareOp::Lte, v}});
        if (p) p->exact = false;
        return p;
    }

    std::optional<Partial> ask_value(const FilterExpr& c) {
        if (is_double_equality(c)) return ask_double_equality(c);
        const double cost = value_cost(c.op);
        if (!affordable(cost)) return std::nullopt;
        if (c.op == CompareOp::Eq) {
            // Listed while the value's set is small; laid out as a bitmap when large.
            auto slots = indexes_.answer_slots(records_, c.condition(), words_);
            if (!slots) return std::nullopt;
            spent_ += static_cast<double>(slots->size()) * kListCost;
            if (slots->size() < words_) return Partial{SlotSet::of_list(std::move(*slots)), true};
        }
        auto bits = indexes_.answer(records_, c.condition());
        if (!bits) return std::nullopt;
        spent_ += static_cast<double>(words_) * kWordCost;
        return Partial{SlotSet::of_bits(std::move(*bits)), c.op != CompareOp::Nin};
    }

    // An equality that is the whole plan, listed only as far as it is of use.
    std::optional<Partial> ask_bounded_equality(const FilterExpr& c) {
        if (limits_.max_candidates >= words_) return ask_value(c);
        const std::uint64_t most = limits_.max_candidates + 1;
        if (!affordable(static_cast<double>(most) * kListCost)) return std::nullopt;
        auto slots = indexes_.answer_slots(records_, c.condition(), most);
        if (!slots) return std::nullopt;
        spent_ += static_cast<double>(slots->size()) * kListCost;
        if (slots->size() == most) return std::nullopt;
        return Partial{SlotSet::of_list(std::move(*slots)), true};
    }

    std::optional<Partial> ask_range(const RangeAsk& r) {
        const double cost = range_cost();
        if (!affordable(cost)) return std::nullopt;
        spent_ += cost;
        auto bits = indexes_.answer_range(records_, r.key, r.lower, r.upper);
        if (!bits) return std::nullopt;
        return Partial{SlotSet::of_bits(std::move(*bits)), true};
    }

    std::optional<Partial> plan_or(const FilterExpr& f) {
        std::optional<Partial> all;
        for (const FilterExpr& child : f.children) {
            auto p = plan(child);
            if (!p) return std::nullopt;
            if (!all)
                all = std::move(p);
            else {
                all->set.unite(std::move(p->set));
                all->exact = all->exact && p->exact;
            }
        }
        if (!all) return Partial{SlotSet::of_list({}), true};  // an empty Or matches nothing
        return all;
    }

    std::optional<Partial> plan_and(const FilterExpr& f) {
        std::vector<const FilterExpr*> conditions;
        flatten_and(f, conditions);
        std::vector<const FilterExpr*> equalities, values, ors;
        std::vector<RangeAsk> ranges;
        bool exact = true;
        for (const FilterExpr* c : conditions) {
            if (c->kind == FilterExpr::Kind::Or) {
                ors.push_back(c);
            } else if (c->kind != FilterExpr::Kind::Compare) {
                exact = false;
            } else if (!is_range_op(c->op)) {
                (c->op == CompareOp::Eq && !is_double_equality(*c) ? equalities : values).push_back(c);
            } else if (double v; number_as_double(c->operand, v)) {
                auto it =
                    std::find_if(ranges.begin(), ranges.end(), [&](const RangeAsk& r) { return r.key == c->key; });
                if (it == ranges.end()) it = ranges.insert(ranges.end(), RangeAsk{c->key, std::nullopt, std::nullopt});
                it->add(c->op, v);
            } else {
                exact = false;  // a range on a non-number matches nothing; the test finds that out
            }
        }

        std::optional<SlotSet> candidates;
        auto meet = [&](Partial&& p) {
            exact = exact && p.exact;
            if (!candidates)
                candidates = std::move(p.set);
            else
                candidates->intersect(p.set);
        };
        auto none_left = [&] { return candidates && candidates->size() == 0; };
        // Whether testing the filter on the candidates costs no more than the next answer.
        auto enough = [&](double next_cost) {
            return !limits_.ask_all && candidates &&
                   static_cast<double>(candidates->size()) * kEvaluateCost <= next_cost;
        };
        auto ask = [&](auto&& asking, double cost) {
            if (none_left()) return;
            if (enough(cost)) {
                exact = false;
                return;
            }
            auto p = asking();
            if (p)
                meet(std::move(*p));
            else
                exact = false;
        };

        // Equalities first (their sets are listed, at the cost of their
        // members), the smallest met first; then the value index's other
        // answers, each a bitmap of the store's size.
        std::vector<Partial> answers;
        for (const FilterExpr* c : equalities) {
            auto p = ask_value(*c);
            if (p)
                answers.push_back(std::move(*p));
            else
                exact = false;
        }
        std::sort(answers.begin(), answers.end(),
                  [](const Partial& a, const Partial& b) { return a.set.size() < b.set.size(); });
        for (Partial& p : answers) meet(std::move(p));
        for (const FilterExpr* c : values) ask([&] { return ask_value(*c); }, value_cost(c->op));

        // Ranges, the smallest estimate first when there are several to order.
        if (ranges.size() > 1 && !none_left() && !enough(range_cost())) {
            for (RangeAsk& r : ranges) {
                const double cost = range_cost() / 64;
                if (!affordable(cost)) break;
                spent_ += cost;
                r.estimate = indexes_.estimate_range(records_, r.key, r.lower, r.upper).value_or(0);
            }
            std::stable_sort(ranges.begin(), ranges.end(),
                             [](const RangeAsk& a, const RangeAsk& b) { return a.estimate < b.estimate; });
        }
        for (const RangeAsk& r : ranges) ask([&] { return ask_range(r); }, range_cost());
        for (const FilterExpr* c : ors)
            ask([&] { return plan_or(*c); }, static_cast<double>(c->children.size() * words_) * kWordCost);

        if (!candidates) return std::nullopt;
        // No candidate left: nothing matches, whatever was not asked.
        if (candidates->size() == 0) exact = true;
        return Partial{std::move(*candidates), exact};
    }

    const RecordStore& records_;
    MetadataIndexes& indexes_;
    PlanLimits limits_;
    const FilterExpr* top_;
    std::uint64_t words_;
    double spent_ = 0;
};

}  // namespace

bool is_double_equality(const FilterExpr& f) {
    return f.kind == FilterExpr::Kind::Compare && f.op == CompareOp::Eq && std::holds_alternative<double>(f.operand.v);
}

std::optional<IndexPlan> plan_with_indexes(const RecordStore& records, MetadataIndexes& indexes,
                                           const FilterExpr& filter, const PlanLimits& limits) {
    Planner planner(records, indexes, limits, filter);
    auto p = planner.plan(filter);
    if (!p) return std::nullopt;
    return IndexPlan{std::move(p->set).take_slots(), p->exact, planner.spent()};
}

}  // namespace orbisk
