// Files, directories, temporary names and CGI input and output.
//
// Everything here works on plain paths and caller-owned buffers, except the
// name slot of tempfile, a managed string the caller owns and releases with
// firee(). New files get mode 0664 less the umask. Progress and error words
// go to standard output, paths always printed as data. Threads: the calls
// may be made from several threads at once, but two threads that ask
// tempfile for a name in the same folder in the same second may be given
// the same one; the CGI calls share the standard streams.
#ifndef JANTOR_BASE_LL_IO_H_
#define JANTOR_BASE_LL_IO_H_

// ---- Files, directories and temporary names --------------------------------

// 1 when path exists and this process may read it, else 0 (a null path too).
int iFileExists(const char *path);

// Opens an existing path with flags (the open(2) flags) and mode 0664.
// A missing path gives -1 unless flags hold O_CREAT; then "Attempting
// create" is printed and the file is created and truncated, and the
// descriptor returned is write-only whatever access mode flags asked for.
// Returns a descriptor or -1; prints nothing else.
int iopen(const char *path, int flags);

// Removes the directory path and everything below it, printing each step.
// A symbolic link anywhere in the tree is removed as a link and never
// followed, and path itself must not be one, so nothing outside the tree is
// touched. Stops at the first entry it cannot remove, leaving the rest, and
// reports it and every directory above it up to (not including) path.
// Returns 1 when the whole tree is gone, else 0.
int iDeleteDirectory(const char *path);

// Finds a name that no entry of directory holds: upper-case hexadecimal of
// the time's low 28 bits, a decimal counter from 0 to 99, then extension
// (at most 14 characters, any dot included). The name, without the directory,
// is left in the managed string *name. The file is not created, so the name
// is only known to have been free when it was checked. Returns 1, or 0 when
// an argument is null, the extension is too long, all 100 candidates are
// taken, the directory cannot be searched, or the heap is exhausted (then the
// setting-error line with 110 is printed and *name may be null).
int tempfile(int context, const char *directory, const char *extension, char **name);

// ---- CGI output and input --------------------------------------------------

// Writes a CGI response on standard output between three trace lines:
// "Entering Tramex Output", then head with "\r\n" appended (only when
// sendhead is not 0; the "\r\n" is appended to head either way), "Tramex
// Wrote Headbuffer", bodylen bytes of body (none when body is null or
// bodylen <= 0), "Tramex wrote bodybuffer". Returns 1, or 0 for a null head
// or as soon as a write falls short (what was written stays written).
// REQUIRES: head has room for two more characters.
int CGISendBuffers(char *head, const char *body, int sendhead, int bodylen);

// Reads up to length bytes of a request body from standard input, waiting
// until that many have arrived or the input ends, and terminates the text
// right after the bytes read. Returns buffer, or null when nothing was read
// (empty or closed input, length <= 0, null buffer).
// REQUIRES: buffer holds length + 1 bytes.
char *getCGIPost(char *buffer, int length);

#endif  // JANTOR_BASE_LL_IO_H_
