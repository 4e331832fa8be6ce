/* A host as a user writes one: includes ondrel.h, links with the import
 * library, calls AdvancedCheck directly. Exit 0 when every answer is right. */
#include <stdio.h>

#include "ondrel.h"

static int failures;

static void expect(const char* file, const char* list, int want) {
    int got = AdvancedCheck(file, list);
    if (got != want) {
        printf("FAIL: AdvancedCheck(\"%s\", \"%s\") = %d, want %d\n", file, list, got, want);
        ++failures;
    }
}

int main(void) {
    const char* name = "host-test.bin";
    FILE* f = fopen(name, "wb");
    if (!f) return 3;
    fputs("abc", f);
    fclose(f);
    expect(name, "FILESIZE=3", 1);
    expect(name, "FILESIZE=4", 0);
    expect(name, "MD5=900150983CD24FB0D6963F7D28E17F72,CRC32=352441C2", 1);
    expect(name, "MD5=900150983cd24fb0d6963f7d28e17f72", 0);
    expect("no-such-file.bin", "CRC32=00000000,FLAGIFNOFILE=", 1);
    expect(NULL, NULL, 1);
    remove(name);
    printf("%d passed, %d failed\n", 6 - failures, failures);
    return failures ? 1 : 0;
}
