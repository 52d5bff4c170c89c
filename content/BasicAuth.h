// HTTP Basic credentials: decoding the "authorization" value and matching password files.
#pragma once

#include <cstddef>

namespace velnor {

// The decoded credentials' area: at most 63 base64 characters are taken.
constexpr std::size_t kCredentialsCapacity = 64;
// The recorded user name's area: at most 31 bytes are kept.
constexpr std::size_t kUserCapacity = 32;

// The sextet value of a base64 character: 0 to 63, 0 for the fill character '=', and -1
// for a character outside the alphabet.
int base64Value(char c) noexcept;

// True when the text is whole base64 groups: a length that is a multiple of four and
// every character in the alphabet (the fill character included).
bool isBase64Text(const char* text) noexcept;

// Decodes the text over itself and returns it, NUL-terminated. Three bytes come from
// each group of four characters, the fill character giving zero bits. A last group that
// is short reads its missing characters as zero bits and never writes past the text's
// own bytes, so a text of n characters is decoded within its n + 1 bytes.
char* base64DecodeInPlace(char* text) noexcept;

// Takes an "authorization" value of the Basic scheme: "basic" in any letter case, any
// number of blanks, then base64 text. Fills `credentials` with the decoded user:password
// text. False when the value is missing, of another scheme, or not whole base64 groups
// within its first 63 characters; such credentials are refused rather than guessed at.
bool decodeBasicCredentials(const char* authorization,
                            char (&credentials)[kCredentialsCapacity]) noexcept;

// Scans the lines of a password file, a writable text that the scan cuts into lines.
// Lines end at CR, LF or CR LF, empty lines are skipped and a NUL ends the text. A line
/// matches when it equals the credentials byte for byte, whole. On the first match
/// `user` receives the line's part before its first colon (the whole line when it has
/// none), cut to 31 bytes. False when no line matches; a text without lines matches
/// nothing, so a password file without accounts refuses everyone.
bool matchPasswordLine(char* fileText, const char* credentials,
                       char (&user)[kUserCapacity]) noexcept;

} // namespace velnor
