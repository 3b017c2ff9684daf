// The text operations CPTStr and CPWStr share (sharing a block, assigning and concatenating
// text), written once over the string class; each class's file forwards to them.
#pragma once

#include "qzobj/strings.h"

namespace qzo::strings {

// Lends the shared templates below the composition members CPStrBase keeps for its string
// classes, so that they work on either class. Never instantiated.
class StrParts : private CPStrBase {
  public:
    using Piece = CPStrBase::Piece;
    using CPStrBase::Narrow;
    using CPStrBase::Wide;

    static void ComposeInto(CPStrBase& string, const Piece* pieces, int count, bool keepEmpty) {
        (string.*&StrParts::Compose)(pieces, count, keepEmpty);
    }
    static void Terminate(CPStrBase& string) { (string.*&StrParts::CheckMemory)(); }
};

inline StrParts::Piece PieceOf(const char* text) {
    return StrParts::Narrow(text);
}

inline StrParts::Piece PieceOf(const WCHAR* text) {
    return StrParts::Wide(text);
}

// Shares the source's block (no copy) and makes sure its text is terminated.
template <class String>
String& ShareFrom(String& string, const String& source) {
    if (&string == &source) return string;
    string.CPMemory::operator=(source);
    StrParts::Terminate(string);
    return string;
}

// Replaces the text by a copy of `text` (narrow text is converted); null empties the string.
template <class String, class Char>
String& AssignText(String& string, const Char* text) {
    if (!text) {
        string.Free();
        return string;
    }
    const StrParts::Piece piece = PieceOf(text);
    StrParts::ComposeInto(string, &piece, 1, true);
    return string;
}

// A new string holding the two pieces in order (an empty result holds no block).
template <class String>
String Concatenate(const StrParts::Piece& first, const StrParts::Piece& second) {
    const StrParts::Piece pieces[2] = {first, second};
    String result;
    StrParts::ComposeInto(result, pieces, 2, false);
    return result;
}

}  // namespace qzo::strings
