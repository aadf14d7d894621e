/* Number texts: how float and double values cross the wire.
 *
 * One value is a 40-byte slot holding the value in "%*.*e" form, width 30,
 * right-aligned, ended by a NUL. Written and read in the C locale whatever the
 * application's locale, with 16 digits after the point so that every double
 * survives the round trip; the reader takes any precision, so older peers that
 * write 15 digits are read correctly. */
#ifndef KYVEK_CLIENT_COMMON_NUMBER_TEXT_H
#define KYVEK_CLIENT_COMMON_NUMBER_TEXT_H

#include <cstddef>

namespace kyproc {

constexpr std::size_t kNumberTextSlot = 40;

/* Writes value into slot[0..39] (zero-filled after the text). */
void format_number_text(double value, char* slot);

/* Reads the text in slot[0..size) (stops at a NUL or after 40 bytes). Leading
 * blanks are skipped; trailing bytes other than blanks are refused. false when
 * no number is found (value then 0). */
bool parse_number_text(const char* slot, std::size_t size, double* value);

}  // namespace kyproc

#endif
