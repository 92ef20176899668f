/* Prints the library's version: the smallest host of the public interface. */
#include <stdio.h>
#include <string.h>

#include "quenvira_vnc.h"

static void print_usage(FILE *out) {
    fputs("Usage: vnc-version [OPTION]\n"
          "\n"
          "Prints the version of the quenvira-vnc library it loaded, as\n"
          "\"quenvira-vnc VERSION\".\n"
          "\n"
          "Options:\n"
          "  -h, --help     show this help and exit\n"
          "  --version      the same as no option\n"
          "\n"
          "Exit status: 0 printed, 2 usage error.\n",
          out);
}

int main(int argc, char **argv) {
    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        print_usage(stdout);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (i > 1 || strcmp(argv[i], "--version") != 0) {
            fprintf(stderr, "vnc-version: unexpected argument '%s'\n", argv[i]);
            print_usage(stderr);
            return 2;
        }
    }
    printf("quenvira-vnc %s\n", vnc_version());
    return 0;
}
