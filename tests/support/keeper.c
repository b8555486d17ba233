/* Holds a Wine prefix open for the length of a test run: Wine ends its services once the last
   ordinary process of the prefix has exited. */
#include <windows.h>

int main(void) {
    Sleep(INFINITE);
    return 0;
}
