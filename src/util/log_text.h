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

}  // namespace morvex
