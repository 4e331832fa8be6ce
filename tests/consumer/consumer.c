/* consumer FILE CHECKLIST EXPECTED: a host program that calls AdvancedCheck and
 * exits 0 when the answer is EXPECTED ("1" or "0"), 1 when it is not. */
#include <stdio.h>
#include <string.h>

#include "ondrel.h"

int main(int argc, char** argv) {
    ondrel_result result;
    if (argc != 4) {
        fprintf(stderr, "usage: consumer FILE CHECKLIST EXPECTED\n");
        return 2;
    }
    result = AdvancedCheck(argv[1], argv[2]);
    printf("AdvancedCheck -> %d\n", (int)result);
    return strcmp(argv[3], result == 1 ? "1" : result == 0 ? "0" : "neither") == 0 ? 0 : 1;
}
