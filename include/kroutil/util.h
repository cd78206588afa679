/* Command-line, switch and string helpers.
 *
 * Every helper works in place on a caller-owned, zero-terminated text; output buffers must be
 * large enough for the result (paths: 764 bytes). A blank is a byte that, read as a signed
 * 8-bit value, is at most 32 (control characters, space and bytes 128..255); the other bytes
 * (33..127) are word characters. A switch is a slash directly followed by a letter; letters are
 * compared after toupper, so callers pass them in upper case. Flag arguments are tested on
 * their low 8 bits. Text between two double quotes never holds a switch. */
#ifndef KROUTIL_UTIL_H
#define KROUTIL_UTIL_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

/* ---- trimming and words ---- */

/* Removes leading and trailing blanks (the rest moves to the start). Returns the last byte kept,
 * or the address one before the text when nothing is left (compare, never dereference). */
KRO_API char* Trim(char* text);
KRO_API void TrimAscii(char* text);
KRO_API void TrimL(char* text);
/* Splits off the first word: a run of word characters; blanks after it and one comma after those
 * are dropped ("a ,b" is two words, "a,b" one). The text keeps the rest without leading blanks. */
KRO_API void GetAndRemoveFirst(char* word, char* text);
/* As GetAndRemoveFirst, but a word in double quotes runs to the closing quote (dropped); without
 * a closing quote the word is the rest of the line. Word and rest are trimmed. */
KRO_API void GetAndRemoveFirstQuoted(char* word, char* text);
/* Trims; a text of at least 2 bytes in double quotes loses them. */
KRO_API void RemoveQuotes(char* text);
KRO_API char* findchar(const char* text, int32_t character);

/* ---- switches: a found switch and its value are cut out of the command line ---- */

/* "/L" followed by the end, a blank, punctuation or a slash: cut out, 1; else 0. */
KRO_API int32_t GetSwitch(char* commandLine, int32_t letter);
/* "/L" followed by a word character: the value is the quoted text (quotes dropped) or the run
 * up to a blank or slash; 1. Not found: value := defaultValue (null: ""), 0. */
KRO_API int32_t GetSwitchStr(char* commandLine, int32_t letter, char* value, const char* defaultValue);
/* "/L" followed by a digit or by '-' and a digit: the number (saturated to 32 bits). Not found:
 * defaultValue. GetSwitchNumPtr is the same function. */
KRO_API int32_t GetSwitchNum(char* commandLine, int32_t letter, int32_t defaultValue);
KRO_API int32_t GetSwitchNumPtr(char* commandLine, int32_t letter, int32_t defaultValue);
/* "/L" followed by a number read by atofr; not found: the defaults. Returns 1 when found. */
KRO_API int32_t GetSwitchFractional(char* commandLine, int32_t letter, int32_t* numerator, int32_t* denominator,
                                    int32_t defaultNumerator, int32_t defaultDenominator);
/* "/-L" cancels every "/L" (with its value) before it and is cut out; a "/-" at the very end
 * cuts the line there. */
KRO_API void RemoveMinusSwitches(char* commandLine);

/* ---- numbers and fractions ---- */

/* Reduces a fraction when both parts are non-zero. */
KRO_API void GCDNums(int32_t* numerator, int32_t* denominator);
/* Reads "[-]d[.f][;m[.q]]" as a reduced fraction (the second number divides the first). A text
 * that does not start with a digit, '.' or '-' gives 0/1. Values that do not fit 32 bits are
 * scaled down. Returns the first byte not used. */
KRO_API char* atofr(const char* text, int32_t* numerator, int32_t* denominator);
/* Decimal text of the value read as signed 32-bit; returns the terminating zero. */
KRO_API char* U32toa(char* buffer, uint32_t value);
KRO_API uint32_t atoU32(const char* text);
/* Digits with commas between groups of three ("1,234,567"); returns buffer. */
KRO_API char* CommaNum(char* buffer, uint64_t value);
/* "1 millisecond", "12 seconds", "1 minute 1 second", "2 hours 0 minutes"; returns buffer. */
KRO_API char* GetElapsedTime(char* buffer, uint32_t milliseconds);
/* Frame period in 10-microsecond units from frames per second (> 0), minus the milliseconds per
 * frame (-1500..-1) or minus the period itself (below -1500); 0 stays 0, at least 5 otherwise. */
KRO_API int32_t MakeFrameRate(int32_t rate);

/* ---- file names and files ('/' and '\' both separate) ---- */

KRO_API void AddBackslash(char* path);
/* The last full stop of the name part, or null. */
KRO_API char* HasExtension(const char* name);
/* The absolute drive form ("C:\dir\file"); left unchanged when that would not fit 764 bytes. */
KRO_API void ExpandFileName(char* path);
/* ExpandFileName, then the drive letter in upper case. */
KRO_API int32_t GetDrive(char* path);
/* 1 when the path names an existing directory; the path is rewritten to its expanded form. With
 * stay set a found directory also becomes the current directory; without it nothing changes. */
KRO_API int32_t IsDirectory(char* path, int32_t stay);
/* The path becomes the chosen pieces of its expanded form, in the order drive, directory, name,
 * extension; a directory has no name and extension. */
KRO_API void GetFilePieces(char* path, int32_t keepDrive, int32_t keepDirectory, int32_t keepName,
                           int32_t keepExtension);
/* output := directory + an 8.3 name: the prefix (up to 8 bytes) over letters made of the number's
 * nibbles, lowest first; returns output. */
KRO_API char* GetTempName(char* output, const char* directory, const char* prefix, uint32_t number);
/* Size of an existing file, 0 when it cannot be opened. */
KRO_API uint64_t krofilesize(const char* name);
/* 1 when the file does not exist or the user agrees to replace it. */
KRO_API int32_t overwrite(const char* name, int32_t useDialog);
/* 1 when input and output are different files (by name and by identity on disk); else an error
 * box and 0. */
KRO_API int32_t CheckForDup(const char* inputPath, const char* outputPath);

/* ---- other ---- */

/* Sends WM_COPYDATA with a copy-data record of the three values; the answer of the window. */
KRO_API intptr_t CopyData(void* window, uintptr_t wParam, uintptr_t dwData, uint32_t cbData, const void* data);
/* 1 only for a 32-bit process on a 64-bit system. */
KRO_API int32_t is_64bit(void);

KRO_END_DECLS

#endif
