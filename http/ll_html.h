// Text made safe for an HTML page: every text that comes from the schedule
// table, a reply or a request goes onto a page through AppendHtmlEscaped, so
// that whatever it holds, a browser shows it as the text it is and never
// reads markup, an entity or a different character out of it.
// Threads: it works only in the caller's storage, so any number of threads
// may call it at once, each with its own string.
#ifndef JANTOR_HTTP_LL_HTML_H_
#define JANTOR_HTTP_LL_HTML_H_

#include <string>
#include <string_view>

// Appends text to *out, escaped so that the result is safe both as element
// text and inside an attribute value in double or single quotes: & < > " '
// become &amp; &lt; &gt; &quot; &#39;. Tab, LF and CR and every well-formed
// UTF-8 character stand as they are, but for the control characters that
// HTML counts as errors: U+0000..U+001F and U+007F..U+009F. Each of those,
// and each ill-formed UTF-8 sequence (every longest start of a well-formed
// one, or a lone byte that starts none, as browsers decode), becomes U+FFFD.
// U+FFFD rather than '?': a '?' would read as a character that the text
// really holds, while U+FFFD is what a browser itself shows for bytes it
// cannot read, so a replaced byte looks replaced. The output is always
// well-formed UTF-8, and the bytes already in *out are left as they are.
// REQUIRES: out is not null.
void AppendHtmlEscaped(std::string* out, std::string_view text);

#endif  // JANTOR_HTTP_LL_HTML_H_
