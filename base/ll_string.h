// Managed-string writers and small text utilities.
//
// Writers fill managed strings (see the conventions note in ll_cpapi.h):
// each takes the address of a handle slot, may allocate, move or replace the
// block, and on an exhausted heap prints the setting-error line with 110,
// releases the block and leaves the slot null. The caller owns the slot and
// releases it with firee(). Other operations work in the caller's storage.
// Threads: every operation may be called from several threads at once, on
// slots and texts that each thread owns.
#ifndef JANTOR_BASE_LL_STRING_H_
#define JANTOR_BASE_LL_STRING_H_

#include <cstddef>
#include <cstdio>

#include "base/ll_cpapi.h"

// The empty text; writers that accept a null source use it in its place.
extern const char NullStr[1];

// ---- Managed-string writers ----------------------------------------------
// All return 1 on success and 0 on failure (exhausted heap: the slot is then
// null and its old content is gone). src must not point into the slot's own
// buffer. A null src counts as "" where noted; a negative count n counts as 0.
// A need too large for the size header is refused like an exhausted heap.

// The capacity rule every writer applies with its own need: a null slot gets
// a block of need + GAllocGran bytes holding ""; a block whose recorded size
// is at most need + 2 is regrown to need + GAllocGran. On failure prints the
// setting-error line with 110, releases the old block, nulls the slot and
// returns 0.
int mreserve(int context, char **slot, int need);

// Replaces the content with src (null counts as ""), releasing the old block
// first.
int mstrcpy(int context, char **slot, const char *src);

// As mstrcpy (a null src counts as ""), but reserves twice the need; bytes
// are copied unchanged.
int mstrcpyws(int context, char **slot, const char *src);
int mstrcpymb(int context, char **slot, const char *src);

// Replaces the content with the first min(n, strlen(src)) characters of src,
// keeping the block when it is big enough. A null src counts as "".
int mstrncpy(int context, char **slot, const char *src, int n);

// Appends src (null counts as ""). A null slot behaves as mstrcpy.
int mstrcat(int context, char **slot, const char *src);

// Appends at most n characters of src and terminates. A null slot behaves as
// mstrncpy.
int mstrncat(int context, char **slot, const char *src, int n);

// Copies len bytes to the start of the block; writes no terminator.
// A null src or negative len returns 0 and changes nothing.
int mmemcpy(int context, char **slot, const void *src, int len);

// Copies len bytes starting at byte offset; bytes before offset are left as
// they are and no terminator is written. A null src or a negative offset or
// len returns 0 and changes nothing.
int mmemcat(int context, char **slot, const void *src, int offset, int len);

// Releases the old block and makes a new one of GAllocGran + 2 bytes holding
// "".
int MakeNullStr(int context, char **slot);

// ---- In-place text operations ----------------------------------------------
// Each returns the text it was given unless stated otherwise.
// REQUIRES: text is not null and NUL-terminated.

// Replaces every character before the terminator by c.
char *strset(char *text, int c);

// Removes trailing spaces (the space character only).
char *rtrim(char *text);

// Removes leading spaces (the space character only).
char *ltrim(char *text);

// Cuts the text after n characters when n is at most its length; a negative
// n leaves the text.
char *strleft(char *text, int n);

// Keeps only the last n characters when n is less than the length; a larger
// or negative n leaves the text.
char *strright(char *text, int n);

// Turns every space, TAB, LF and CR into "_".
char *Blacken(char *text);

// Removes trailing zeros, and then a trailing ".", never touching the first
// character: "12.500" -> "12.5", "12.000" -> "12", "100" -> "1". Returns 1.
int ReducePrec(char *text);

// Percent-decodes in place. "%" followed by "%", a double quote, "<" or ">"
// yields that character; "%" and two characters starting with a hex digit
// yield the byte they spell; any other "%" is kept, except a final one,
// which is dropped. "+" is left alone. Returns 1, or 0 for a null text.
int uri_unescape(char *text);

// Appends a separator when dest is non-empty and does not end in one ("\\"
// if dest already holds a backslash, else "/"), then tail. Returns dest.
// REQUIRES: dest has room for the separator, tail and terminator.
char *pathcat(char *dest, const char *tail);

// Splits line into words at white space, in place: every white-space
// character becomes a terminator and the start of each word goes into the
// next entry of args, followed by a null entry. Returns args.
// REQUIRES: args holds one entry per word plus one.
char **MakeArgArray(char **args, char *line);

// ---- Number and time text --------------------------------------------------

// Writes value in base (2 to 36, upper-case letters) into dest and returns
// dest. A negative value, or a base outside 2 to 36, gives "".
// REQUIRES: dest holds 33 bytes (enough for any value in base 2).
char *ltoa(int value, char *dest, int base);
char *itoa(int value, char *dest, int base);

// The present local time formatted with "%X %x" in a process-wide buffer that
// the next call overwrites.
char *strnow(void);

// ---- Searches --------------------------------------------------------------

// First case-insensitive occurrence of pattern in text, as an address inside
// text; null when there is none or either argument is null. On an exhausted
// heap prints the setting-error line with 110 and returns null.
char *stristr(int context, const char *text, const char *pattern);

// First occurrence of pattern in the managed buffer at or after
// buffer + offset, searching across NUL bytes; the whole occurrence must lie
// within the recorded size and may not start at its last byte. An empty
// pattern gives buffer itself. Null when not found.
char *memstr(const char *buffer, const char *pattern, int offset);

// As memstr, starting at start (an address inside buffer).
char *memstrptr(const char *buffer, const char *pattern, const char *start);

// ---- Quoting and justification into managed strings ------------------------

// Rewrites the SQL statement held in *slot, doubling every quote that stands
// inside a literal (a literal opens with a quote after a space, TAB, LF, CR,
// "(", "{", "," or "="). Prints "starting to escape" and, on success,
// "escaped sql is " and the statement. Returns 1 or 0.
int esc_SQL(int context, char **slot);

// *slot receives src with every occurrence of quote's first character written
// twice. A null src counts as ""; a null or empty quote doubles nothing.
int esc_item(int context, const char *src, char **slot, const char *quote);

// *slot receives src justified into the decimal width text: mode "RIGHT" or
// "LEFT" (any case), anything else centres (odd surplus on the right), padded
// with pad's first character. src is cut to the width in every mode.
int strjust(int context, const char *src, char **slot, const char *width, const char *mode,
            const char *pad);

// Integer of a decimal text: leading blanks and a sign allowed, stops at
// the first non-digit, no digits give 0; clamped to the range of int.
int ParseInt(const char *text);

// Copies text into the fixed buffer field, cut to fit and always ended.
template <size_t N>
void CopyText(char (&field)[N], const char *text) {
  snprintf(field, N, "%s", text);
}

#endif  // JANTOR_BASE_LL_STRING_H_
