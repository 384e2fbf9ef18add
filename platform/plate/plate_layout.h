// The synthetic licence plate shared by the scene generator (which draws it)
// and the recogniser stand-in (which reads it). Pure constants and lookups;
// no state, safe from any thread.
//
// Geometry, in modules of u pixels (u >= 1, integral when drawn):
//
//   0 1   4     10    16 ...         52    57   61 62        67 68
//   +-+---+-----+-----+--------------+-----+----+--+----------+-+   0
//   |#|###########################################################|
//   | |          quiet margin                    [] class 1     |   2
//   | |   +-----+-----+-----+ ... +-----+             []          |   4
//   | |   |glyph|glyph|glyph|     |glyph|           [] ...      |
//   | |   | 5x7 | 5x7 | 5x7 |     | 5x7 |           []          |
//   | |   +-----+-----+-----+ ... +-----+           []          |  11
//   | |                                             [] class 6  |  12
//   |#|###########################################################|  14
//   +-------------------------------------------------------------+  15
//
// A dark border of one module surrounds a white field of 66 x 13 modules.
// Up to 9 glyph slots of 5 x 7 modules start at column 4, row 4, with a pitch
// of 6 modules; the text is left-aligned and a blank slot ends it. Column 61
// holds up to 6 one-module squares at rows 2, 4, ... 12: the number of dark
// squares is the vehicle class (none drawn: no class). The field is wider
// than the text so that the glyphs are always surrounded by white, which
// keeps the whole field one connected bright region for the reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kovira::plate {

inline constexpr int kWidthModules = 68;
inline constexpr int kHeightModules = 15;
inline constexpr int kBorderModules = 1;
inline constexpr int kFieldWidthModules = kWidthModules - 2 * kBorderModules;    // 66
inline constexpr int kFieldHeightModules = kHeightModules - 2 * kBorderModules;  // 13

inline constexpr int kGlyphCols = 5;
inline constexpr int kGlyphRows = 7;
inline constexpr int kGlyphCells = kGlyphCols * kGlyphRows;
inline constexpr int kSlotCount = 9;
inline constexpr int kMinTextLength = 8;
inline constexpr int kSlotLeft = 4;
inline constexpr int kSlotTop = 4;
inline constexpr int kSlotPitch = 6;

inline constexpr int kClassColumn = 61;
inline constexpr int kClassTop = 2;
inline constexpr int kClassPitch = 2;
inline constexpr int kMaxClass = 6;

// Grey levels of the drawing. The reader does not rely on them: it measures
// the white field and the border of every plate it finds.
inline constexpr std::uint8_t kPaper = 236;
inline constexpr std::uint8_t kInk = 24;

// The characters a plate may carry: digits and the Latin letters that look
// like the Cyrillic letters of real plates.
inline constexpr std::string_view kAlphabet = "0123456789ABEKMHOPCTYX";

// What the reader writes for a glyph it cannot read.
inline constexpr char kUnreadable = '?';

// A glyph as a 35-bit mask: bit (row * 5 + col) set means ink.
using GlyphMask = std::uint64_t;

// Mask of a character of kAlphabet; nullopt for any other character.
std::optional<GlyphMask> glyphOf(char c);

// Mask drawn in place of a glyph to make it unreadable on purpose (solid ink:
// far from every glyph of the font).
inline constexpr GlyphMask kDamagedGlyph = (GlyphMask{1} << kGlyphCells) - 1;

// True when every character of text is in kAlphabet and its length is
// kMinTextLength..kSlotCount.
bool isValidText(std::string_view text);

}  // namespace kovira::plate
