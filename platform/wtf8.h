// The library's own form of a path is a byte string: on POSIX the bytes the system
// takes, on Windows WTF-8, the UTF-8 of the UTF-16 names that NTFS holds, in which an
// unpaired surrogate (a name NTFS allows) keeps a 3-byte form of its own, so every UTF-16
// string has exactly one spelling and comes back from it unchanged. ASCII is itself,
// and no byte of a longer character is below 0x80: a backslash, a dot or a letter found
// in the bytes is always a character of its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The UTF-16 units the first bytes of text take: one a character, two a 4-byte one, and
// one each byte that belongs to no character (a POSIX name may hold any bytes). So a
// text of n units never takes more than 3n bytes.
size_t PathUnits(const char* text, size_t bytes);


// Writes the WTF-8 of count UTF-16 units into out (size bytes, terminator included).
// Returns 1, or 0 when it does not fit: out then holds as many whole characters as fit.
int EncodeWtf8(const uint16_t* units, size_t count, char* out, size_t size);

// Reads the WTF-8 text as UTF-16 into out (size units, terminator included), *count
// receiving the units without the terminator. Returns 1; 0 when the text is no WTF-8
// (a byte that starts no character, a character cut short or spelled too long, or a
// pair of surrogates spelled one by one) or does not fit, *tooLong telling which.
int DecodeWtf8(const char* text, uint16_t* out, size_t size, size_t* count, int* tooLong);

// Reads text as DecodeWtf8 does, for showing it rather than for a call: a byte that starts
// no character becomes U+FFFD, and so does a 4-byte character unless pairs are kept (a
// code page that has no such characters then shows each as one). Stops, between
// characters, when out (size units, terminator included) is full. Returns the units.
size_t DecodeWtf8ForDisplay(const char* text, uint16_t* out, size_t size, int keepPairs);
