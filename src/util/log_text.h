// Text helpers of the logging path: escaping of control bytes and shortening
// of long texts with a "skipping" marker.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvex {

// Escapes the control bytes of text into out (replacing its content) and
// returns true, or returns false without touching out when nothing needs
// replacing. With escapeAll every byte below 128 that is neither printable
// nor a tab becomes \n, \r or \xhh; without it only LF and CR are replaced.
// Bytes of 128 and above are kept as they are (UTF-8).
bool escapeLogText(std::string_view text, bool escapeAll, std::string& out);

// Appends text to out, shortened to at most limit bytes when longer: a head,
// " ...{skipping N bytes}... " and a tail (a quarter of the kept bytes), or
// for small limits a head and a marker without its trailing "... ". A head
// never ends in a backslash, so a cut cannot leave a dangling escape.
// Limits too small to hold a marker give a plain cut.
void appendShortened(std::string& out, std::string_view text, std::size_t limit);

// Whether text is exactly one JSON value (blanks around it allowed), with
// strings of valid UTF-8; nesting deeper than 64 levels counts as invalid.
bool isJsonValue(std::string_view text) noexcept;

// Appends text as a JSON string: quoted, with quotation marks, backslashes
// and control bytes escaped; bytes that are not valid UTF-8 become the four
// characters \xhh (as an escaped backslash), so the result is valid JSON
// and no byte is lost.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace morvex
