// The floor of starting any process: a 32-bit program that does nothing.
int main(void) { return 0; }
