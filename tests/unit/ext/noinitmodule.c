/* A shared library that is no module: it lacks the init function. */
int noinit_answer(void) { return 42; }
