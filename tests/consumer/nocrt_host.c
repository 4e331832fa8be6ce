/* A Windows host with no C runtime, as Microsoft's tools link one: AdvancedCheck
 * through ondrel.lib, ExitProcess through a kernel32 import library, entry point
 * start (lld-link /entry:start /nodefaultlib). It checks data.bin, which holds
 * "abc", in its current folder. Exit status: bit i set when case i was answered
 * wrong, 0 when every answer was right. */
#include "ondrel.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static const struct {
    const char* file;
    const char* list;
    unsigned char want;
} cases[] = {
    {"data.bin", "FILESIZE=3", 1},
    {"data.bin", "FILESIZE=4", 0},
    {"data.bin", "MD5=900150983CD24FB0D6963F7D28E17F72,CRC32=352441C2", 1},
    {"data.bin", "MD5=900150983cd24fb0d6963f7d28e17f72", 0},
    {"no-such-file.bin", "CRC32=00000000,FLAGIFNOFILE=", 1},
    {0, 0, 1},
};

void start(void) {
    unsigned int wrong = 0;
    unsigned int i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (AdvancedCheck(cases[i].file, cases[i].list) != cases[i].want) wrong |= 1u << i;
    }
    ExitProcess(wrong);
}
