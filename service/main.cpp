#include <cstdio>
int main() {
    std::puts("placeholder");
    return 0;
}
