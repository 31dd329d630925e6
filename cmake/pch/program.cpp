// The unit the program families' precompiled headers are built with.
int main() {
  return 0;
}
