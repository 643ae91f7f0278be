// lp_text: the texts the system writes, from UTF-8 to Shift_JIS.
//
// The sources hold every text in UTF-8, and the compiler keeps it so; every
// text the system writes is Shift_JIS (code page 932).  The conversion is
// done where text is written: the log writer (lp_kesh.cpp) converts each
// message before it writes it, the program (driver/) each console message.
//
// text_cp932 looks up every UTF-8 sequence in a table of exactly the
// characters that the library's and the program's texts use, each with its
// two CP932 bytes.  A character missing from the table, a sequence that is no
// valid UTF-8, and every ASCII byte are copied as they are, so that bytes
// which are none of the system's texts (a file name in another encoding,
// say) pass through unchanged.  The CP932 form of a character is never
// longer than its UTF-8 form (2 bytes against 2 or 3), so the conversion
// runs in place.
//
// The test text_table checks each entry against the C library's iconv and
// scans the library's and the program's string literals: a text with a
// character that the table lacks fails it.
//
// A printf width counts bytes.  Formatting comes before the conversion in
// the log, so a width given to a Japanese text would count its UTF-8 bytes:
// widths are for ASCII fields only (numbers, source file names).
#ifndef ZELKOR_LP_TEXT_H
#define ZELKOR_LP_TEXT_H

#include <cstddef>
#include <cstdint>

// One table entry: a Unicode code point and its CP932 code (lead byte high).
struct text_char {
  uint32_t ucs;
  uint16_t cp932;
};

// The table, ascending by code point; *count gets its number of entries.
const text_char* text_table(size_t* count);

// Converts s[0 .. n-1] from UTF-8 to CP932 in place, as described above.
// The new length (<= n); s is not NUL-terminated by it.
size_t text_cp932(char* s, size_t n);

#endif
