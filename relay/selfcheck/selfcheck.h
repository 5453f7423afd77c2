// The self-check battery's shared declarations: the two counters, the six
// check kinds and the five suite runners.
//
// A check kind may stand only in the body of a case (a `void test_x(void)`
// function): a failed check prints its line, counts the failure and returns
// from the case at once, skipping the rest of the case and its clean-up.
#ifndef RELAY_SELFCHECK_SELFCHECK_H
#define RELAY_SELFCHECK_SELFCHECK_H

#include <cstdio>
#include <cstring>
#include <utility>

extern int g_tests;     // cases run so far; only the suite runners change it
extern int g_failures;  // failed checks so far; only the check kinds change it

void run_twl_tests(void);
void run_hashmap_tests(void);
void run_id_mapper_tests(void);
void run_text_tests(void);
void run_config_tests(void);

namespace selfcheck {

// Integer equality by value, not by the usual conversions: a char, a bool or
// a narrow unsigned is widened first, and signed/unsigned pairs compare as
// the mathematical integers they hold.
template <typename A, typename B>
constexpr bool int_equal(A a, B b) noexcept {
    return std::cmp_equal(+a, +b);
}

// Prints the title line of a suite (or of a group within one).
inline void suite_title(const char *title) { std::printf("\n=== %s ===\n", title); }

// Runs one case with its progress line: the prefix, then " OK" unless a
// check has already completed the line with its failure report.
inline void run_case(const char *name, void (*test_case)(void)) {
    const int failures_before = g_failures;
    std::printf("  %s...", name);
    test_case();
    if (g_failures == failures_before) std::printf(" OK\n");
    ++g_tests;
}

}  // namespace selfcheck

// Runs the case function `fn`, printing its own name.
#define RUN_CASE(fn) selfcheck::run_case(#fn, fn)

// Both operands are evaluated once for the comparison and, only when it
// fails, once more for the values printed.
#define ASSERT_EQ(a, b)                                                                   \
    do {                                                                                  \
        if (!selfcheck::int_equal((a), (b))) {                                            \
            std::printf("FAIL %s:%d: %s != %s (got %lld vs %lld)\n", __FILE__, __LINE__, #a, \
                        #b, (long long)(a), (long long)(b));                              \
            ++g_failures;                                                                 \
            return;                                                                       \
        }                                                                                 \
    } while (0)

#define ASSERT_TRUE(c)                                               \
    do {                                                             \
        if (!(c)) {                                                  \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #c); \
            ++g_failures;                                            \
            return;                                                  \
        }                                                            \
    } while (0)

#define ASSERT_FALSE(c)                                                              \
    do {                                                                             \
        if (c) {                                                                     \
            std::printf("FAIL %s:%d: expected false: %s\n", __FILE__, __LINE__, #c); \
            ++g_failures;                                                            \
            return;                                                                  \
        }                                                                            \
    } while (0)

#define ASSERT_NULL(p)                                                               \
    do {                                                                             \
        if ((p) != nullptr) {                                                        \
            std::printf("FAIL %s:%d: expected NULL: %s\n", __FILE__, __LINE__, #p);  \
            ++g_failures;                                                            \
            return;                                                                  \
        }                                                                            \
    } while (0)

#define ASSERT_NOT_NULL(p)                                                             \
    do {                                                                               \
        if ((p) == nullptr) {                                                          \
            std::printf("FAIL %s:%d: unexpected NULL: %s\n", __FILE__, __LINE__, #p);  \
            ++g_failures;                                                              \
            return;                                                                    \
        }                                                                              \
    } while (0)

// The only kind that prints values rather than source texts. `a` is
// evaluated before `b`, each exactly once; two nulls do not match.
#define ASSERT_STR_EQ(a, b)                                                             \
    do {                                                                                \
        const char *selfcheck_a_ = (a);                                                 \
        const char *selfcheck_b_ = (b);                                                 \
        if (selfcheck_a_ == nullptr || selfcheck_b_ == nullptr ||                       \
            std::strcmp(selfcheck_a_, selfcheck_b_) != 0) {                             \
            std::printf("FAIL %s:%d: \"%s\" != \"%s\"\n", __FILE__, __LINE__,           \
                        selfcheck_a_ ? selfcheck_a_ : "(null)",                         \
                        selfcheck_b_ ? selfcheck_b_ : "(null)");                        \
            ++g_failures;                                                               \
            return;                                                                     \
        }                                                                               \
    } while (0)

#endif
