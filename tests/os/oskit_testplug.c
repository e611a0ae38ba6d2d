/* A small library for the loader tests. */
int oskit_plug_answer(void) { return 42; }
