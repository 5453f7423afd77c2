// Suites for a self-check built only to be watched failing: the runner test
// runs this program and compares its transcript with
// tests/data/selfcheck_fixture.txt, which names the line of each failed check.
#include <cstdint>

#include "relay/selfcheck/selfcheck.h"

namespace {

int s_calls = 0, s_texts = 0;
int next_call(void) { return ++s_calls; }
const char *counted_text(void) {
    ++s_texts;
    return "left";
}

void test_eq_prints_all_ones_as_minus_one(void) {
    ASSERT_EQ(uint64_t{1}, 0xFFFFFFFFFFFFFFFFULL);
    ASSERT_TRUE(0);  // never reached: the failed check ended the case
}

void test_eq_prints_narrow_unsigned_as_positive(void) { ASSERT_EQ(uint8_t{0xAB}, 0xAC); }
void test_eq_evaluates_again_to_print(void) { ASSERT_EQ(next_call(), 5); }  // compared on 1, printed from 2
void test_true_fails(void) { ASSERT_TRUE(1 == 2); }
void test_false_fails(void) { ASSERT_FALSE(2 > 1); }
void test_null_fails(void) { ASSERT_NULL("not null"); }
void test_not_null_fails(void) { ASSERT_NOT_NULL(NULL); }
void test_str_eq_both_null(void) { ASSERT_STR_EQ(NULL, NULL); }
void test_str_eq_left_null(void) { ASSERT_STR_EQ(NULL, "right"); }
void test_str_eq_evaluates_once(void) { ASSERT_STR_EQ(counted_text(), "right"); }
void test_str_eq_count_after_failure(void) { ASSERT_EQ(s_texts, 1); }  // and passes

}  // namespace

void run_twl_tests(void) {
    selfcheck::suite_title("Fixture");
    RUN_CASE(test_eq_prints_all_ones_as_minus_one);
    RUN_CASE(test_eq_prints_narrow_unsigned_as_positive);
    RUN_CASE(test_eq_evaluates_again_to_print);
    RUN_CASE(test_true_fails);
    RUN_CASE(test_false_fails);
    RUN_CASE(test_null_fails);
    RUN_CASE(test_not_null_fails);
    RUN_CASE(test_str_eq_both_null);
    RUN_CASE(test_str_eq_left_null);
    RUN_CASE(test_str_eq_evaluates_once);
    RUN_CASE(test_str_eq_count_after_failure);
}

// The other runners have nothing to show here.
void run_hashmap_tests(void) {}
void run_id_mapper_tests(void) {}
void run_text_tests(void) {}
void run_config_tests(void) {}
