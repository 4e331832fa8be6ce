/* ondrel: file checks for a host program.
 *
 * One function: AdvancedCheck(fileName, checkList) evaluates a comma-separated
 * list of rules against one file and answers 1 when every rule held (an empty
 * list holds), 0 otherwise. Both strings are zero-terminated 8-bit ANSI text;
 * a null pointer counts as the empty string. Calls may overlap, from any
 * number of threads: each answers as it would have answered had the calls
 * been made one at a time in some order.
 */
#ifndef ONDREL_H
#define ONDREL_H

#ifdef _WIN32
#define ONDREL_CALL __stdcall
#else
#define ONDREL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Only this one byte of the result is defined: 1 or 0. */
typedef unsigned char ondrel_result;

ondrel_result ONDREL_CALL AdvancedCheck(const char* fileName, const char* checkList);

/* The type of a pointer obtained with GetProcAddress or dlsym. */
typedef ondrel_result(ONDREL_CALL* AdvancedCheckFn)(const char* fileName, const char* checkList);

#ifdef __cplusplus
}
#endif

#endif
