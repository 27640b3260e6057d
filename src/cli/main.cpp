// brindle-get: the headless front end. Filled in by the job and CLI work.
#include <cstdio>

int main() {
    std::puts("brindle-get: not built yet");
    return 2;
}
