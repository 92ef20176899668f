/* Prints the library's version: the smallest host of the public interface. */
#include <stdio.h>

#include "quenvira_vnc.h"

int main(void) {
    printf("quenvira-vnc %s\n", vnc_version());
    return 0;
}
