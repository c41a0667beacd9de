// Placeholder until this program is written.
int main() { return 0; }
