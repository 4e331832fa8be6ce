/* ondrel: file checks for a host program.
 *
 * One function: AdvancedCheck(fileName, checkList) evaluates a comma-separated
 * list of rules against one file and answers 1 when every rule held (an empty
 * list holds), 0 otherwise. Both strings are zero-terminated 8-bit ANSI text;
 * a null pointer counts as the empty string. Calls may overlap, from any
 * number of threads: each answers as it would have answered had the calls
 * been made one at a time in some order.
 *
 * What a host can rely on:
 * - The library remembers the whole-file "MD5" and all-sections "SECMD5"
 *   digests of the files it read, each with the file's identity (POSIX:
 *   device, inode, size, modification and change times; Windows: volume,
 *   file index, size, last-write and change times). A digest is used again
 *   only while the name still leads to a file of that identity, and only
 *   when it was read in full from a file neither modified nor changed
 *   within the two seconds before (setting the modification time back is a
 *   change): every answer is the one a fresh read would give. File names
 *   are compared as the system compares them (ignoring letter case on
 *   Windows, byte for byte elsewhere), the whole name.
 * - When the process runs out of its own resources (descriptors or handles,
 *   memory) during a call, the call answers 0 whatever the list holds after
 *   that point, FLAGIFNOFILE included. A missing, locked or unreadable file
 *   is not such a failure: FLAGIFNOFILE rescues the rule before it.
 * - Nothing but a regular disk file is ever opened for reading, nothing is
 *   read past the size a file had when it was opened, and time, stack and
 *   memory stay bounded for any file and any list.
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
