// A minimal test harness for the engine's unit tests: TEST_CASE registers a
// function, CHECK records a failure and continues, REQUIRE stops the case.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> fn;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int n = 0;
    return n;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> fn) { registry().push_back({name, std::move(fn)}); }
};

struct Abort {};

inline void report(const char* file, int line, const std::string& what) {
    ++failures();
    std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

template <class A, class B>
std::string describe(const char* expr, const A& a, const B& b) {
    std::ostringstream s;
    s << expr << "\n    left:  " << a << "\n    right: " << b;
    return s.str();
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST_CASE(name)                                                                          \
    static void CHECK_CAT(test_fn_, __LINE__)();                                                 \
    static check::Registrar CHECK_CAT(test_reg_, __LINE__)(name, CHECK_CAT(test_fn_, __LINE__)); \
    static void CHECK_CAT(test_fn_, __LINE__)()

#define CHECK(cond)                                            \
    do {                                                       \
        if (!(cond)) check::report(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_EQ(a, b)                                                                            \
    do {                                                                                          \
        const auto& check_a_ = (a);                                                               \
        const auto& check_b_ = (b);                                                               \
        if (!(check_a_ == check_b_))                                                              \
            check::report(__FILE__, __LINE__, check::describe(#a " == " #b, check_a_, check_b_)); \
    } while (0)

#define REQUIRE(cond)                                 \
    do {                                              \
        if (!(cond)) {                                \
            check::report(__FILE__, __LINE__, #cond); \
            throw check::Abort{};                     \
        }                                             \
    } while (0)
