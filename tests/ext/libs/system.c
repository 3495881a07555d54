/* A system library for the tests: a service other libraries ask for. */
int test_answer(void) { return 42; }
