// The secrets an entry names instead of holding them: "${cred:NAME}" in
// i_user, i_pass, i_object, i_headers, i_body (and the values of i_auth)
// stands for the bytes of the file NAME in the credentials directory (-a,
// else systemd's $CREDENTIALS_DIRECTORY), without one trailing line end;
// "$${" stands for a literal "${". A text without "${" is used exactly as
// stored. Resolved bytes go to the wire and nowhere else: every trace, row,
// page and reason shows the stored text, and a refusal names the column and
// the reference, never a byte of the value.
// The store keeps each file's bytes in memory and looks at the file again
// (one stat) at its first use in each cycle, reading it again only when it
// changed (a rename over it included). Any thread may resolve at once; the
// store's lock guards its files.
#ifndef JANTOR_ENGINE_FLOW_CREDENTIALS_H_
#define JANTOR_ENGINE_FLOW_CREDENTIALS_H_

#include <string>
#include <string_view>

enum : int {
  kCredentialNameMost = 64,
  // A credential is at most as large as the largest text it may stand in.
  kCredentialBytesMost = 1024 * 1024,
};

// Where the credentials come from: dir, or when it is empty the
// environment's $CREDENTIALS_DIRECTORY; neither leaves none, and every
// reference is refused. Prints a warning line for each file of the
// directory that users other than its owner may read. Call once, before
// any hit.
void OpenCredentials(const char* dir);

// Lets each file be looked at again at its next use: called as a cycle
// starts, so that a file changed meanwhile is used from this cycle on.
void StartCredentialsCycle();

// Whether text may name a credential (or escape one): only such a text is
// resolved at all.
inline bool MayNameCredential(std::string_view text) {
  return text.find("${") != std::string_view::npos;
}

// Writes text with its references resolved into *out. false when a
// reference is refused (a bad name, no such file or directory, a file that
// cannot be read or is too large), with the reason naming column and the
// reference ("i_headers: credential 'slack_token' not found"); *out is then
// cleared. names, when not null, gets the names used, quoted and comma
// separated, for a reason of the caller's. With one_line a credential that
// holds a line break is refused: in header lines it would start a line of
// its own, which no check of the lines could tell from the user's.
bool ResolveCredentials(std::string_view text, const char* column, std::string* out,
                        std::string* reason, std::string* names = nullptr,
                        bool one_line = false);

#endif  // JANTOR_ENGINE_FLOW_CREDENTIALS_H_
