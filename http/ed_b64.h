// Base64 (RFC 4648 alphabet, "=" padding) for the HTTP client's Basic
// credentials. Encoded text is NUL-terminated; decoded bytes are not. The
// caller owns every result: Base64 and B64decode give managed buffers
// (release with firee), B64encode a plain heap block (release with free).
// Nothing here prints; a null result means only that allocation failed.
// Threads: every operation may be called from several threads at once.
#ifndef JANTOR_HTTP_ED_B64_H_
#define JANTOR_HTTP_ED_B64_H_

// Encodes length bytes of data. With line_breaks non-zero a "\r\n" follows
// the first group of four characters and then every 52 characters, never
// a final partial group. Returns a managed buffer, or null when it cannot be had
// (or length is negative).
char *Base64(const char *data, int length, int line_breaks);

// As Base64 with line breaks, in a block from malloc.
char *B64encode(const unsigned char *data, int length);

// Decodes text: characters outside the alphabet are skipped where a group
// of four would start, and the first group with padding ends the decoding.
// Stores the bytes in a managed buffer in *out and their count in *length
// and returns 1; returns 0 with *out null and *length 0 when the buffer
// cannot be had. context is ignored.
int B64decode(int context, const char *text, char **out, int *length);

#endif  // JANTOR_HTTP_ED_B64_H_
