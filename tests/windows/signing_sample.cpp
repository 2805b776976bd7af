// A tiny program for the signing tests: the build signs copies of it with
// every test signer, and the tests read those signatures back.
int main() {
  return 0;
}
