// The stand-in of a benchmark program when LUMBREL_BENCHMARKS is off.
#include <cstdio>

int main() {
    std::fputs("Benchmarks are off: configure with -DLUMBREL_BENCHMARKS=ON.\n", stderr);
    return 1;
}
