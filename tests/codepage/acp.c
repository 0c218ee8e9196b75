/* Prints the ANSI code page the process runs in, as Wine chose it from the locale. */
#include <stdio.h>
#include <windows.h>

int main(void) {
    printf("%u\n", GetACP());
    return 0;
}
