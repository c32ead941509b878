// STUB: filled by the shell work.
int main() { return 0; }
